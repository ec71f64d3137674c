// FileExists: the same open that a GET makes, closed again at once; the folder stamp's mix.
#include "foundation/file.h"

bool FileExists(const wchar_t* pszPath) {
    CFile file;
    return file.Open(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}

uint64_t MixFolderStamp(const uint64_t* pFacts, size_t count) {
    // FNV-1a over the facts' bytes; never 0, which stands for no folder.
    uint64_t stamp = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < count; ++i) {
        for (int shift = 0; shift < 64; shift += 8) {
            stamp = (stamp ^ ((pFacts[i] >> shift) & 0xFF)) * 0x100000001B3ull;
        }
    }
    return stamp != 0 ? stamp : 1;
}
