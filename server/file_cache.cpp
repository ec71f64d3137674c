// The per-worker file cache: files kept open and validated by the change watch or a stat,
// the small ones' content, the listings, all dropped together when the root changes.
#include "server/file_cache.h"

#include <algorithm>

#include "server/document_root.h"

namespace {

// A root's path is looked at this often to notice a folder swapped in its place.
constexpr uint64_t kRootCheckIntervalMs = 1000;

// The folder that a folder target stands for, below the root: its path without the index name.
std::string TargetFolder(const CMappedTarget& mapped) {
    const size_t indexLength = sizeof kDefaultDocument - 1;
    return mapped.m_path.substr(
        0, mapped.m_path.size() >= indexLength ? mapped.m_path.size() - indexLength : 0);
}

// The names of the folders among entries, sorted, so that two reads of a folder compare.
std::vector<std::string> SubfolderNames(const std::vector<CFolderEntry>& entries) {
    std::vector<std::string> names;
    for (const CFolderEntry& entry : entries) {
        if (entry.m_bFolder) names.push_back(entry.m_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

void CFileCache::WatchIn(CSocketPoller& poller) {
    if (m_bChangesInWait || !m_changes.IsValid()) return;
    m_bChangesInWait = poller.Watch(m_changes.GetHandle(), SocketInterest::kRead, this);
}

uint64_t CFileCache::TakeInChanges(const CReadySocket* pReady, int count, int capacity) {
    bool bReported = count >= capacity;
    for (int index = 0; index < count && !bReported; ++index) {
        bReported = IsChangeKey(pReady[index].m_pKey);
    }
    if (bReported && m_bChangesInWait) m_changes.TakeChanges();
    return ++m_nWaits;
}

bool CFileCache::IsTrusted(uint64_t mark) const {
    return m_bChangesInWait && mark != 0 && mark == m_nWaits;
}

void CFileCache::OpenRoot(uint64_t now) {
    m_files.clear();
    m_listings.Clear();
    m_root.Close();
    m_root.Open(m_rootPath.c_str());
    m_nRootCheckedMs = now;
}

bool CFileCache::UseCurrentRoot(uint64_t now, bool bMissed) {
    if (m_pDocumentRoot == nullptr) return false;
    const uint64_t version = m_pDocumentRoot->GetVersion();
    if (version != m_nRootVersion) {
        m_nRootVersion = version;
        m_rootPath = m_pDocumentRoot->GetPath();
        OpenRoot(now);
    } else if (!m_root.IsOpen()) {
        OpenRoot(now);
    } else if (bMissed || now - m_nRootCheckedMs >= kRootCheckIntervalMs) {
        m_nRootCheckedMs = now;
        if (!m_root.IsStillAtPath()) OpenRoot(now);
    }
    return m_root.IsOpen();
}

std::shared_ptr<CCachedFile> CFileCache::FileFor(const CMappedTarget& mapped, uint64_t mark,
                                                 uint64_t now) {
    if (!mapped.m_bAllowed || !UseCurrentRoot(now)) return nullptr;
    auto found = std::find_if(m_files.begin(), m_files.end(),
                              [&](const auto& pFile) { return pFile->m_path == mapped.m_path; });
    if (found != m_files.end()) {
        std::shared_ptr<CCachedFile> pFile = *found;
        m_files.erase(found);
        if (IsStillCurrent(*pFile, mark)) {
            pFile->m_nLastUsedMs = now;
            m_files.push_back(std::move(pFile));
            return m_files.back();
        }
    }
    return OpenFile(mapped, now);
}

bool CFileCache::IsStillCurrent(CCachedFile& file, uint64_t mark) {
    const char* pszPath = file.m_path.c_str();
    if (file.m_nValidatedAt == m_changes.GetGeneration()) {
        // Nothing on the way to the file has changed since its name was last looked at, up to
        // the wait that reported this request: so it is still there, unchanged.
        return IsTrusted(mark) || file.m_file.IsStillAt(m_root, pszPath);
    }
    // Watched before the look, so that whatever changes after the look is reported.
    const uint64_t generation = m_changes.GetGeneration();
    bool bWatched = false;
    if (m_bChangesInWait && file.m_bWatchable) {
        bWatched = m_changes.Watch(m_root, pszPath, file.m_file);
        // A way that cannot be watched (a link, a network file system) is not tried again.
        file.m_bWatchable = bWatched;
    }
    if (!file.m_file.IsStillAt(m_root, pszPath)) return false;
    file.m_nValidatedAt = bWatched ? generation : CCachedFile::kNotValidated;
    return true;
}

std::shared_ptr<CCachedFile> CFileCache::OpenFile(const CMappedTarget& mapped, uint64_t now) {
    auto pFile = std::make_shared<CCachedFile>();
    pFile->m_path = mapped.m_path;
    const char* pszPath = pFile->m_path.c_str();
    if (!pFile->m_file.OpenBelow(m_root, pszPath)) {
        // A missing name may mean that another folder has been put in the root's place.
        if (!UseCurrentRoot(now, true) || !pFile->m_file.OpenBelow(m_root, pszPath)) return nullptr;
    }
    if (!pFile->m_file.IsRegularFile()) return nullptr;
    pFile->m_nLastUsedMs = now;
    // A file that could not be told unchanged later would only keep others from it.
    if (pFile->m_file.CanTellItIsStillAt()) Keep(pFile);
    return pFile;
}

void CFileCache::Keep(const std::shared_ptr<CCachedFile>& pFile) {
    if (m_files.size() >= kMostFiles) m_files.erase(m_files.begin());
    m_files.push_back(pFile);
}

size_t CFileCache::AppendBytes(CCachedFile& file, uint64_t first, size_t count,
                               std::string* pOut) const {
    if (file.m_bCopied) {
        const size_t from = static_cast<size_t>(std::min<uint64_t>(first, file.m_content.size()));
        const size_t taken = std::min(count, file.m_content.size() - from);
        pOut->append(file.m_content, from, taken);
        return taken;
    }
    const size_t start = pOut->size();
    pOut->resize(start + count);
    const size_t read =
        count > 0 ? file.m_file.ReadAt(&(*pOut)[start], static_cast<DWORD>(count), first) : 0;
    pOut->resize(start + read);
    // A small file that no write was under way on when it opened stays as it was read for as
    // long as its name still leads to it unchanged.
    const uint64_t size = file.m_file.GetOpenedSize();
    if (first == 0 && read == size && size <= kMostCopiedBytes &&
        file.m_file.HasStrongValidator()) {
        file.m_content.assign(*pOut, start, read);
        file.m_bCopied = true;
    }
    return read;
}

uint64_t CFileCache::LetIdleFilesGo(uint64_t now) {
    if (!CFile::kHeldOpenKeepsOthersOut) return kNoDeadline;
    m_files.erase(std::remove_if(m_files.begin(), m_files.end(),
                                 [&](const auto& pFile) {
                                     return now >= pFile->m_nLastUsedMs + kKeptFileIdleMs;
                                 }),
                  m_files.end());
    uint64_t next = kNoDeadline;
    for (const auto& pFile : m_files) next = std::min(next, pFile->m_nLastUsedMs + kKeptFileIdleMs);
    return next;
}

bool CFileCache::NamesFolder(const CMappedTarget& mapped, uint64_t now) {
    if (!mapped.m_bAllowed || mapped.m_bFolderIndex || !UseCurrentRoot(now)) return false;
    return CFile::IsFolderBelow(m_root, mapped.m_path.c_str());
}

const CListingPage* CFileCache::KeptListingFor(const CMappedTarget& mapped,
                                               const CListingOrder& order, uint64_t mark,
                                               uint64_t now) {
    if (!mapped.m_bAllowed || !mapped.m_bFolderIndex || !IsTrusted(mark) || !UseCurrentRoot(now)) {
        return nullptr;
    }
    return m_listings.Find(TargetFolder(mapped), order, m_changes.GetGeneration());
}

const CListingPage* CFileCache::ListingFor(const CMappedTarget& mapped, const CListingOrder& order,
                                           uint64_t mark, uint64_t now, CListingPage* pBuilt) {
    if (!mapped.m_bAllowed || !mapped.m_bFolderIndex || !UseCurrentRoot(now)) return nullptr;
    // As for kept files: only a request that the wait reported may trust an unmoved generation.
    if (IsTrusted(mark)) {
        const CListingPage* pKept =
            m_listings.Find(TargetFolder(mapped), order, m_changes.GetGeneration());
        if (pKept != nullptr) return pKept;
    }
    bool bKeepable = false;
    if (!BuildListing(mapped, order, pBuilt, &bKeepable)) return nullptr;
    if (bKeepable) {
        const CListingPage* pKept = m_listings.Keep(std::move(*pBuilt));
        if (pKept != nullptr) return pKept;
    }
    return pBuilt;
}

bool CFileCache::BuildListing(const CMappedTarget& mapped, const CListingOrder& order,
                              CListingPage* pPage, bool* pKeepable) {
    *pKeepable = false;
    pPage->m_folder = TargetFolder(mapped);
    pPage->m_order = order;
    std::vector<CFolderEntry> entries;
    const char* pszFolder = pPage->m_folder.c_str();
    if (!ListFolderBelow(m_root, pszFolder, &entries)) return false;
    if (m_bChangesInWait) {
        // Watched before the entries are read again, so that whatever changes after that read
        // is reported; a subfolder that appeared meanwhile is not watched, and the page is then
        // not kept.
        const std::vector<std::string> subfolders = SubfolderNames(entries);
        const uint64_t generation = m_changes.GetGeneration();
        if (m_changes.WatchFolder(m_root, pszFolder, subfolders) &&
            ListFolderBelow(m_root, pszFolder, &entries)) {
            *pKeepable = SubfolderNames(entries) == subfolders;
            pPage->m_nGeneration = generation;
        }
    }
    // The path as the client named it: the decoded target, with '/' between its segments.
    std::string folderPath =
        "/" + mapped.m_display.substr(0, mapped.m_display.size() - (sizeof kDefaultDocument - 1));
    std::replace(folderPath.begin(), folderPath.end(), '\\', '/');
    SortListing(&entries, pPage->m_order);
    // A new page, never the bytes of one that an answer may still be sending.
    auto pBody = std::make_shared<std::string>();
    AppendListingPage(pBody.get(), folderPath, pPage->m_order, entries, m_bUploadForm);
    pPage->m_pBody = std::move(pBody);
    pPage->m_etag = ListingEntityTag(folderPath, pPage->m_order, entries, m_bUploadForm);
    return true;
}
