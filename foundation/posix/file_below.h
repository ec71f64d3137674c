// The way CFile::OpenBelow confines an open to a folder when the kernel cannot do it
// itself; visible here so that it can be tried on kernels that can.
#pragma once

#include <string>

// Opens relative below the folder descriptor with openat and the given flags, then keeps the
// descriptor only when the file's resolved path (read back from /proc/self/fd) lies below
// folderRealPath, the folder's own resolved path. The descriptor, or -1.
int OpenBelowByResolvedPath(int folderFd, const std::string& folderRealPath,
                            const char* pszRelative, int flags);
