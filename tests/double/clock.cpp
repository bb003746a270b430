#include "system/clock.h"

#include "double/clock.h"

#include <atomic>

#include "double/double.h"

namespace {

std::atomic<uint64_t> now{0};
const bool registered = [] {
  Double::RegisterReset([] { now = 0; });
  return true;
}();

}  // namespace

namespace Double::Clock {
void Advance(uint64_t milliseconds) { now += milliseconds; }
uint64_t NowMs() { return now; }
}  // namespace Double::Clock

namespace Clock {
int64_t UnixTimeNow() { return Double::Clock::kStartUnixTime + static_cast<int64_t>(now / 1000); }
uint64_t TickCountMs() { return now; }
void SleepMs(uint32_t milliseconds) { now += milliseconds; }
}  // namespace Clock
