// The local calendar time of a file's date, from the host's broken-down local time.
#include "foundation/clock.h"

bool LocalTimeOf(uint64_t fileTime, CLocalTime* pTime) {
    // 100-ns intervals from 1601-01-01 to 1970-01-01; signed, as a date before 1970 may be.
    constexpr int64_t kUnixEpochAsFileTime = 116444736000000000ll;
    const int64_t sinceEpoch = static_cast<int64_t>(fileTime) - kUnixEpochAsFileTime;
    // Whole seconds towards the past, so that a minute is never shown one too late.
    const time_t seconds =
        static_cast<time_t>(sinceEpoch / 10000000 - (sinceEpoch % 10000000 < 0 ? 1 : 0));
    struct tm parts;
    if (!HostLocalTime(seconds, &parts)) return false;
    pTime->m_nYear = parts.tm_year + 1900;
    pTime->m_nMonth = parts.tm_mon + 1;
    pTime->m_nDay = parts.tm_mday;
    pTime->m_nHour = parts.tm_hour;
    pTime->m_nMinute = parts.tm_min;
    return true;
}
