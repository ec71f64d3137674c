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

bool LocalTimeOf(int64_t unixSeconds, CLocalTime& local) {
    const time_t seconds = static_cast<time_t>(unixSeconds);
    tm parts;
    if (localtime_r(&seconds, &parts) == nullptr) return false;
    local = CLocalTime{parts.tm_year + 1900,
                       parts.tm_mon + 1,
                       parts.tm_mday,
                       parts.tm_hour,
                       parts.tm_min,
                       parts.tm_sec,
                       static_cast<int>(parts.tm_gmtoff / 60)};
    return true;
}

void SleepMs(uint32_t ms) {
    timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // A signal cuts nanosleep short; carry on with what is left.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
