// HTTP dates: formatting, parsing in the three forms recipients must accept, and a cached
// date of now.
#include "server/http_date.h"

#include <cstring>

#include "foundation/clock.h"
#include "server/ascii.h"

namespace {

const char kDayNames[7][4] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};  // from 1970-01-01
constexpr int64_t kSecondsPerDay = 86400;
// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar (month 1 to 12).
int64_t DaysFromCivil(int64_t year, int month, int day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// The date of a day since 1970-01-01; the inverse of DaysFromCivil.
void CivilFromDays(int64_t days, int64_t* pYear, int* pMonth, int* pDay) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    *pDay = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    *pMonth = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    *pYear = yearOfEra + era * 400 + (*pMonth <= 2);
}

// Reads the text at the cursor, in order, field by field; any field that does not fit
// leaves it failed.
class CDateReader {
public:
    CDateReader(const char* p, size_t n) : m_p(p), m_n(n), m_at(0), m_bFailed(false) {}

    // The exact bytes of pszText.
    void Literal(const char* pszText) {
        const size_t length = std::strlen(pszText);
        if (m_bFailed || m_n - m_at < length || std::memcmp(m_p + m_at, pszText, length) != 0) {
            m_bFailed = true;
            return;
        }
        m_at += length;
    }
    // Between minDigits and maxDigits decimal digits.
    int Number(size_t minDigits, size_t maxDigits) {
        int value = 0;
        size_t count = 0;
        while (!m_bFailed && count < maxDigits && m_at < m_n && IsDigit(m_p[m_at])) {
            value = value * 10 + (m_p[m_at++] - '0');
            ++count;
        }
        if (count < minDigits) m_bFailed = true;
        return value;
    }
    // A three-letter month name, as 1 to 12.
    int Month() {
        for (int month = 0; !m_bFailed && month < 12 && m_n - m_at >= 3; ++month) {
            if (std::memcmp(m_p + m_at, kMonthNames[month], 3) == 0) {
                m_at += 3;
                return month + 1;
            }
        }
        m_bFailed = true;
        return 0;
    }
    // A day name: three letters, or the whole name of the RFC 850 form; which one it was.
    bool DayName() {
        const size_t start = m_at;
        while (m_at < m_n &&
               ((m_p[m_at] >= 'A' && m_p[m_at] <= 'Z') || (m_p[m_at] >= 'a' && m_p[m_at] <= 'z'))) {
            ++m_at;
        }
        if (m_at - start < 3) m_bFailed = true;
        return m_at - start > 3;
    }
    // hh:mm:ss as seconds of the day.
    int64_t TimeOfDay() {
        const int hours = Number(2, 2);
        Literal(":");
        const int minutes = Number(2, 2);
        Literal(":");
        const int seconds = Number(2, 2);
        // 60 is a leap second, which the count since 1970 folds into the next minute.
        if (hours > 23 || minutes > 59 || seconds > 60) m_bFailed = true;
        return hours * 3600 + minutes * 60 + seconds;
    }
    // After a day name: ", DD<sep>Mon<sep>YEAR HH:MM:SS GMT", the year of yearDigits digits.
    void DateAfterComma(const char* pszSeparator, int yearDigits, int* pDay, int* pMonth,
                        int64_t* pYear, int64_t* pTimeOfDay) {
        Literal(", ");
        *pDay = Number(2, 2);
        Literal(pszSeparator);
        *pMonth = Month();
        Literal(pszSeparator);
        *pYear = Number(yearDigits, yearDigits);
        Literal(" ");
        *pTimeOfDay = TimeOfDay();
        Literal(" GMT");
    }
    bool AtEnd() const { return !m_bFailed && m_at == m_n; }
    bool Failed() const { return m_bFailed; }

private:
    const char* m_p;
    size_t m_n;
    size_t m_at;
    bool m_bFailed;
};

// Seconds since 1970 of a date and time; false when the day does not exist in its month.
bool ToUnixSeconds(int64_t year, int month, int day, int64_t timeOfDay, int64_t* pSeconds) {
    const int64_t days = DaysFromCivil(year, month, day);
    int64_t checkYear = 0;
    int checkMonth = 0;
    int checkDay = 0;
    CivilFromDays(days, &checkYear, &checkMonth, &checkDay);
    if (checkMonth != month || checkDay != day) return false;
    *pSeconds = days * kSecondsPerDay + timeOfDay;
    return true;
}

struct CCachedDate {
    uint64_t m_nFromMs = 0;   // the monotonic span in which m_szText is the date of now
    uint64_t m_nUntilMs = 0;  // 0: not formatted yet
    char m_szText[kHttpDateLength + 1] = {0};
};

thread_local CCachedDate t_date;

}  // namespace

void FormatHttpDate(int64_t unixSeconds, char* pOut) {
    int64_t days = unixSeconds / kSecondsPerDay;
    int64_t secondOfDay = unixSeconds % kSecondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += kSecondsPerDay;
        --days;
    }
    int64_t year = 0;
    int month = 0;
    int day = 0;
    CivilFromDays(days, &year, &month, &day);
    // Years outside four digits cannot be written in this form; they are held at its ends.
    if (year < 0) year = 0;
    if (year > 9999) year = 9999;
    const int weekday = static_cast<int>(((days % 7) + 7) % 7);
    std::memcpy(pOut, kDayNames[weekday], 3);
    std::memcpy(pOut + 3, ", ", 2);
    FormatDigits(day, 2, pOut + 5);
    pOut[7] = ' ';
    std::memcpy(pOut + 8, kMonthNames[month - 1], 3);
    pOut[11] = ' ';
    FormatDigits(static_cast<int>(year), 4, pOut + 12);
    pOut[16] = ' ';
    FormatDigits(static_cast<int>(secondOfDay / 3600), 2, pOut + 17);
    pOut[19] = ':';
    FormatDigits(static_cast<int>(secondOfDay / 60 % 60), 2, pOut + 20);
    pOut[22] = ':';
    FormatDigits(static_cast<int>(secondOfDay % 60), 2, pOut + 23);
    std::memcpy(pOut + 25, " GMT", 4);
}

bool ParseHttpDate(const char* p, size_t n, int64_t* pUnixSeconds) {
    CDateReader reader(p, n);
    const bool bLongDayName = reader.DayName();
    int64_t year = 0;
    int month = 0;
    int day = 0;
    int64_t timeOfDay = 0;
    if (bLongDayName) {
        // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; a two-digit year is taken as 19xx or
        // 20xx, whichever is nearer to 1970 + 50.
        reader.DateAfterComma("-", 2, &day, &month, &year, &timeOfDay);
        year += year < 70 ? 2000 : 1900;
    } else if (n > 3 && p[3] == ',') {
        // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
        reader.DateAfterComma(" ", 4, &day, &month, &year, &timeOfDay);
    } else {
        // asctime: "Sun Nov  6 08:49:37 1994".
        reader.Literal(" ");
        month = reader.Month();
        reader.Literal(" ");
        if (n > 8 && p[8] == ' ') reader.Literal(" ");
        day = reader.Number(1, 2);
        reader.Literal(" ");
        timeOfDay = reader.TimeOfDay();
        reader.Literal(" ");
        year = reader.Number(4, 4);
    }
    if (!reader.AtEnd() || day < 1) return false;
    return ToUnixSeconds(year, month, day, timeOfDay, pUnixSeconds);
}

int64_t UnixSecondsFromFileTime(uint64_t ticks) {
    const int64_t sinceEpoch = static_cast<int64_t>(ticks - kUnixEpochAsFileTime);
    // Rounded down, also before 1970.
    return sinceEpoch >= 0 ? sinceEpoch / 10000000 : -((-sinceEpoch + 9999999) / 10000000);
}

const char* CurrentHttpDate(uint64_t nowMs) {
    CCachedDate& cached = t_date;
    if (cached.m_nUntilMs == 0 || nowMs < cached.m_nFromMs || nowMs >= cached.m_nUntilMs) {
        const uint64_t realMs = GetSystemTimeMs();
        FormatHttpDate(static_cast<int64_t>(realMs / 1000), cached.m_szText);
        cached.m_szText[kHttpDateLength] = '\0';
        cached.m_nFromMs = nowMs;
        cached.m_nUntilMs = nowMs + (1000 - realMs % 1000);
    }
    return cached.m_szText;
}
