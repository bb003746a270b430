#pragma once
// The double's virtual clock: time moves only when a test or a simulated
// wait moves it.
#include <cstdint>

namespace Double::Clock {

inline constexpr int64_t kStartUnixTime = 1765200000;  // 2025-12-08T13:20:00Z

void Advance(uint64_t milliseconds);
uint64_t NowMs();  // since the last reset

}  // namespace Double::Clock
