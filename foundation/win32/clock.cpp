// Monotonic time and sleeping on Win32.
#include "foundation/clock.h"

#include "foundation/platform_types.h"

uint64_t GetTickCount64Ms() {
    return GetTickCount64();
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}
