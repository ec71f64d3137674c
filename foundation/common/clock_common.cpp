// The part of the local time that is the same on every host.
#include <ctime>

#include "foundation/clock.h"

CLocalTime LocalTimeOfParts(const tm& parts, int offsetMinutes) {
    return CLocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                      parts.tm_min,         parts.tm_sec,     offsetMinutes};
}
