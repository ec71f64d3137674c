// Telling a thread that files it serves may have changed, without a look at each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/object.h"
#include "foundation/platform_types.h"

class CFile;
class CFolder;

// Watches files and the folders on the way to them, and counts the changes the host reports:
// a generation that moves on whenever any of them may have changed. A change made before a
// client sent a request is reported by the readiness wait that reports the request, so a
// thread that takes the changes in first can trust an unmoved generation for such requests.
// Where the host reports no changes (Win32 here) nothing can be watched.
class CChangeWatch : public CObject {
public:
    CChangeWatch();
    ~CChangeWatch() override;

    bool IsValid() const;
    // What a readiness wait watches to learn of new changes (INVALID_SOCKET when none).
    SOCKET GetHandle() const;
    // Watches file, opened below folder at relative, and every folder from folder down to
    // it, so that any write, rename, deletion or new name there moves the generation. False
    // when that cannot be done exactly: a link on the way, a file system that reports no
    // changes (network, FUSE, overlays), or no watch left; the caller then looks itself.
    bool Watch(const CFolder& folder, const char* pszRelative, const CFile& file);
    // Watches the folder at relative below folder ("" for folder itself), every folder on
    // the way to it, what happens to the entries in it (names made, removed or moved, files
    // written, times changed) and, through a watch of each, the names in its subfolders
    // given (whose own times a listing shows). False as for Watch, and when any step of the
    // way is a link.
    bool WatchFolder(const CFolder& folder, const char* pszRelative,
                     const std::vector<std::string>& subfolders);
    // Takes in what the host has reported; call when the handle is reported readable, before
    // any request that wait reported is answered.
    void TakeChanges();
    uint64_t GetGeneration() const { return m_nGeneration; }

private:
    // Adds events to what is watched at path; false when it cannot be watched.
    bool Add(const std::string& path, uint32_t events);

    int m_hWatch;
    uint64_t m_nGeneration;
};
