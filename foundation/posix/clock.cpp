// Monotonic milliseconds, sleeping and local time on POSIX.
#include "foundation/clock.h"

#include <cerrno>
#include <ctime>

namespace {

// The clock's reading in whole milliseconds.
uint64_t ClockMs(clockid_t clock) {
    timespec now;
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

}  // namespace

uint64_t GetTickCount64Ms() {
    return ClockMs(CLOCK_MONOTONIC);
}

uint64_t GetSystemTimeMs() {
    return ClockMs(CLOCK_REALTIME);
}

bool LocalTimeOf(int64_t unixSeconds, CLocalTime& local) {
    const time_t seconds = static_cast<time_t>(unixSeconds);
    tm parts;
    if (localtime_r(&seconds, &parts) == nullptr) return false;
    local = LocalTimeOfParts(parts, static_cast<int>(parts.tm_gmtoff / 60));
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
