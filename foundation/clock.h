// Monotonic time and plain sleeping.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary fixed point; never goes backwards and never wraps.
uint64_t GetTickCount64Ms();

// Milliseconds since 1970-01-01 UTC on the real-time clock, which may be set back or forth.
uint64_t GetSystemTimeMs();

// Suspends the calling thread for about ms milliseconds.
void SleepMs(uint32_t ms);
