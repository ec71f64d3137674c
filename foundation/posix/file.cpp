// CFile and CFolder on POSIX: descriptors, opened below a folder from the request path's own
// bytes, or by path with the Win32 access values.
#include "foundation/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "foundation/posix/file_below.h"

namespace {

// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

int64_t Nanoseconds(const struct timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// A time in nanoseconds since 1970 as 100 ns units since 1601, as Win32 tells file times; 0
// for a time before 1601. Signed first: a time before 1970 is still after 1601.
uint64_t FileTimeOf(int64_t unixNs) {
    const int64_t ticks = static_cast<int64_t>(kUnixEpochAsFileTime) + unixNs / 100;
    return ticks > 0 ? static_cast<uint64_t>(ticks) : 0;
}

// Calls call (a read or write) again for as long as a signal interrupts it; its bytes, or 0
// on failure.
template <typename Call>
DWORD BytesOfRetried(Call call) {
    for (;;) {
        const ssize_t done = call();
        if (done < 0 && errno == EINTR) continue;
        return done < 0 ? 0 : static_cast<DWORD>(done);
    }
}

// Whether a file last changed at changed (in nanoseconds since 1970) did so long enough ago
// that a write still under way then is over, and that any later change carries a later time
// even where the file system's clock ticks coarsely.
bool ChangedAtLeastASecondAgo(int64_t changed) {
    constexpr int64_t kStrongValidatorAgeNs = 1000000000;
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    return changed < Nanoseconds(now) - kStrongValidatorAgeNs;
}

// The open(2) flags for a Win32 access and disposition pair; -1 when we do not support it.
int OpenFlags(DWORD access, DWORD disposition) {
    const bool bRead = (access & GENERIC_READ) != 0;
    const bool bWrite = (access & GENERIC_WRITE) != 0;
    int flags = O_CLOEXEC;
    if (bRead && bWrite)
        flags |= O_RDWR;
    else if (bRead)
        flags |= O_RDONLY;
    else if (bWrite)
        flags |= O_WRONLY;
    else
        return -1;
    if (disposition == OPEN_EXISTING)
        flags |= O_NONBLOCK;  // so that a FIFO opens at once instead of waiting for a writer
    else if (disposition == CREATE_ALWAYS)
        flags |= O_CREAT | O_TRUNC;
    else
        return -1;
    return flags;
}

// Read-only, and never waiting on a FIFO or making a terminal ours.
constexpr int kBelowFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Set once openat2 has been found missing, so that later opens go the other way at once.
std::atomic<bool> g_bNoOpenat2{false};

// Whether path is folder itself or lies below it; both are resolved paths.
bool IsAtOrBelow(const std::string& path, const std::string& folder) {
    if (path.compare(0, folder.size(), folder) != 0) return false;
    return path.size() == folder.size() || folder == "/" || path[folder.size()] == '/';
}

// The bytes of a root path that start-up holds as wide text, one per character; false when
// a character has no byte.
bool BytesOfWide(const wchar_t* pszPath, std::string* pPath) {
    for (const wchar_t* p = pszPath; *p; ++p) {
        const unsigned long ch = static_cast<unsigned long>(*p);
        if (ch > 255) return false;
        pPath->push_back(static_cast<char>(ch));
    }
    return true;
}

}  // namespace

int OpenBeneath(int folderFd, const char* pszRelative, int flags, bool bNoLinks) {
#ifdef SYS_openat2
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | (bNoLinks ? RESOLVE_NO_SYMLINKS : RESOLVE_NO_MAGICLINKS);
    // EAGAIN: a rename raced the walk; it is worth a few more tries, not an endless loop.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const long fd = syscall(SYS_openat2, folderFd, pszRelative, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno != EINTR && errno != EAGAIN) return -1;
    }
    return -1;
#else
    (void)folderFd;
    (void)pszRelative;
    (void)flags;
    (void)bNoLinks;
    errno = ENOSYS;
    return -1;
#endif
}

namespace {

// A descriptor opened with flags for relative below the folder (its descriptor and resolved
// path), the kernel's way where it has one; -1 when nothing there may be opened so.
int OpenFdBelow(int folderFd, const std::string& folderFinalPath, const char* pszRelative,
                int flags) {
    int fd = -1;
    if (!g_bNoOpenat2.load(std::memory_order_relaxed)) {
        fd = OpenBeneath(folderFd, pszRelative, flags, false);
        if (fd < 0 && errno == ENOSYS) g_bNoOpenat2.store(true, std::memory_order_relaxed);
    }
    if (g_bNoOpenat2.load(std::memory_order_relaxed)) {
        fd = OpenBelowByResolvedPath(folderFd, folderFinalPath, pszRelative, flags);
    }
    return fd;
}

// The folder path below a root without its final '/'s, so that "" names the root.
std::string WithoutFinalSlashes(const char* pszRelative) {
    std::string relative(pszRelative);
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    return relative;
}

// Whether a folder entry's name is one a request could be served: not hidden (nor "." or
// ".."), and free of the bytes a request turns into separators or refuses.
bool IsListableName(const char* pszName) {
    const size_t n = std::strlen(pszName);
    if (n == 0 || pszName[0] == '.') return false;
    if (std::memchr(pszName, '\\', n) != nullptr || std::memchr(pszName, ':', n) != nullptr) {
        return false;
    }
    return !IsReservedPathSegment(pszName, n);
}

// The entry for a file or folder; false for every other kind.
bool EntryFromStat(const struct stat& info, const char* pszName, CFolderEntry* pEntry) {
    if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return false;
    pEntry->m_name = pszName;
    pEntry->m_bFolder = S_ISDIR(info.st_mode);
    pEntry->m_nSize = pEntry->m_bFolder ? 0 : static_cast<uint64_t>(info.st_size);
    // As GetOpenedWriteTime tells it, so that the listing and the file's own answer agree.
    pEntry->m_nWriteTime = FileTimeOf(Nanoseconds(info.st_mtim));
    return true;
}

}  // namespace

int OpenBelowByResolvedPath(int folderFd, const std::string& folderRealPath,
                            const char* pszRelative, int flags) {
    int fd;
    do {
        fd = openat(folderFd, pszRelative, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    char szLink[64];
    std::snprintf(szLink, sizeof szLink, "/proc/self/fd/%d", fd);
    std::string real(PATH_MAX * 2, '\0');
    const ssize_t length = readlink(szLink, &real[0], real.size());
    // Without /proc, or for a name too long to read back, nothing can be shown to be inside.
    if (length <= 0 || static_cast<size_t>(length) >= real.size()) {
        close(fd);
        return -1;
    }
    real.resize(static_cast<size_t>(length));
    if (!IsAtOrBelow(real, folderRealPath)) {
        close(fd);
        return -1;
    }
    return fd;
}

const wchar_t kPathSeparator = L'/';

void CFile::CloseHandleOf(FileHandle hFile) {
    close(hFile);
}

bool CFile::Open(const wchar_t* pszPath, DWORD access, DWORD /*shareMode*/, DWORD disposition,
                 DWORD /*flags*/) {
    Close();
    std::string path;
    const int flags = OpenFlags(access, disposition);
    if (flags < 0 || !BytesOfWide(pszPath, &path)) return false;
    int fd;
    do {
        fd = open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    return Adopt(fd);
}

bool CFile::OpenBelow(const CFolder& folder, const char* pszRelative) {
    // As Open does, the file held before is let go first rather than leaked.
    Close();
    if (!folder.IsOpen()) return false;
    const int fd = OpenFdBelow(folder.m_hFolder, folder.m_finalPath, pszRelative, kBelowFlags);
    if (fd < 0) return false;
    return Adopt(fd);
}

bool CFile::IsFolderBelow(const CFolder& folder, const char* pszRelative) {
    if (!folder.IsOpen()) return false;
    // O_DIRECTORY refuses anything else; O_PATH opens a folder that cannot be listed too.
    const int fd = OpenFdBelow(folder.m_hFolder, folder.m_finalPath, pszRelative,
                               O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool CFile::Adopt(FileHandle hFile) {
    // A directory opens here, but it is no file to read.
    struct stat info;
    if (fstat(hFile, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(hFile);
        return false;
    }
    m_hFile = hFile;
    // The type of an open file never changes, so these answers stay true.
    m_bRegular = S_ISREG(info.st_mode);
    m_nOpenedSize = static_cast<uint64_t>(info.st_size);
    m_nDevice = static_cast<uint64_t>(info.st_dev);
    m_nIndex = static_cast<uint64_t>(info.st_ino);
    m_nModified = Nanoseconds(info.st_mtim);
    m_nChanged = Nanoseconds(info.st_ctim);
    // The device and index tell this file from any other, whenever it last changed.
    m_bIdentifiable = true;
    m_bStrongValidator = ChangedAtLeastASecondAgo(m_nChanged);
    return true;
}

DWORD CFile::Read(void* pBuffer, DWORD count) {
    if (m_hFile == kInvalidFileHandle) return 0;
    return BytesOfRetried([&] { return read(m_hFile, pBuffer, count); });
}

DWORD CFile::Write(const void* pData, DWORD count) {
    if (m_hFile == kInvalidFileHandle) return 0;
    return BytesOfRetried([&] { return write(m_hFile, pData, count); });
}

DWORD CFile::GetSize() const {
    struct stat info;
    if (m_hFile == kInvalidFileHandle || fstat(m_hFile, &info) != 0) return 0;
    return static_cast<DWORD>(static_cast<uint64_t>(info.st_size));
}

FILETIME CFile::GetLastWriteTime() const {
    FILETIME time = {0, 0};
    struct stat info;
    if (m_hFile == kInvalidFileHandle || fstat(m_hFile, &info) != 0) return time;
    const uint64_t ticks = FileTimeOf(Nanoseconds(info.st_mtim));
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return time;
}

DWORD CFile::ReadAt(void* pBuffer, DWORD count, uint64_t offset) {
    if (m_hFile == kInvalidFileHandle) return 0;
    return BytesOfRetried(
        [&] { return pread(m_hFile, pBuffer, count, static_cast<off_t>(offset)); });
}

uint64_t CFile::GetOpenedWriteTime() const {
    return IsOpen() ? FileTimeOf(m_nModified) : 0;
}

// A descriptor held open keeps nobody from unlinking or renaming the file.
const bool CFile::kHeldOpenKeepsOthersOut = false;

bool CFile::IsStillAt(const CFolder& folder, const char* pszRelative) const {
    // Looked up from the open folder, the name costs a step per segment below it only.
    struct stat info;
    if (m_hFile == kInvalidFileHandle || !folder.IsOpen() ||
        fstatat(folder.m_hFolder, pszRelative, &info, 0) != 0) {
        return false;
    }
    // A write in place moves the change time; a file put in its place has another index.
    return static_cast<uint64_t>(info.st_dev) == m_nDevice &&
           static_cast<uint64_t>(info.st_ino) == m_nIndex &&
           static_cast<uint64_t>(info.st_size) == m_nOpenedSize &&
           Nanoseconds(info.st_mtim) == m_nModified && Nanoseconds(info.st_ctim) == m_nChanged;
}

bool CFolder::Open(const wchar_t* pszPath) {
    Close();
    std::string path;
    if (!BytesOfWide(pszPath, &path) || path.empty()) return false;
    char* pszReal = realpath(path.c_str(), nullptr);
    if (pszReal == nullptr) return false;
    std::string real(pszReal);
    std::free(pszReal);
    int fd;
    do {
        fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    m_hFolder = fd;
    m_path = pszPath;
    m_finalPath = std::move(real);
    // A file's index tells it from any file put in its place, on every file system.
    m_bFilesKeepable = true;
    return true;
}

bool CFolder::IsStillAtPath() const {
    std::string path;
    if (!IsOpen() || !BytesOfWide(m_path.c_str(), &path)) return false;
    struct stat atPath;
    struct stat held;
    if (stat(path.c_str(), &atPath) != 0 || fstat(m_hFolder, &held) != 0) return false;
    return atPath.st_dev == held.st_dev && atPath.st_ino == held.st_ino;
}

bool CFolder::Close() {
    if (m_hFolder != kInvalidFileHandle) close(m_hFolder);
    m_hFolder = kInvalidFileHandle;
    m_path.clear();
    m_finalPath.clear();
    return true;
}

bool IsReservedPathSegment(const char* /*pSegment*/, size_t /*n*/) {
    return false;
}

bool ListFolderBelow(const CFolder& root, const char* pszRelative,
                     std::vector<CFolderEntry>* pEntries) {
    pEntries->clear();
    if (!root.IsOpen()) return false;
    const std::string relative = WithoutFinalSlashes(pszRelative);
    const int fd =
        OpenFdBelow(root.m_hFolder, root.m_finalPath, relative.empty() ? "." : relative.c_str(),
                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* pFolder = fdopendir(fd);
    if (pFolder == nullptr) {
        close(fd);
        return false;
    }
    const std::string prefix = relative.empty() ? std::string() : relative + "/";
    std::string linkPath;
    CFolderEntry entry;
    while (const struct dirent* pItem = readdir(pFolder)) {
        if (!IsListableName(pItem->d_name)) continue;
        struct stat info;
        if (fstatat(fd, pItem->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISLNK(info.st_mode)) {
            // Followed from the root as a request would be, so that it is listed only when
            // it would be served, and as what it leads to.
            linkPath = prefix + pItem->d_name;
            const int target =
                OpenFdBelow(root.m_hFolder, root.m_finalPath, linkPath.c_str(), O_PATH | O_CLOEXEC);
            if (target < 0) continue;
            const bool bKnown = fstat(target, &info) == 0;
            close(target);
            if (!bKnown) continue;
        }
        if (EntryFromStat(info, pItem->d_name, &entry)) pEntries->push_back(std::move(entry));
    }
    closedir(pFolder);
    return true;
}

uint64_t FolderStampBelow(const CFolder& root, const char* pszRelative) {
    if (!root.IsOpen()) return 0;
    const std::string relative = WithoutFinalSlashes(pszRelative);
    const int fd =
        OpenFdBelow(root.m_hFolder, root.m_finalPath, relative.empty() ? "." : relative.c_str(),
                    O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat info;
    const bool bKnown = fstat(fd, &info) == 0;
    close(fd);
    if (!bKnown) return 0;
    // Adding, removing or renaming an entry moves the folder's modification and change times.
    const uint64_t facts[] = {static_cast<uint64_t>(info.st_dev),
                              static_cast<uint64_t>(info.st_ino),
                              static_cast<uint64_t>(Nanoseconds(info.st_mtim)),
                              static_cast<uint64_t>(Nanoseconds(info.st_ctim))};
    return MixFolderStamp(facts, sizeof facts / sizeof facts[0]);
}

std::string CFolder::GetNameBytes() const {
    const size_t slash = m_finalPath.find_last_of('/');
    return slash == std::string::npos ? m_finalPath : m_finalPath.substr(slash + 1);
}
