// The media type a file is announced with, from the extension of its name.
#pragma once

#include <cstddef>

// The longest extension that has a type; longer ones never do.
constexpr size_t kMaxTypedExtensionLength = 11;

// The content type for a file name's extension (the text after the last '.' of the last
// segment, '/' or '\\' ending a segment, in any case), or null when it is not a known one.
// Text types carry "; charset=utf-8". Costs no allocation.
const char* ContentTypeFor(const char* pName, size_t n);
