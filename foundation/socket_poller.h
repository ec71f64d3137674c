// One readiness wait over many sockets, for the thread that owns them.
#pragma once

#include <cstdint>
#include <memory>

#include "foundation/object.h"
#include "foundation/platform_types.h"

struct KovPollerState;

enum class SocketInterest { kRead, kWrite };

// A socket that a wait found ready: its key, whether bytes (or the peer's end, or an error)
// may be there to read, and whether the peer's end (or an error) is among them.
struct CReadySocket {
    void* m_pKey;
    bool m_bReadable;
    bool m_bEnded;
};

// Watches sockets for readiness. Where the host reports a change of readiness (Linux: epoll,
// edge-triggered; sending room is watched from the first interest in it on), a socket is
// reported when it becomes ready, and its owner reads or sends until the call would block
// before it counts on another report; a listening socket is reported while clients wait.
// Elsewhere (Win32: WSAPoll) a socket is reported while it is ready for the interest last
// set. Watch, SetInterest, Forget and Wait belong to one thread; Wake may be called from any
// thread.
class CSocketPoller : public CObject {
public:
    CSocketPoller();  // false IsValid when the host gave no poller
    ~CSocketPoller() override;

    bool IsValid() const;
    // How many connections one awake thread should take before the next thread is woken for
    // one: many where a wake-up is the dear part and a wait over many sockets costs what a
    // wait over one does (Linux); one where every wait is a round trip to another process,
    // which threads of their own overlap (Win32 under Wine).
    static const int kConnectionsPerWakeUp;
    // How long a thread that has just found sockets ready may go on looking (waits that do
    // not block) before its wait sleeps: where a sleep and its wake cost more than the looks
    // (a virtual machine's interrupts), a busy client's next request is found without either;
    // 0 where every look is a round trip to another process (Win32 under Wine).
    static const uint32_t kLookBeforeSleepMicros;
    // How many clients one report of a listening socket (WatchListening) is taken for before
    // the next wait: one where a report comes while a client waits and an accept that finds
    // nobody costs the kernel a socket and a file made and undone (Linux); every waiting one
    // where every wait is a round trip to another process (Win32 under Wine).
    static const int kAcceptsPerReport;
    // Watches s, reporting pKey (never null) when it is ready; a socket already watched gets
    // the new key and interest. False when the host refused.
    bool Watch(SOCKET s, SocketInterest interest, void* pKey);
    // Watches the listening socket s, reporting pKey (never null) at every wait while a client
    // waits to be accepted, so that a report is worth an accept. False when the host refused.
    bool WatchListening(SOCKET s, void* pKey);
    // What s is watched for from now on, where readiness is reported while it lasts.
    void SetInterest(SOCKET s, SocketInterest interest);
    // Stops reporting s; call it before s is closed. (Linux forgets a closed socket by itself;
    // there a socket forgotten but left open may still be reported.)
    void Forget(SOCKET s);
    // Waits until a watched socket is ready, Wake is called, or ms pass; stores up to capacity
    // ready sockets in pReady and returns how many (0 for a wake or a time-out, -1 when the
    // wait failed).
    int Wait(uint32_t ms, CReadySocket* pReady, int capacity);
    // Ends the current or next Wait early.
    void Wake();

private:
    KovPollerState* m_pState;
};

// How many connections this process can hold at once, at most wanted: fewer where the host
// limits the descriptors of a process, keeping room for the files being served.
int HostConnectionLimit(int wanted);
