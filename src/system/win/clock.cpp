#include "system/clock.h"

#include <windows.h>

#include <ctime>

namespace Clock {

int64_t UnixTimeNow() { return static_cast<int64_t>(std::time(nullptr)); }
uint64_t TickCountMs() { return GetTickCount64(); }
void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace Clock
