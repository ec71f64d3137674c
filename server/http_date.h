// HTTP dates (IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") as bytes, and the date of now
// formatted no more than once a second.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kHttpDateLength = 29;

// Writes the IMF-fixdate of unixSeconds (seconds since 1970, UTC) as 29 bytes at pOut,
// without a terminating zero.
void FormatHttpDate(int64_t unixSeconds, char* pOut);

// Reads the n-byte HTTP-date at p in any of its three forms (IMF-fixdate, the obsolete
// RFC 850 and asctime forms) into *pUnixSeconds; false when it is not one.
bool ParseHttpDate(const char* p, size_t n, int64_t* pUnixSeconds);

// Whole seconds since 1970 of a time in 100 ns units since 1601 (FILETIME's units).
int64_t UnixSecondsFromFileTime(uint64_t ticks);

// The date of now as a zero-terminated IMF-fixdate, for the thread that calls it: read from
// the real-time clock and formatted only when nowMs (the monotonic clock's milliseconds)
// has passed into another second, so that most responses cost no clock read at all.
const char* CurrentHttpDate(uint64_t nowMs);
