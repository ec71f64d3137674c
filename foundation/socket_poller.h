// One readiness wait over many sockets, for the thread that holds waiting connections.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/object.h"
#include "foundation/platform_types.h"

struct KovPollerState;

enum class SocketInterest { kRead, kWrite };

// Watches sockets for one readiness each. A socket watched once is no longer watched after
// it has been reported, until Watch is called for it again; one watched for good is reported
// at every wait while it is ready. Watch, Forget and Wait belong to one thread; Wake may be
// called from any thread.
class CSocketPoller : public CObject {
public:
    CSocketPoller();  // false IsValid when the host gave no poller
    ~CSocketPoller() override;
    CSocketPoller(const CSocketPoller&) = delete;
    CSocketPoller& operator=(const CSocketPoller&) = delete;

    bool IsValid() const;
    // Whether Watch may also be called from other threads while Wait runs (the wait then
    // reports the socket once it is ready).
    static const bool kWatchFromAnyThread;
    // Watches s for interest, reporting pKey (never null) when it is ready; a socket already
    // watched is switched to the new interest and key. False when the host refused.
    bool Watch(SOCKET s, SocketInterest interest, void* pKey, bool bForGood = false);
    // Stops watching s; call it before s is closed.
    void Forget(SOCKET s);
    // Waits until a watched socket is ready, Wake is called, or ms pass; stores the keys of
    // up to capacity ready sockets in ppKeys and returns how many (0 for a wake or a time-out,
    // -1 when the wait failed).
    int Wait(uint32_t ms, void** ppKeys, int capacity);
    // Ends the current or next Wait early.
    void Wake();

private:
    KovPollerState* m_pState;
};

// How many connections this process can hold at once, at most wanted: fewer where the host
// limits the descriptors of a process, keeping room for the files being served.
int HostConnectionLimit(int wanted);
