// Unpredictable bytes on Win32: the C runtime's rand_s, which draws on the system's
// cryptographic generator and needs no library beyond the ones the program already uses.
#define _CRT_RAND_S
#include <stdlib.h>

#include "foundation/random.h"

bool FillRandom(void* p, size_t n) {
    unsigned char* pBytes = static_cast<unsigned char*>(p);
    while (n > 0) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) return false;
        const size_t take = n < sizeof(value) ? n : sizeof(value);
        for (size_t i = 0; i < take; ++i) pBytes[i] = static_cast<unsigned char>(value >> (8 * i));
        pBytes += take;
        n -= take;
    }
    return true;
}
