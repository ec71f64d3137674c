// Unpredictable bytes on Win32: the system's preferred random generator.
#include "foundation/random.h"

#include "foundation/platform_types.h"

#include <bcrypt.h>

bool FillRandom(void* p, size_t n) {
    unsigned char* pBytes = static_cast<unsigned char*>(p);
    while (n > 0) {
        const ULONG take = n > 0x10000000u ? 0x10000000u : static_cast<ULONG>(n);
        if (!BCRYPT_SUCCESS(
                BCryptGenRandom(nullptr, pBytes, take, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
            return false;
        }
        pBytes += take;
        n -= take;
    }
    return true;
}
