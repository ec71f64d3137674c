// FileExists: the same open that a GET makes, closed again at once.
#include "foundation/file.h"

bool FileExists(const wchar_t* pszPath) {
    CFile file;
    return file.Open(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}
