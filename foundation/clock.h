// Monotonic time and plain sleeping.
#pragma once

#include <cstdint>

// Milliseconds since an arbitrary fixed point; never goes backwards and never wraps.
uint64_t GetTickCount64Ms();

// Suspends the calling thread for about ms milliseconds.
void SleepMs(uint32_t ms);
