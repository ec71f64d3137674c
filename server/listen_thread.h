// The listener: owns the listening socket and five workers, and hands each accepted
// connection to the first idle worker.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/critical_section.h"
#include "foundation/event.h"
#include "foundation/socket.h"
#include "foundation/thread.h"
#include "server/http_thread.h"

constexpr int kWorkerCount = 5;
constexpr unsigned short kHttpPort = 80;

class CListenThread : public CThread {
public:
    // port 0 lets the system choose; GetPort tells which once listening.
    explicit CListenThread(unsigned short port = kHttpPort);
    ~CListenThread() override;  // stops nothing: the owner calls Stop first

    DWORD Run() override;  // 1 after a stop, 0 when the listening socket cannot be set up
    // Closes the listening socket and stops the listener, then workers 0 to 4.
    virtual void Stop();

    // The port being listened on; 0 until listening has begun.
    unsigned short GetPort() const { return m_nBoundPort.load(std::memory_order_acquire); }
    // Why the listening socket could not be set up: the host's error code, 0 when it was.
    int GetListenError() const { return m_listenSocket.GetListenError(); }
    const CHttpThread& GetWorker(int index) const { return m_workers[index]; }
    // Connections accepted so far, handed over or still held.
    int32_t GetAcceptedCount() const { return m_nAccepted.load(std::memory_order_acquire); }

private:
    enum class SetupResult { kListening, kFailed, kStopped };
    // Creates and binds the listening socket unless a stop came first.
    SetupResult SetUpListening();
    // Offers s to workers 0 to 4 in order until one takes it: again whenever a worker
    // becomes idle, and every 100 ms in any case.
    void Dispatch(SOCKET s);
    // Offers s to workers 0 to 4 once; true when one took it.
    bool OfferToIdleWorker(SOCKET s);

    CSocket m_listenSocket;
    CHttpThread m_workers[kWorkerCount];
    unsigned short m_nPort;
    std::atomic<unsigned short> m_nBoundPort;
    std::atomic<int32_t> m_nAccepted;
    // Set once the listener can hand over no more connections.
    CEvent m_hHandOffsEnded;
    // Set by a worker that has become idle; cleared by the listener before it waits.
    CEvent m_hWorkerFreed;
    // Orders setting up the listening socket against Stop closing it, so that a stop right
    // after start never closes a half-made socket, nor misses one made just after.
    CCriticalSection m_setupLock;
};
