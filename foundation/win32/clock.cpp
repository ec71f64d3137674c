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

void SleepMs(uint32_t ms) {
    Sleep(ms);
}

bool HostLocalTime(time_t seconds, struct tm* pParts) {
    return localtime_s(pParts, &seconds) == 0;
}
