// Small helpers for the ASCII text the server reads and writes: characters, digits, hex,
// percent-encoding, HTML escaping and month names, each written once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The month names of HTTP dates and log lines, January first.
extern const char kMonthNames[12][4];

// Whether c is a decimal digit.
inline bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Whether c is optional white space (a blank or a tab).
inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// c with A-Z made a-z; every other byte as it is.
inline unsigned char LowerAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// The upper-case hex digit of value's low four bits, as percent-encoding writes it.
inline char UpperHexDigit(unsigned value) {
    return "0123456789ABCDEF"[value & 0xF];
}

// Value of one hex digit of either case, or -1.
int HexValue(char c);

// Whether the n bytes at p equal the lower-case text, ignoring ASCII case.
bool EqualsIgnoringCase(const char* p, size_t n, const char* pszLower);

// Writes value in decimal at pText (room for 20 digits), without a terminator; returns the
// count of digits.
size_t FormatDecimal(uint64_t value, char* pText);

// Writes value's low width decimal digits at pText, with leading zeros, without a
// terminator.
void FormatDigits(int value, size_t width, char* pText);

// Writes value in lower-case hex at pText (room for 16 digits), without leading zeros or a
// terminator; returns the count of digits.
size_t FormatLowerHex(uint64_t value, char* pText);

// Which bytes percent-encoding leaves as they are.
enum class PercentKept {
    kUnreserved,  // A-Z a-z 0-9 - . _ ~: a path segment that leads back to exactly its bytes
    kVisible,     // every visible ASCII byte: a URI that fits in a header field
};

// Appends the n bytes at p to *pOut, each byte that kept does not leave as %XX.
void AppendPercentEncoded(const char* p, size_t n, PercentKept kept, std::string* pOut);

// HTML text for bytes: & < > " ' and control characters become character references.
std::string EscapeHtml(const std::string& text);
