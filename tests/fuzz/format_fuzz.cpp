// Fuzzes the wide formatter behind CString::Format. The format string comes from the input
// as it stands; a model of the documented conversions tells which arguments it takes, and
// those are passed with their right types, with values from the input. The output must be
// what the model renders (numbers as the narrow snprintf writes them), also when it grows
// past the first buffer, and a bounded FormatWide must write only within its buffer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "foundation/wide_format.h"
#include "foundation/wide_string.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr size_t kMaxArguments = 4;

enum class ArgType { kInt, kUnsigned, kLongLong, kUnsignedLongLong, kWide, kNarrow };

struct CArgument {
    ArgType m_type = ArgType::kInt;
    long long m_signed = 0;
    unsigned long long m_unsigned = 0;
    std::wstring m_wide;
    std::string m_narrow;
};

struct CFormatCase {
    std::wstring m_format;
    std::vector<CArgument> m_arguments;
    std::wstring m_expected;
    size_t m_cap = 0;  // size of the bounded buffer, terminator included
};

// Hands out the input's argument bytes; zeros once they run out.
class CByteSource {
public:
    CByteSource(const uint8_t* pData, size_t size) : m_pData(pData), m_nSize(size) {}

    uint8_t Byte() { return m_nAt < m_nSize ? m_pData[m_nAt++] : 0; }

    unsigned long long Bits(int bytes) {
        unsigned long long value = 0;
        for (int i = 0; i < bytes; ++i) value = value << 8 | Byte();
        return value;
    }

    // A text of 0 to about 3000 units: long enough to outgrow the first format buffer.
    template <typename Unit>
    std::basic_string<Unit> Text(unsigned maxUnit) {
        const size_t length = static_cast<size_t>(Byte()) * 12 + Byte() % 12;
        std::basic_string<Unit> text;
        const unsigned seed = static_cast<unsigned>(Bits(2));
        for (size_t i = 0; i < length; ++i) {
            // Never zero: the text ends at its terminator.
            text.push_back(static_cast<Unit>(1 + (seed + i * 31u) % maxUnit));
        }
        return text;
    }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nAt = 0;
};

// The format text: bytes as characters, except that 0xFF takes the next two bytes as one
// wide character. A zero byte ends it. Returns how many bytes it used.
size_t ReadFormat(const uint8_t* pData, size_t size, std::wstring* pFormat) {
    size_t i = 0;
    while (i < size && pData[i] != 0) {
        if (pData[i] == 0xFF && i + 2 < size) {
            const wchar_t ch = static_cast<wchar_t>(pData[i + 1] << 8 | pData[i + 2]);
            if (ch != 0) pFormat->push_back(ch);
            i += 3;
        } else {
            pFormat->push_back(static_cast<wchar_t>(pData[i]));
            ++i;
        }
    }
    return i < size ? i + 1 : i;
}

template <typename Number>
std::wstring Decimal(const char* pszFormat, Number value) {
    char digits[32];
    const int length = std::snprintf(digits, sizeof digits, pszFormat, value);
    return std::wstring(digits, digits + length);
}

wchar_t At(const std::wstring& text, size_t i) {
    return i < text.size() ? text[i] : L'\0';
}

// The model: walks the format as documented, draws an argument for every conversion that
// takes one and renders the expected output. Past kMaxArguments a conversion is made
// harmless by turning its letter into one the formatter copies as text.
void Model(CFormatCase* pCase, CByteSource& source) {
    std::wstring& format = pCase->m_format;
    for (size_t i = 0; i < format.size();) {
        if (format[i] != L'%') {
            pCase->m_expected.push_back(format[i++]);
            continue;
        }
        const wchar_t next = At(format, i + 1);
        const bool bLongLong = next == L'l' && At(format, i + 2) == L'l' &&
                               (At(format, i + 3) == L'd' || At(format, i + 3) == L'u');
        const bool bShort =
            next == L's' || next == L'S' || next == L'd' || next == L'u' || next == L'c';
        if (next == L'%') {
            pCase->m_expected.push_back(L'%');
            i += 2;
            continue;
        }
        if ((bLongLong || bShort) && pCase->m_arguments.size() == kMaxArguments) {
            format[i + 1] = L'x';
        }
        if (format[i + 1] == L'x' || !(bLongLong || bShort)) {
            pCase->m_expected.push_back(L'%');
            ++i;
            continue;
        }
        CArgument argument;
        const wchar_t conversion = bLongLong ? At(format, i + 3) : next;
        if (bLongLong && conversion == L'd') {
            argument.m_type = ArgType::kLongLong;
            argument.m_signed = static_cast<long long>(source.Bits(8));
            pCase->m_expected += Decimal("%lld", argument.m_signed);
        } else if (bLongLong) {
            argument.m_type = ArgType::kUnsignedLongLong;
            argument.m_unsigned = source.Bits(8);
            pCase->m_expected += Decimal("%llu", argument.m_unsigned);
        } else if (conversion == L'd') {
            argument.m_signed = static_cast<int>(source.Bits(4));
            pCase->m_expected += Decimal("%d", static_cast<int>(argument.m_signed));
        } else if (conversion == L'u') {
            argument.m_type = ArgType::kUnsigned;
            argument.m_unsigned = static_cast<unsigned>(source.Bits(4));
            pCase->m_expected += Decimal("%u", static_cast<unsigned>(argument.m_unsigned));
        } else if (conversion == L'c') {
            // A wide character travels as int; zero is a character like any other here.
            argument.m_signed = static_cast<wchar_t>(source.Bits(2));
            pCase->m_expected.push_back(static_cast<wchar_t>(argument.m_signed));
        } else if (conversion == L's') {
            argument.m_type = ArgType::kWide;
            argument.m_wide = source.Text<wchar_t>(0xFFFF);
            pCase->m_expected += argument.m_wide;
        } else {
            argument.m_type = ArgType::kNarrow;
            argument.m_narrow = source.Text<char>(0xFF);
            for (char c : argument.m_narrow) {
                pCase->m_expected.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
            }
        }
        pCase->m_arguments.push_back(argument);
        i += bLongLong ? 4 : 2;
    }
}

// Formats through CString and through a bounded buffer of exactly m_cap characters.
template <typename... Args>
void CheckFormatted(const CFormatCase& c, Args... args) {
    const size_t length = c.m_expected.size();
    CString text;
    const int formatted = text.Format(c.m_format.c_str(), args...);
    FUZZ_CHECK(formatted == static_cast<int>(length));
    FUZZ_CHECK(std::wmemcmp(text.GetString(), c.m_expected.data(), length) == 0);
    if (length > 0) FUZZ_CHECK(text.GetString()[length] == L'\0');
    if (c.m_expected.find(L'\0') == std::wstring::npos) FUZZ_CHECK(text.GetLength() == length);

    // Exactly the size asked for, so that the sanitizer sees any write past it.
    std::unique_ptr<wchar_t[]> bounded(c.m_cap > 0 ? new wchar_t[c.m_cap] : nullptr);
    const int whole = FormatWide(bounded.get(), c.m_cap, c.m_format.c_str(), args...);
    FUZZ_CHECK(whole == static_cast<int>(length));
    if (c.m_cap > 0) {
        const size_t kept = std::min(length, c.m_cap - 1);
        FUZZ_CHECK(std::wmemcmp(bounded.get(), c.m_expected.data(), kept) == 0);
        FUZZ_CHECK(bounded[kept] == L'\0');
    }
}

// Turns the case's arguments, one by one, into a call with their right types.
template <size_t Depth, typename... Args>
void Dispatch(const CFormatCase& c, Args... args) {
    if constexpr (Depth == kMaxArguments) {
        CheckFormatted(c, args...);
    } else {
        if (Depth == c.m_arguments.size()) return CheckFormatted(c, args...);
        const CArgument& argument = c.m_arguments[Depth];
        switch (argument.m_type) {
            case ArgType::kInt:
                return Dispatch<Depth + 1>(c, args..., static_cast<int>(argument.m_signed));
            case ArgType::kUnsigned:
                return Dispatch<Depth + 1>(c, args..., static_cast<unsigned>(argument.m_unsigned));
            case ArgType::kLongLong:
                return Dispatch<Depth + 1>(c, args..., argument.m_signed);
            case ArgType::kUnsignedLongLong:
                return Dispatch<Depth + 1>(c, args..., argument.m_unsigned);
            case ArgType::kWide:
                return Dispatch<Depth + 1>(c, args..., argument.m_wide.c_str());
            case ArgType::kNarrow:
                return Dispatch<Depth + 1>(c, args..., argument.m_narrow.c_str());
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    CFormatCase c;
    const size_t used = ReadFormat(pData, size, &c.m_format);
    CByteSource source(pData + used, size - used);
    const uint8_t capCode = source.Byte();
    Model(&c, source);
    // Around the interesting edges: nothing, a few characters, about the whole output.
    const size_t length = c.m_expected.size();
    if (capCode < 64) {
        c.m_cap = capCode % 8;
    } else if (capCode < 192) {
        c.m_cap = length + capCode % 3;  // one short, exact, one to spare
    } else {
        c.m_cap = length / 2 + 1;
    }
    Dispatch<0>(c);
    return 0;
}
