// The document root is opened once and shared by the workers; it is opened anew only when
// g_szWebRoot names another folder, so a request costs a single open.
#include "server/document_root.h"

#include <cwchar>
#include <memory>

#include "foundation/critical_section.h"
#include "server/http_thread.h"

namespace {

CCriticalSection g_rootLock;
std::shared_ptr<CFolder> g_pRootFolder;  // guarded by g_rootLock

// The open folder of g_szWebRoot, or null when it cannot be opened (then tried again on the
// next request, so a root that appears later is served). The caller's reference keeps it
// open while another worker replaces it.
std::shared_ptr<CFolder> CurrentRootFolder() {
    CCriticalLock lock(&g_rootLock);
    if (g_pRootFolder && std::wcscmp(g_pRootFolder->GetPath().c_str(), g_szWebRoot) == 0) {
        return g_pRootFolder;
    }
    std::shared_ptr<CFolder> pFolder = std::make_shared<CFolder>();
    if (!pFolder->Open(g_szWebRoot)) pFolder.reset();
    g_pRootFolder = pFolder;
    return pFolder;
}

}  // namespace

bool OpenTargetFile(CFile& file, const CMappedTarget& mapped) {
    if (!mapped.m_bAllowed) return false;
    std::shared_ptr<CFolder> pRoot = CurrentRootFolder();
    if (!pRoot || !file.OpenBelow(*pRoot, mapped.m_relativePath.GetString())) return false;
    return file.IsRegularFile();
}
