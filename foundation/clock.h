// Monotonic time, plain sleeping, and the local calendar time of a file's date.
#pragma once

#include <cstdint>
#include <ctime>

// Milliseconds since an arbitrary fixed point; never goes backwards and never wraps.
uint64_t GetTickCount64Ms();

// Milliseconds since 1970-01-01 UTC on the real-time clock, which may be set back or forth.
uint64_t GetSystemTimeMs();

// Suspends the calling thread for about ms milliseconds.
void SleepMs(uint32_t ms);

// A moment as the server's local time zone shows it.
struct CLocalTime {
    int m_nYear;
    int m_nMonth;  // 1 to 12
    int m_nDay;    // 1 to 31
    int m_nHour;
    int m_nMinute;
};

// The local time of fileTime, in 100 ns units since 1601 (the unit of
// CFile::GetOpenedWriteTime), with the zone's rules for that date; false when the host
// cannot tell it.
bool LocalTimeOf(uint64_t fileTime, CLocalTime* pTime);

// The broken-down local time of seconds since 1970: localtime_r, or the CRT's localtime_s.
bool HostLocalTime(time_t seconds, struct tm* pParts);
