// Virtual time: SleepMs moves the tick count and the wall clock forward.
#include "double/clock.h"

#include <mutex>

#include "double/double.h"
#include "system/clock.h"

namespace Double::Clock {
namespace {

struct State {
  std::mutex lock;
  uint64_t ticks = 0;
  int64_t unixMs = kStartTime * 1000;
  uint64_t slept = 0;
  int sleeps = 0;
};

State& S() {
  static State state;
  return state;
}

const bool kRegistered = [] {
  Double::RegisterReset([] {
    std::lock_guard guard(S().lock);
    S().ticks = 0;
    S().unixMs = kStartTime * 1000;
    S().slept = 0;
    S().sleeps = 0;
  });
  return true;
}();

}  // namespace

void SetUnixTime(int64_t seconds) {
  std::lock_guard guard(S().lock);
  S().unixMs = seconds * 1000;
}

uint64_t SleptMs() {
  std::lock_guard guard(S().lock);
  return S().slept;
}

int SleepCalls() {
  std::lock_guard guard(S().lock);
  return S().sleeps;
}

// Lets the other areas of the double spend time (a process wait that times
// out) without counting it as a sleep.
void Advance(uint64_t milliseconds) {
  std::lock_guard guard(S().lock);
  S().ticks += milliseconds;
  S().unixMs += static_cast<int64_t>(milliseconds);
}

uint64_t NowMs() {
  std::lock_guard guard(S().lock);
  return S().ticks;
}

}  // namespace Double::Clock

namespace Clock {

int64_t UnixTimeNow() {
  std::lock_guard guard(Double::Clock::S().lock);
  return Double::Clock::S().unixMs / 1000;
}

uint64_t TickCountMs() {
  std::lock_guard guard(Double::Clock::S().lock);
  return Double::Clock::S().ticks;
}

void SleepMs(uint32_t milliseconds) {
  Double::Clock::Advance(milliseconds);
  std::lock_guard guard(Double::Clock::S().lock);
  Double::Clock::S().slept += milliseconds;
  ++Double::Clock::S().sleeps;
}

}  // namespace Clock
