// The shared folder's path, swapped under a lock that only a swap and the first request
// after it take.
#include "server/document_root.h"

void CDocumentRoot::Set(const wchar_t* pszRoot) {
    CCriticalLock lock(&m_lock);
    m_path = pszRoot;
    m_nVersion.fetch_add(1, std::memory_order_acq_rel);
}

std::wstring CDocumentRoot::GetPath() const {
    CCriticalLock lock(&m_lock);
    return m_path;
}
