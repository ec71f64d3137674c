// Bounded waiting on the monotonic clock.
#include "tests/support/wait.h"

#include "foundation/clock.h"

bool WaitUntil(const std::function<bool()>& condition, uint32_t ms) {
    const uint64_t deadline = GetTickCount64Ms() + ms;
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64Ms() >= deadline) return false;
        SleepMs(5);
    }
}

uint64_t ElapsedMs(uint64_t start) {
    return GetTickCount64Ms() - start;
}
