#pragma once
// Time as the setup sees it. The test double replaces these with a virtual
// clock, so waits and retries run instantly in unit tests.
#include <cstdint>

namespace Clock {
int64_t UnixTimeNow();  // seconds since 1970-01-01 UTC
uint64_t TickCountMs();
void SleepMs(uint32_t milliseconds);
}  // namespace Clock
