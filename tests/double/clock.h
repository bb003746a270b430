#pragma once
// The double's virtual clock: sleeping advances time at once.
#include <cstdint>

namespace Double::Clock {

constexpr int64_t kStartTime = 1760000000;  // 2025-10-09 08:53:20 UTC

void SetUnixTime(int64_t seconds);
// Milliseconds slept since Reset, and the number of sleeps.
uint64_t SleptMs();
int SleepCalls();
// Moves time on without counting a sleep (a wait that times out).
void Advance(uint64_t milliseconds);

}  // namespace Double::Clock
