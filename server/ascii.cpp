// Small helpers for the ASCII text the server reads and writes.
#include "server/ascii.h"

const char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

// Whether byte is one of RFC 3986's unreserved characters.
bool IsUnreserved(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           IsDigit(static_cast<char>(byte)) || byte == '-' || byte == '.' || byte == '_' ||
           byte == '~';
}

// Whether text holds the UTF-8 form of a C1 control character (U+0080 to U+009F) at i.
bool IsC1ControlInUtf8(const std::string& text, size_t i) {
    if (i + 1 >= text.size() || static_cast<unsigned char>(text[i]) != 0xC2) return false;
    const unsigned char next = static_cast<unsigned char>(text[i + 1]);
    return next >= 0x80 && next <= 0x9F;
}

}  // namespace

int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool EqualsIgnoringCase(const char* p, size_t n, const char* pszLower) {
    size_t i = 0;
    for (; i < n && pszLower[i] != '\0'; ++i) {
        if (LowerAscii(static_cast<unsigned char>(p[i])) !=
            static_cast<unsigned char>(pszLower[i])) {
            return false;
        }
    }
    return i == n && pszLower[i] == '\0';
}

size_t FormatDecimal(uint64_t value, char* pText) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) pText[i] = digits[count - 1 - i];
    return count;
}

void FormatDigits(int value, size_t width, char* pText) {
    for (size_t i = width; i > 0; --i) {
        pText[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

size_t FormatLowerHex(uint64_t value, char* pText) {
    char digits[16];
    size_t count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) pText[i] = digits[count - 1 - i];
    return count;
}

void AppendPercentEncoded(const char* p, size_t n, PercentKept kept, std::string* pOut) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char byte = static_cast<unsigned char>(p[i]);
        const bool bKept =
            kept == PercentKept::kUnreserved ? IsUnreserved(byte) : byte > 0x20 && byte < 0x7F;
        if (bKept) {
            pOut->push_back(p[i]);
        } else {
            pOut->push_back('%');
            pOut->push_back(UpperHexDigit(byte >> 4));
            pOut->push_back(UpperHexDigit(byte));
        }
    }
}

std::string EscapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    out += "&#" + std::to_string(byte) + ";";
                } else if (IsC1ControlInUtf8(text, i)) {
                    // The second control range, as UTF-8 spells it (U+0080 to U+009F).
                    out += "&#" + std::to_string(static_cast<unsigned char>(text[i + 1])) + ";";
                    ++i;
                } else {
                    out += c;
                }
        }
    }
    return out;
}
