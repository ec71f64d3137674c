// Manual-reset event: once set it stays signalled for every waiter until it is reset.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/object.h"
#include "foundation/platform_types.h"

constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

class CEvent : public CObject {
public:
    CEvent();  // creates the event, not signalled
    ~CEvent() override;

    bool IsValid() const { return m_hEvent != EventHandle(); }
    void Set();
    void Reset();
    // Looks without waiting for the event; a thread that sees it set also sees what its
    // setter wrote before, and may destroy it at once.
    bool IsSet() const;
    // true when the event became (or was) signalled within ms milliseconds.
    bool Wait(uint32_t ms) const;

private:
    EventHandle m_hEvent;
#ifdef _WIN32
    // What IsSet reads. Asking the system instead (a wait with no time) is a wineserver
    // request under Wine, and Wine gives up the CPU when the event is not set.
    std::atomic<bool> m_bSet;
    // Held while Set and Reset change the flag and the event, so that the two always agree;
    // taken shared by those who saw it set, to wait until the setter is done with the object.
    mutable SRWLOCK m_lock;
#endif
};
