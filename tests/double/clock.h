#pragma once
// The double's virtual clock: sleeping advances time at once.
#include <cstdint>

namespace Double::Clock {

constexpr int64_t kStartTime = 1765200000;  // 2025-12-08 13:20:00 UTC
inline constexpr int64_t kStartUnixTime = kStartTime;

void SetUnixTime(int64_t seconds);
// Milliseconds slept since Reset, and the number of sleeps.
uint64_t SleptMs();
int SleepCalls();
// Moves time on without counting a sleep (a wait that times out).
void Advance(uint64_t milliseconds);
// Milliseconds of virtual time since Reset (sleeps and advances).
uint64_t NowMs();

}  // namespace Double::Clock
