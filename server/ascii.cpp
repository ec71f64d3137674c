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
