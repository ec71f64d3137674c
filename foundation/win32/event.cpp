// Manual-reset events on Win32.
#include "foundation/event.h"

CEvent::CEvent() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CEvent::~CEvent() {
    if (m_hEvent != nullptr) CloseHandle(m_hEvent);
}

void CEvent::Set() {
    SetEvent(m_hEvent);
}

void CEvent::Reset() {
    ResetEvent(m_hEvent);
}

bool CEvent::IsSet() const {
    return WaitForSingleObject(m_hEvent, 0) == WAIT_OBJECT_0;
}

bool CEvent::Wait(uint32_t ms) const {
    return WaitForSingleObject(m_hEvent, ms == kWaitInfinite ? INFINITE : ms) == WAIT_OBJECT_0;
}

int WaitForEither(const CEvent& first, const CEvent& second, uint32_t ms) {
    // WaitForMultipleObjects reports the lowest signalled index, which is what callers want.
    HANDLE handles[2] = {first.Native(), second.Native()};
    DWORD result = WaitForMultipleObjects(2, handles, FALSE, ms == kWaitInfinite ? INFINITE : ms);
    if (result == WAIT_OBJECT_0) return 0;
    if (result == WAIT_OBJECT_0 + 1) return 1;
    return -1;
}
