// Monotonic time, plain sleeping, and the local calendar time.
#pragma once

#include <cstdint>

struct tm;

// Milliseconds since an arbitrary fixed point; never goes backwards and never wraps.
uint64_t GetTickCount64Ms();

// Milliseconds since 1970-01-01 UTC on the real-time clock, which may be set back or forth.
uint64_t GetSystemTimeMs();

// A moment on the local clock, with how far that clock is ahead of UTC then.
struct CLocalTime {
    int m_nYear;
    int m_nMonth;  // 1 to 12
    int m_nDay;    // 1 to 31
    int m_nHour;
    int m_nMinute;
    int m_nSecond;
    int m_nOffsetMinutes;  // local time minus UTC: +60 for CET, -210 for Newfoundland
};

// The local time of unixSeconds (seconds since 1970 UTC) in the host's time zone, daylight
// saving included; false when the host cannot say.
bool LocalTimeOf(int64_t unixSeconds, CLocalTime& local);
// The CLocalTime of the C library's broken-down local time and the offset then; for the
// hosts' LocalTimeOf.
CLocalTime LocalTimeOfParts(const tm& parts, int offsetMinutes);

// Suspends the calling thread for about ms milliseconds.
void SleepMs(uint32_t ms);
