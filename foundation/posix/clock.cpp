// Monotonic milliseconds, sleeping and local time on POSIX.
#include "foundation/clock.h"

#include <cerrno>
#include <ctime>

uint64_t GetTickCount64Ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint64_t GetSystemTimeMs() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t ms) {
    timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // A signal cuts nanosleep short; carry on with what is left.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool HostLocalTime(time_t seconds, struct tm* pParts) {
    return localtime_r(&seconds, pParts) != nullptr;
}
