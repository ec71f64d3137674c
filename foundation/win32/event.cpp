// Manual-reset events on Win32, with their state kept beside them for looks that must not
// cost a call into the system.
#include "foundation/event.h"

namespace {

// Returns once no Set or Reset holds the lock. A thread that saw the event set may destroy
// it at once, so the setter must be done with the object (its SetEvent and its release of
// the lock) before a look or a wait reports the event set.
void WaitOutChange(SRWLOCK* pLock) {
    AcquireSRWLockShared(pLock);
    ReleaseSRWLockShared(pLock);
}

}  // namespace

CEvent::CEvent() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_bSet(false) {
    InitializeSRWLock(&m_lock);
}

CEvent::~CEvent() {
    if (m_hEvent != nullptr) CloseHandle(m_hEvent);
}

void CEvent::Set() {
    if (m_hEvent == nullptr) return;
    AcquireSRWLockExclusive(&m_lock);
    if (!m_bSet.load(std::memory_order_relaxed)) {
        // Release: whoever reads the flag set also sees what this thread wrote before.
        m_bSet.store(true, std::memory_order_release);
        SetEvent(m_hEvent);
    }
    ReleaseSRWLockExclusive(&m_lock);
}

void CEvent::Reset() {
    if (m_hEvent == nullptr) return;
    AcquireSRWLockExclusive(&m_lock);
    if (m_bSet.load(std::memory_order_relaxed)) {
        ResetEvent(m_hEvent);
        m_bSet.store(false, std::memory_order_relaxed);
    }
    ReleaseSRWLockExclusive(&m_lock);
}

bool CEvent::IsSet() const {
    if (!m_bSet.load(std::memory_order_acquire)) return false;
    WaitOutChange(&m_lock);
    return true;
}

bool CEvent::Wait(uint32_t ms) const {
    // A set event needs no wait, and no request to the system.
    if (IsSet()) return true;
    if (WaitForSingleObject(m_hEvent, ms == kWaitInfinite ? INFINITE : ms) != WAIT_OBJECT_0) {
        return false;
    }
    WaitOutChange(&m_lock);
    return true;
}
