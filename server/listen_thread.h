// The listener: owns the listening socket and five workers, hands each connection that can
// go on to the first idle worker, and holds the connections that wait for their client.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "foundation/critical_section.h"
#include "foundation/event.h"
#include "foundation/socket.h"
#include "foundation/socket_poller.h"
#include "foundation/thread.h"
#include "server/http_thread.h"
#include "server/listen_status.h"
#include "server/waiting_connections.h"

constexpr int kWorkerCount = 5;
constexpr unsigned short kHttpPort = 80;
// The most connections held at once, waiting or being served.
constexpr int kConnectionLimit = 1024;

class CListenThread : public CThread, private CConnectionPool {
public:
    // port 0 lets the system choose; GetPort tells which once listening.
    explicit CListenThread(unsigned short port = kHttpPort);
    ~CListenThread() override;  // stops nothing: the owner calls Stop first

    DWORD Run() override;  // 1 after a stop, 0 when the listening socket cannot be set up
    // Stops the listener, which closes the listening socket and the connections that only
    // wait, then workers 0 to 4, which end what they are answering within the grace.
    virtual void Stop();

    // The port being listened on; 0 until listening has begun.
    unsigned short GetPort() const { return m_nBoundPort.load(std::memory_order_acquire); }
    // Why the listening socket could not be set up: the host's error code, 0 when it was.
    int GetListenError() const { return m_listenSocket.GetListenError(); }
    const CHttpThread& GetWorker(int index) const { return m_workers[index]; }
    // Whether the listener listens or has failed, told once every worker has written its
    // start message.
    const CListenStatus& GetStatus() const { return m_status; }
    // Who is told of that outcome, on the listener's thread; called before Start.
    void SetOutcomeCallback(ListenOutcomeCallback pfnCallback, void* pContext) {
        m_status.SetCallback(pfnCallback, pContext);
    }
    // Connections accepted so far.
    int32_t GetAcceptedCount() const { return m_nAccepted.load(std::memory_order_acquire); }
    // Connections held now: waiting here, waiting for a worker, or being served.
    int32_t GetHeldCount() const { return m_nHeld.load(std::memory_order_acquire); }

private:
    enum class SetupResult { kListening, kFailed, kStopped };
    // Creates and binds the listening socket unless a stop came first.
    SetupResult SetUpListening();
    // Publishes the set-up's outcome once the workers' start messages are out (a stop ends
    // the wait), so that what the owner writes on being told comes after all of them.
    void ReportOutcome(ListenState state);
    // Waits for sockets, hand-backs and deadlines until the stop.
    void ServeUntilStopped();
    // Accepts a connection waiting on the listening socket, making room where the limit is
    // reached, or pauses accepting when no room can be made.
    void AcceptWaiting(uint64_t now);
    // Closes the connection that has waited longest for its client, if one may give way;
    // false when none may.
    bool MakeRoom(uint64_t now);
    bool WatchListeningSocket();
    void PauseAccepting(uint64_t retryAt);
    // Resumes accepting once a connection has ended or the retry time has come.
    void ResumeAcceptingWhenRoom(uint64_t now);
    // Files the connections that workers handed back with the waiting ones.
    void TakeHandedBack();
    // Keeps a connection here until its socket is ready or its deadline passes.
    void Hold(std::unique_ptr<CConnection> pConnection);
    // A new connection goes to an idle worker at once, or waits here for its first bytes.
    void PlaceNew(std::unique_ptr<CConnection> pConnection);
    void CloseHeld(std::unique_ptr<CConnection> pConnection);
    // Gives the connection to the first idle worker, which the caller then wakes after
    // leaving the lock; null when none is idle. Under m_poolLock.
    CHttpThread* TakeOverByIdleWorkerLocked(std::unique_ptr<CConnection>& pConnection);
    // Hands a connection that can go on to the first idle worker, or queues it for the next
    // worker that has a moment.
    void Dispatch(std::unique_ptr<CConnection> pConnection);
    // Gives every held connection to the workers (which answer only what has arrived) and
    // takes no more.
    void HandOverAllForStop();
    uint32_t MsUntilNextEvent(uint64_t now) const;
    void WakeListener();

    // CConnectionPool, for the workers.
    bool IsWorkWaiting() const override;
    std::unique_ptr<CConnection> Exchange(std::unique_ptr<CConnection> pConnection) override;
    std::unique_ptr<CConnection> TakeNextOrRest(CHttpThread& worker) override;
    void NoteConnectionEnded() override;
    std::unique_ptr<CConnection> PopReadyLocked();

    CSocket m_listenSocket;
    CHttpThread m_workers[kWorkerCount];
    unsigned short m_nPort;
    std::atomic<unsigned short> m_nBoundPort;
    std::atomic<int32_t> m_nAccepted;
    std::atomic<int32_t> m_nHeld;
    int m_nLimit;
    // Set once the listener can hand over no more connections.
    CEvent m_hHandOffsEnded;
    // Orders setting up the listening socket against Stop closing it, so that a stop right
    // after start never closes a half-made socket, nor misses one made just after.
    CCriticalSection m_setupLock;
    CListenStatus m_status;

    // The listener thread's own: the readiness wait and what it watches.
    CSocketPoller m_poller;
    CWaitingConnections m_waiting;
    std::unique_ptr<CConnection> m_pSpare;  // the next accepted socket's connection
    bool m_bAcceptPaused;
    uint64_t m_nRetryAcceptAt;
    int32_t m_nHeldAtPause;
    bool m_bOutOfHandlesLogged;

    // Shared with the workers, under m_poolLock.
    CCriticalSection m_poolLock;
    std::deque<std::unique_ptr<CConnection>> m_ready;  // can go on; oldest first
    // Handed back by workers; true where the worker has watched the socket already.
    std::vector<std::pair<std::unique_ptr<CConnection>, bool>> m_handedBack;
    bool m_bHandBacksClosed;
    std::atomic<int32_t> m_nReady;
    std::atomic<int32_t> m_nHandedBack;
    // Set while the listener is about to wait or waiting, so that it is woken only then.
    std::atomic<bool> m_bListenerAsleep;
    // When the listener's wait ends by itself; a connection handed back with an earlier
    // deadline wakes it.
    std::atomic<uint64_t> m_nWaitUntil;
    std::atomic<bool> m_bWakeOnEnd;  // accepting is paused until a connection ends
    int m_nIdleWorkers;              // under m_poolLock: workers that may take a connection
};
