#pragma once
// Time services of the operating system: a monotonic millisecond count and sleeps.

#include <cstdint>

// Milliseconds of a monotonic clock, truncated to 32 bits; only differences matter.
uint32_t PlatformTickMs();

// Sleeps the calling thread; 0 or less returns at once.
void PlatformSleepMs(int32_t ms);
