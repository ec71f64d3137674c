// The document root is opened once and shared by the workers, so a request costs a single
// open. It is opened anew when another root is set, and when the folder at the
// root's path was replaced since (a site deployed by swapping folders). That is checked when
// a name is missing, which costs only requests that are answered 404 anyway, and at most
// once a second otherwise, so a swap shows within a second.
#include "server/document_root.h"

#include <cwchar>
#include <memory>

#include "foundation/clock.h"
#include "foundation/critical_section.h"

namespace {

constexpr uint64_t kRootCheckIntervalMs = 1000;

CCriticalSection g_rootLock;
std::wstring g_root;                     // guarded by g_rootLock
std::shared_ptr<CFolder> g_pRootFolder;  // guarded by g_rootLock
uint64_t g_nRootCheckedMs = 0;           // guarded by g_rootLock

// A newly opened folder of the root, or null when it cannot be opened. Called with
// g_rootLock held.
std::shared_ptr<CFolder> OpenRootFolder() {
    std::shared_ptr<CFolder> pFolder = std::make_shared<CFolder>();
    if (!pFolder->Open(g_root.c_str())) pFolder.reset();
    g_nRootCheckedMs = GetTickCount64Ms();
    return pFolder;
}

// Whether the held folder is still the one at the root's text and path; the path is looked
// at only once per interval. Called with g_rootLock held.
bool IsHeldRootCurrent() {
    if (!g_pRootFolder || std::wcscmp(g_pRootFolder->GetPath().c_str(), g_root.c_str()) != 0) {
        return false;
    }
    const uint64_t now = GetTickCount64Ms();
    if (now - g_nRootCheckedMs < kRootCheckIntervalMs) return true;
    g_nRootCheckedMs = now;
    return g_pRootFolder->IsStillAtPath();
}

// The open folder of the root, or null when it cannot be opened (then tried again on the
// next request, so a root that appears later is served). The caller's reference keeps it
// open while another worker replaces it.
std::shared_ptr<CFolder> CurrentRootFolder() {
    CCriticalLock lock(&g_rootLock);
    if (IsHeldRootCurrent()) return g_pRootFolder;
    g_pRootFolder = OpenRootFolder();
    return g_pRootFolder;
}

// The folder now at the root's path, when pStale is no longer it; null when it is the same
// folder (or none can be opened), so that there is nothing to try again.
std::shared_ptr<CFolder> ReplacedRootFolder(const std::shared_ptr<CFolder>& pStale) {
    if (!pStale || pStale->IsStillAtPath()) return nullptr;
    CCriticalLock lock(&g_rootLock);
    // Another worker may have seen the change first.
    if (g_pRootFolder != pStale) return g_pRootFolder;
    g_pRootFolder = OpenRootFolder();
    return g_pRootFolder;
}

}  // namespace

bool SetDocumentRoot(const wchar_t* pszRoot) {
    CCriticalLock lock(&g_rootLock);
    g_root = pszRoot;
    // Workers that still use the old folder keep it through their references.
    g_pRootFolder = OpenRootFolder();
    return g_pRootFolder != nullptr;
}

std::wstring GetDocumentRoot() {
    CCriticalLock lock(&g_rootLock);
    return g_root;
}

bool OpenTargetFile(CFile& file, const CMappedTarget& mapped) {
    if (!mapped.m_bAllowed) return false;
    std::shared_ptr<CFolder> pRoot = CurrentRootFolder();
    if (!pRoot) return false;
    if (!file.OpenBelow(*pRoot, mapped.m_path.c_str())) {
        pRoot = ReplacedRootFolder(pRoot);
        if (!pRoot || !file.OpenBelow(*pRoot, mapped.m_path.c_str())) return false;
    }
    return file.IsRegularFile();
}

bool IsTargetFileStillAt(const CFile& file, const CMappedTarget& mapped) {
    if (!mapped.m_bAllowed) return false;
    const std::shared_ptr<CFolder> pRoot = CurrentRootFolder();
    return pRoot && file.IsStillAt(*pRoot, mapped.m_path.c_str());
}

std::shared_ptr<CFolder> WatchTargetNames(CChangeWatch& watch, const CFile& file,
                                          const CMappedTarget& mapped) {
    if (!mapped.m_bAllowed || !watch.IsValid()) return nullptr;
    std::shared_ptr<CFolder> pRoot = CurrentRootFolder();
    if (!pRoot || !watch.Watch(*pRoot, mapped.m_path.c_str(), file)) return nullptr;
    return pRoot;
}

bool IsCurrentRootFolder(const CFolder* pFolder) {
    CCriticalLock lock(&g_rootLock);
    return pFolder != nullptr && g_pRootFolder.get() == pFolder && IsHeldRootCurrent();
}

bool NamesFolderBelowRoot(const CMappedTarget& mapped) {
    if (!mapped.m_bAllowed || mapped.m_bFolderIndex) return false;
    // Asked after a miss, which has already opened the root anew if it was replaced.
    std::shared_ptr<CFolder> pRoot = CurrentRootFolder();
    return pRoot && CFile::IsFolderBelow(*pRoot, mapped.m_path.c_str());
}

std::string TargetFolder(const CMappedTarget& mapped) {
    std::string folder = mapped.m_path;
    const size_t indexLength = sizeof kDefaultDocument - 1;
    if (folder.size() >= indexLength) folder.resize(folder.size() - indexLength);
    return folder;
}

std::shared_ptr<CFolder> ListTargetFolder(const CMappedTarget& mapped,
                                          std::vector<CFolderEntry>* pEntries) {
    pEntries->clear();
    if (!mapped.m_bAllowed || !mapped.m_bFolderIndex) return nullptr;
    std::shared_ptr<CFolder> pRoot = CurrentRootFolder();
    if (!pRoot || !ListFolderBelow(*pRoot, TargetFolder(mapped).c_str(), pEntries)) return nullptr;
    return pRoot;
}
