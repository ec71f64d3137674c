// The system's own wide printf, so that %s and %S mean the same on every host.
#include "foundation/wide_format.h"

#include <cstdint>

namespace {

// Collects output characters, keeping what fits in the caller's buffer and counting the rest.
class CFormatSink {
public:
    CFormatSink(wchar_t* pszOut, size_t cap) : m_pszOut(pszOut), m_nCap(cap), m_nLength(0) {}

    // Appends one character, or only counts it once the buffer is full.
    void Put(wchar_t ch) {
        if (m_nLength + 1 < m_nCap) m_pszOut[m_nLength] = ch;
        ++m_nLength;
    }

    // Appends the decimal digits of value, with a minus sign when bNegative.
    void PutDecimal(uint64_t value, bool bNegative) {
        wchar_t digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        if (bNegative) Put(L'-');
        while (count > 0) Put(digits[--count]);
    }

    // Appends a signed value; the magnitude is taken unsigned so that the minimum survives.
    void PutSigned(int64_t value) {
        const bool bNegative = value < 0;
        const uint64_t magnitude =
            bNegative ? uint64_t(0) - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        PutDecimal(magnitude, bNegative);
    }

    void PutWide(const wchar_t* psz) {
        if (psz == nullptr) psz = L"(null)";
        while (*psz) Put(*psz++);
    }

    // Narrow text converts byte for character: 0xE9 stays 233, never a negative value.
    void PutNarrow(const char* psz) {
        if (psz == nullptr) return PutWide(L"(null)");
        for (; *psz; ++psz) Put(static_cast<wchar_t>(static_cast<unsigned char>(*psz)));
    }

    // Terminates within the buffer and returns the whole output's length.
    int Finish() {
        if (m_nCap > 0) m_pszOut[m_nLength < m_nCap ? m_nLength : m_nCap - 1] = L'\0';
        return static_cast<int>(m_nLength);
    }

private:
    wchar_t* m_pszOut;
    size_t m_nCap;
    size_t m_nLength;
};

}  // namespace

int FormatWideV(wchar_t* pszOut, size_t cap, const wchar_t* pszFormat, va_list args) {
    CFormatSink sink(pszOut, cap);
    const wchar_t* p = pszFormat;
    while (*p) {
        if (*p != L'%') {
            sink.Put(*p++);
            continue;
        }
        const wchar_t* pConversion = p + 1;
        if (pConversion[0] == L'l' && pConversion[1] == L'l' &&
            (pConversion[2] == L'd' || pConversion[2] == L'u')) {
            if (pConversion[2] == L'd')
                sink.PutSigned(va_arg(args, long long));
            else
                sink.PutDecimal(va_arg(args, unsigned long long), false);
            p = pConversion + 3;
            continue;
        }
        switch (*pConversion) {
            case L's':
                sink.PutWide(va_arg(args, const wchar_t*));
                break;
            case L'S':
                sink.PutNarrow(va_arg(args, const char*));
                break;
            case L'd':
                sink.PutSigned(va_arg(args, int));
                break;
            case L'u':
                sink.PutDecimal(va_arg(args, unsigned int), false);
                break;
            case L'c':
                // wchar_t arrives promoted to int on every host.
                sink.Put(static_cast<wchar_t>(va_arg(args, int)));
                break;
            case L'%':
                sink.Put(L'%');
                break;
            default:
                // Not a conversion of ours: the percent sign stands as written and what
                // follows is copied as ordinary text.
                sink.Put(L'%');
                ++p;
                continue;
        }
        p = pConversion + 1;
    }
    return sink.Finish();
}

int FormatWide(wchar_t* pszOut, size_t cap, const wchar_t* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    const int length = FormatWideV(pszOut, cap, pszFormat, args);
    va_end(args);
    return length;
}
