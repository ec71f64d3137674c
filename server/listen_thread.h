// The listener: owns the listening socket and five workers, accepts connections and places
// each on a worker, which keeps it while it lives.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "foundation/critical_section.h"
#include "foundation/socket.h"
#include "foundation/socket_poller.h"
#include "foundation/thread.h"
#include "server/document_root.h"
#include "server/http_thread.h"
#include "server/listen_status.h"
#include "server/server_options.h"

constexpr int kWorkerCount = 5;
constexpr unsigned short kHttpPort = 80;
// The most connections held at once, waiting or being served.
constexpr int kConnectionLimit = 1024;

class CListenThread : public CThread {
public:
    // port 0 lets the system choose; GetPort tells which once listening. address says where
    // clients may come from: every address by default; kLoopback listens on 127.0.0.1 and,
    // where the host has IPv6, on ::1 with the same port.
    explicit CListenThread(unsigned short port = kHttpPort,
                           const CListenAddress& address = CListenAddress());
    ~CListenThread() override;  // stops nothing: the owner calls Stop first

    DWORD Run() override;  // 1 after a stop, 0 when the listening socket cannot be set up
    // Stops the listener, which closes the listening socket, then workers 0 to 4 together,
    // which end what they are answering within the grace and what only waits at once.
    virtual void Stop();

    // The port being listened on; 0 until listening has begun.
    unsigned short GetPort() const { return m_nBoundPort.load(std::memory_order_acquire); }
    // Why the listening socket could not be set up: the host's error code, 0 when it was.
    int GetListenError() const;
    const CListenAddress& GetListenAddress() const { return m_address; }
    // What its workers' answers are decided by; called before Start.
    void SetServerOptions(const CServerOptions& options) { m_options = options; }
    const CServerOptions& GetServerOptions() const { return m_options; }
    // The folder its workers serve; Set swaps it for all of them.
    CDocumentRoot& GetDocumentRoot() { return m_root; }
    const CHttpThread& GetWorker(int index) const { return m_workers[index]; }
    CHttpThread& GetWorker(int index) { return m_workers[index]; }
    // Whether the listener listens or has failed, told once every worker has written its
    // start message.
    const CListenStatus& GetStatus() const { return m_status; }
    // Who is told of that outcome, on the listener's thread; called before Start.
    void SetOutcomeCallback(ListenOutcomeCallback pfnCallback, void* pContext) {
        m_status.SetCallback(pfnCallback, pContext);
    }
    // Connections accepted so far.
    int32_t GetAcceptedCount() const { return m_nAccepted.load(std::memory_order_acquire); }
    // Connections held now, by all workers.
    int32_t GetHeldCount() const;

private:
    enum class SetupResult { kListening, kFailed, kStopped };
    // Creates and binds the listening socket unless a stop came first.
    SetupResult SetUpListening();
    // Adds a listening socket on ::1 beside the one on 127.0.0.1, at the port that one got;
    // true also when the host has no IPv6 to listen on.
    bool ListenOnIPv6Loopback();
    // Publishes the set-up's outcome once the workers' start messages are out (a stop ends
    // the wait), so that what the owner writes on being told comes after all of them.
    void ReportOutcome(ListenState state);
    // Accepts and places connections until the stop.
    void ServeUntilStopped();
    // Accepts every connection waiting on the listening sockets (when accepting resumes after
    // a pause; a report of one socket takes kAcceptsPerReport), asking a worker to make room
    // where the limit is reached, or pauses accepting when no room can be made now.
    void AcceptWaiting(uint64_t now);
    // AcceptWaiting's work on one listening socket, for at most most clients (fewer when
    // nobody more waits); false once accepting has paused.
    bool AcceptWaitingOn(CSocket& listening, uint64_t now, int most);
    // Asks the worker that holds the connection that has waited longest for its client to
    // close it, if one may be closed; false when none may.
    bool AskToMakeRoom(uint64_t now);
    // Gives a new connection to the worker that ChooseWorker picks; closes it when none can
    // take it.
    void Place(std::unique_ptr<CConnection> pConnection, uint64_t now);
    // Stops watching the listening socket until retryAt, or until fewer than held connections
    // (the count that made it pause) are left.
    void PauseAccepting(uint64_t retryAt, int32_t held);
    // Accepts again once a connection has ended or the retry time has come: true when it did.
    bool ResumeAcceptingWhenRoom(uint64_t now);
    uint32_t MsUntilRetry(uint64_t now) const;
    bool WatchListeningSockets();
    void ForgetListeningSockets();

    // The first is always used; the second only for ::1 beside 127.0.0.1.
    CSocket m_listenSockets[2];
    int m_nListenSockets;
    CListenAddress m_address;
    CDocumentRoot m_root;      // before the workers, which keep a pointer to it
    CServerOptions m_options;  // before the workers, which keep a pointer to it
    CHttpThread m_workers[kWorkerCount];
    unsigned short m_nPort;
    std::atomic<unsigned short> m_nBoundPort;
    std::atomic<int32_t> m_nAccepted;
    int m_nLimit;
    // Orders setting up the listening socket against Stop closing it, so that a stop right
    // after start never closes a half-made socket, nor misses one made just after.
    CCriticalSection m_setupLock;
    CListenStatus m_status;

    // The listener thread's own.
    CSocketPoller m_poller;
    CEndNotice m_endNotice;  // wakes m_poller while accepting waits for a connection to end
    std::unique_ptr<CConnection> m_pSpare;  // the next accepted socket's connection
    bool m_bAcceptPaused;
    uint64_t m_nRetryAcceptAt;
    int32_t m_nHeldAtPause;
    bool m_bRoomAskedForHandles;  // in this episode of running out of sockets
    bool m_bOutOfHandlesLogged;
};
