// Small helpers for the ASCII text of requests.
#include "server/ascii.h"

bool EqualsIgnoringCase(const char* p, size_t n, const char* pszLower) {
    size_t i = 0;
    for (; i < n && pszLower[i] != '\0'; ++i) {
        char c = p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != pszLower[i]) return false;
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
