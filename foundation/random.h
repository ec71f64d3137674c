// The host's source of unpredictable bytes, for salts and the like.
#pragma once

#include <cstddef>

// Fills the n bytes at p from the host's cryptographic random source; false when it could
// not (the bytes are then not to be used).
bool FillRandom(void* p, size_t n);
