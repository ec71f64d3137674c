// What one worker knows about the files it serves: the document root it opens them below,
// the change watch on the names that lead to them, the files it keeps open between requests
// (with the whole content of the small ones), and the folder listings it has built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/change_watch.h"
#include "foundation/file.h"
#include "foundation/socket_poller.h"
#include "server/listing_cache.h"
#include "server/target.h"

class CDocumentRoot;

// How long a file held open may wait for its next request where a file held open keeps
// other programs from deleting or renaming it.
constexpr uint32_t kKeptFileIdleMs = 250;

// One regular file the cache holds open, shared with the connections that send from it.
struct CCachedFile {
    static constexpr uint64_t kNotValidated = ~uint64_t{0};

    std::string m_path;  // below the root, as CMappedTarget::m_path
    CFile m_file;
    // The change watch's generation when the names that lead to the file were last watched
    // and found unchanged; kNotValidated when they are not watched.
    uint64_t m_nValidatedAt = kNotValidated;
    bool m_bWatchable = true;  // false once its names could not be watched
    bool m_bCopied = false;    // m_content holds the whole file
    std::string m_content;
    uint64_t m_nLastUsedMs = 0;
};

class CFileCache {
public:
    static constexpr size_t kMostFiles = 32;
    // Files up to this size that no write was under way on when they opened are copied whole
    // at their first read, and answered from the copy from then on.
    static constexpr uint64_t kMostCopiedBytes = 8192;
    static constexpr uint64_t kNoDeadline = ~uint64_t{0};

    CFileCache() = default;
    CFileCache(const CFileCache&) = delete;
    CFileCache& operator=(const CFileCache&) = delete;

    // Serves the files below pRoot (which outlives the cache); none before this is called.
    void ServeFrom(const CDocumentRoot* pRoot) { m_pDocumentRoot = pRoot; }
    // Puts the change watch in the worker's readiness wait, keyed by this cache, once: only
    // from then on are changes taken in, and only then is anything trusted without a look.
    void WatchIn(CSocketPoller& poller);
    // Takes in the changes among what a readiness wait reported (count of capacity ready
    // sockets), and returns the mark of the requests that wait reported. Call it before any
    // connection that wait reported is stepped: a change made before a client sent its request
    // is reported by the wait that reports the request, so a request with this mark may trust
    // a generation that has not moved. A full batch may have left the watch out, so its
    // changes are taken in then too.
    uint64_t TakeInChanges(const CReadySocket* pReady, int count, int capacity);
    // Whether a ready socket's key is the change watch's rather than a connection's.
    bool IsChangeKey(const void* pKey) const { return pKey == this; }

    // The regular file that an allowed target names below the root as it is now, or null
    // when there is none. The file kept from an earlier request is used when nothing on the
    // way to it has changed: told by the generation for a request with a trusted mark (from
    // TakeInChanges; 0 for none), else by a look at its name (a stat cache).
    std::shared_ptr<CCachedFile> FileFor(const CMappedTarget& mapped, uint64_t mark, uint64_t now);
    // Appends bytes [first, first + count) of file to pOut, from its copy when it has one;
    // returns how many there were (fewer when the file has shrunk since it opened).
    size_t AppendBytes(CCachedFile& file, uint64_t first, size_t count, std::string* pOut) const;
    // The listing of the folder that an allowed folder target names, in order: the page kept
    // of it while nothing it shows has changed (trusted as for FileFor), else built anew into
    // *pBuilt and kept where the watch can tell of its changes. Null when no folder there may
    // be listed.
    const CListingPage* ListingFor(const CMappedTarget& mapped, const CListingOrder& order,
                                   uint64_t mark, uint64_t now, CListingPage* pBuilt);
    // The page kept of the folder that a folder target names, in order, when a request with
    // mark may trust it (nothing in the folder has changed since it was built, an index.html
    // included) and the root is the one it was built under; null otherwise. Makes no system
    // call that a kept file does not.
    const CListingPage* KeptListingFor(const CMappedTarget& mapped, const CListingOrder& order,
                                       uint64_t mark, uint64_t now);
    // Whether an allowed target whose path did not end in '/' names a folder below the root,
    // reached by the same rules as files.
    bool NamesFolder(const CMappedTarget& mapped, uint64_t now);
    // The root as it is now (opened anew after a swap), for what reads a whole tree below it;
    // null when it is not open.
    const CFolder* CurrentRoot(uint64_t now) { return UseCurrentRoot(now) ? &m_root : nullptr; }
    // Closes the files that have waited kKeptFileIdleMs for a request, where a file held open
    // keeps others out, and returns when the next may have to be, or kNoDeadline.
    uint64_t LetIdleFilesGo(uint64_t now);

    size_t GetFileCount() const { return m_files.size(); }
    const CChangeWatch& GetChangeWatch() const { return m_changes; }

private:
    // Whether the root is open now, opening it anew after a swap, and when the folder at its
    // path has been replaced (looked at once a second, or at once when bMissed: a name was
    // missing); every file and page kept from another folder is dropped then.
    bool UseCurrentRoot(uint64_t now, bool bMissed = false);
    void OpenRoot(uint64_t now);
    // Whether a request with mark may trust an unmoved generation.
    bool IsTrusted(uint64_t mark) const;
    // Whether the kept file is still what its name leads to, unchanged.
    bool IsStillCurrent(CCachedFile& file, uint64_t mark);
    std::shared_ptr<CCachedFile> OpenFile(const CMappedTarget& mapped, uint64_t now);
    void Keep(const std::shared_ptr<CCachedFile>& pFile);
    void Forget(const std::string& path);
    bool BuildListing(const CMappedTarget& mapped, const CListingOrder& order, CListingPage* pPage,
                      bool* pKeepable);

    const CDocumentRoot* m_pDocumentRoot = nullptr;
    uint64_t m_nRootVersion = 0;  // of the path m_root was opened from
    std::wstring m_rootPath;
    CFolder m_root;
    uint64_t m_nRootCheckedMs = 0;
    CChangeWatch m_changes;
    bool m_bChangesInWait = false;
    uint64_t m_nWaits = 0;  // the mark of the last wait whose changes were taken in
    std::vector<std::shared_ptr<CCachedFile>> m_files;  // the most recently used last
    CListingCache m_listings;
};
