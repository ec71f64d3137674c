// CChangeWatch on Linux: one inotify instance, whose events only move the generation on.
#include "foundation/change_watch.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "foundation/file.h"
#include "foundation/posix/file_below.h"

namespace {

// The watches one instance makes before it makes no more: each holds kernel memory, and
// a site of many files would gather them without end. Later files are looked at by name.
constexpr int kMostWatches = 4096;

// A folder on the way: a name made, removed or moved in it, or the folder itself changed,
// moved or removed. Changes to files in it are the files' own watches' to report.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                   IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The file: written (or cut short), its times, links or rights changed, moved or removed.
constexpr uint32_t kFileEvents = IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// A folder whose entries are listed: besides its names, the files in it written or their
// times changed (a folder's watch reports those of its entries too).
constexpr uint32_t kListedFolderEvents = kFolderEvents | IN_MODIFY;

// Whether the file system behind fd reports every change through inotify: a local one. A
// network file system changed from another machine, FUSE and overlays report few or none.
bool ReportsAllChanges(int fd) {
    struct statfs info;
    if (fstatfs(fd, &info) != 0) return false;
    switch (static_cast<unsigned long>(info.f_type)) {
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
        case XFS_SUPER_MAGIC:
        case BTRFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
        case F2FS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

// The path by which the kernel reaches what descriptor fd names, whatever its name now.
std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// Whether relative below the folder descriptor leads to the file behind fileFd without
// passing a link.
bool LeadsWithoutLinks(int folderFd, const std::string& relative, int fileFd) {
    const int fd = OpenBeneath(folderFd, relative.c_str(), O_PATH | O_CLOEXEC, true);
    if (fd < 0) return false;
    struct stat reached;
    struct stat held;
    const bool bSame = fstat(fd, &reached) == 0 && fstat(fileFd, &held) == 0 &&
                       reached.st_dev == held.st_dev && reached.st_ino == held.st_ino;
    close(fd);
    return bSame;
}

}  // namespace

CChangeWatch::CChangeWatch()
    : m_hWatch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), m_nGeneration(0) {}

CChangeWatch::~CChangeWatch() {
    if (m_hWatch >= 0) close(m_hWatch);
}

bool CChangeWatch::IsValid() const {
    return m_hWatch >= 0;
}

SOCKET CChangeWatch::GetHandle() const {
    return m_hWatch;
}

bool CChangeWatch::Watch(const CFolder& folder, const char* pszRelative, const CFile& file) {
    if (m_hWatch < 0 || !folder.IsOpen() || !file.IsOpen() ||
        !ReportsAllChanges(file.GetHandle())) {
        return false;
    }
    const std::string relative(pszRelative);
    const auto add = [this](const std::string& path, uint32_t events) { return Add(path, events); };
    // Watched first and checked afterwards: what changes after a watch is reported, and the
    // checks (and the caller's stat) see what changed before.
    const std::string folderPath = DescriptorPath(folder.m_hFolder);
    if (!add(folderPath, kFolderEvents)) return false;
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
        if (!add(folderPath + "/" + relative.substr(0, slash), kFolderEvents | IN_DONT_FOLLOW))
            return false;
    }
    if (!add(DescriptorPath(file.GetHandle()), kFileEvents)) return false;
    return LeadsWithoutLinks(folder.m_hFolder, relative, file.GetHandle());
}

bool CChangeWatch::Add(const std::string& path, uint32_t events) {
    // Added to what is watched there already: a folder listed and on the way to a file
    // keeps both masks.
    const int wd = inotify_add_watch(m_hWatch, path.c_str(), events | IN_MASK_ADD);
    return wd >= 0 && wd <= kMostWatches;
}

bool CChangeWatch::WatchFolder(const CFolder& folder, const char* pszRelative,
                               const std::vector<std::string>& subfolders) {
    if (m_hWatch < 0 || !folder.IsOpen() || !ReportsAllChanges(folder.m_hFolder)) return false;
    std::string relative(pszRelative);
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    const std::string folderPath = DescriptorPath(folder.m_hFolder);
    if (!Add(folderPath, relative.empty() ? kListedFolderEvents : kFolderEvents)) return false;
    if (relative.empty()) {
        for (const std::string& name : subfolders) {
            if (!Add(folderPath + "/" + name, kFolderEvents)) return false;
        }
        return true;
    }
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
        if (!Add(folderPath + "/" + relative.substr(0, slash), kFolderEvents | IN_DONT_FOLLOW))
            return false;
    }
    const std::string listed = folderPath + "/" + relative;
    if (!Add(listed, kListedFolderEvents | IN_DONT_FOLLOW)) return false;
    for (const std::string& name : subfolders) {
        // Followed: a subfolder listed through a link shows the time of what it leads to.
        if (!Add(listed + "/" + name, kFolderEvents)) return false;
    }
    // A link on the way would be followed by the listing but not by the watches.
    const int fd =
        OpenBeneath(folder.m_hFolder, relative.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, true);
    if (fd < 0) return false;
    close(fd);
    return true;
}

void CChangeWatch::TakeChanges() {
    if (m_hWatch < 0) return;
    alignas(inotify_event) char buffer[4096];
    bool bChanged = false;
    for (;;) {
        const ssize_t count = read(m_hWatch, buffer, sizeof buffer);
        if (count > 0) {
            bChanged = true;
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        break;
    }
    // Which file an event names does not matter: every look at a name is made again.
    if (bChanged) ++m_nGeneration;
}
