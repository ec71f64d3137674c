// The ways CFile::OpenBelow confines an open to a folder: the kernel's own, and the one for
// kernels that cannot do it, visible here so that it can be tried on kernels that can.
#pragma once

#include <string>

// openat2 confined to the folder descriptor: the kernel refuses any step of the walk that
// would leave it, '..', absolute links and /proc links alike; with bNoLinks it refuses every
// link. The descriptor, or -1 (errno ENOSYS when the kernel has no openat2).
int OpenBeneath(int folderFd, const char* pszRelative, int flags, bool bNoLinks);

// Opens relative below the folder descriptor with openat and the given flags, then keeps the
// descriptor only when the file's resolved path (read back from /proc/self/fd) lies below
// folderRealPath, the folder's own resolved path. The descriptor, or -1.
int OpenBelowByResolvedPath(int folderFd, const std::string& folderRealPath,
                            const char* pszRelative, int flags);
