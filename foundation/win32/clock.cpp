// Monotonic time, sleeping and local time on Win32.
#include "foundation/clock.h"

#include <ctime>

#include "foundation/platform_types.h"

uint64_t GetTickCount64Ms() {
    return GetTickCount64();
}

uint64_t GetSystemTimeMs() {
    // 100-ns intervals from 1601-01-01 to 1970-01-01.
    constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks > kUnixEpochAsFileTime ? (ticks - kUnixEpochAsFileTime) / 10000u : 0;
}

bool LocalTimeOf(int64_t unixSeconds, CLocalTime& local) {
    const __time64_t seconds = unixSeconds;
    tm parts;
    if (_localtime64_s(&parts, &seconds) != 0) return false;
    // The CRT has no offset field: the local parts read as if they were UTC lie ahead of the
    // moment by the offset.
    tm asUtc = parts;
    const __time64_t localAsUtc = _mkgmtime64(&asUtc);
    if (localAsUtc == -1) return false;
    local = LocalTimeOfParts(parts, static_cast<int>((localAsUtc - seconds) / 60));
    return true;
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}
