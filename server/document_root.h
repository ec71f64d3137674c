// The folder the server shares, as the listener gives it to its workers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "foundation/critical_section.h"

// The document root's path and a version that moves on at every swap. Each worker opens the
// root itself and looks at the version at every request, which costs an atomic load; only
// after a swap does it take the lock, once, to read the new path.
class CDocumentRoot {
public:
    // Shares the folder at pszRoot (which ends with the host's separator) from now on: every
    // worker's next request is served from it. One that does not open is tried again at each
    // request, so a root that appears later is served.
    void Set(const wchar_t* pszRoot);
    // The path Set was last given.
    std::wstring GetPath() const;
    // Moves on at every Set; 0 before the first.
    uint64_t GetVersion() const { return m_nVersion.load(std::memory_order_acquire); }

private:
    mutable CCriticalSection m_lock;
    std::wstring m_path;  // under m_lock
    std::atomic<uint64_t> m_nVersion{0};
};
