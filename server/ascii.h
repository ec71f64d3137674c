// Small helpers for the ASCII text of requests.
#pragma once

#include <cstddef>

// Whether the n bytes at p equal the lower-case text, ignoring ASCII case.
bool EqualsIgnoringCase(const char* p, size_t n, const char* pszLower);
