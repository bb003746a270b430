#include "system/clock.h"

#include <windows.h>

namespace Clock {

int64_t UnixTimeNow() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr uint64_t kTicksPerSecond = 10000000;
  constexpr uint64_t kUnixEpochInFileTime = 116444736000000000;
  return static_cast<int64_t>((ticks - kUnixEpochInFileTime) / kTicksPerSecond);
}

uint64_t TickCountMs() { return GetTickCount64(); }

void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace Clock
