// Small helpers for the ASCII text of requests.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether the n bytes at p equal the lower-case text, ignoring ASCII case.
bool EqualsIgnoringCase(const char* p, size_t n, const char* pszLower);

// Writes value in decimal at pText (room for 20 digits), without a terminator; returns the
// count of digits.
size_t FormatDecimal(uint64_t value, char* pText);
