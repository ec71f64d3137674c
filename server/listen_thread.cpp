// The listener thread: accepts connections and places each on a worker, which serves it
// until it ends.
#include "server/listen_thread.h"

#include <algorithm>
#include <climits>

#include "foundation/clock.h"
#include "foundation/log.h"

namespace {

constexpr uint32_t kRetryMs = 100;
// How soon accepting is tried again after the system had no socket left.
constexpr uint32_t kOutOfHandlesRetryMs = 1000;
// A new connection that has sent no request for this long may give its place to another.
constexpr uint32_t kOverdueFirstRequestMs = 1000;

}  // namespace

CListenThread::CListenThread(unsigned short port, const CListenAddress& address)
    : CThread(false),
      m_nListenSockets(1),
      m_address(address),
      m_nPort(port),
      m_nBoundPort(0),
      m_nAccepted(0),
      m_nLimit(kConnectionLimit),
      m_endNotice(m_poller),
      m_bAcceptPaused(false),
      m_nRetryAcceptAt(0),
      m_nHeldAtPause(0),
      m_bRoomAskedForHandles(false),
      m_bOutOfHandlesLogged(false) {
    // The root start-up fixed, until another is set.
    m_root.Set(g_szWebRoot);
    for (CHttpThread& worker : m_workers) {
        worker.SetEndNotice(&m_endNotice);
        worker.ServeFrom(&m_root);
        worker.DecideBy(&m_options);
    }
}

CListenThread::~CListenThread() = default;

int CListenThread::GetListenError() const {
    for (const CSocket& listening : m_listenSockets) {
        if (listening.GetListenError() != 0) return listening.GetListenError();
    }
    return 0;
}

int32_t CListenThread::GetHeldCount() const {
    int32_t held = 0;
    for (const CHttpThread& worker : m_workers) held += worker.GetConnectionCount();
    return held;
}

DWORD CListenThread::Run() {
    Log(L"Starting Threads\r\n");
    for (CHttpThread& worker : m_workers) worker.Start();
    switch (SetUpListening()) {
        case SetupResult::kListening:
            break;
        case SetupResult::kFailed:
            ReportOutcome(ListenState::kFailed);
            return 0;
        case SetupResult::kStopped:
            return 1;
    }
    Log(L"Listening...");
    ReportOutcome(ListenState::kListening);
    ServeUntilStopped();
    // Closed here, once the wait on it has returned; the workers keep what they hold.
    CCriticalLock lock(&m_setupLock);
    ForgetListeningSockets();
    for (CSocket& listening : m_listenSockets) listening.Close();
    return 1;
}

CListenThread::SetupResult CListenThread::SetUpListening() {
    CCriticalLock lock(&m_setupLock);
    if (m_hStopEvent.IsSet()) return SetupResult::kStopped;
    CSocket& first = m_listenSockets[0];
    if (!first.Create(AF_INET, SOCK_STREAM, 0)) {
        Log(L"Listen socket Create Failed\r\n");
        return SetupResult::kFailed;
    }
    if (!first.Listen(m_nPort, m_address) || !m_poller.IsValid() || !first.SetNonBlocking() ||
        (m_address.m_kind == CListenAddress::Kind::kLoopback && !ListenOnIPv6Loopback()) ||
        !WatchListeningSockets()) {
        Log(L"Listen Failed\r\n");
        return SetupResult::kFailed;
    }
    // A worker's first receive then finds the request, and a client that connects and sends
    // nothing costs no worker a wake-up until it does.
    for (int index = 0; index < m_nListenSockets; ++index)
        m_listenSockets[index].ReportConnectionsWithData();
    m_nLimit = HostConnectionLimit(kConnectionLimit);
    m_nBoundPort.store(first.GetLocalPort(), std::memory_order_release);
    return SetupResult::kListening;
}

bool CListenThread::ListenOnIPv6Loopback() {
    CSocket& second = m_listenSockets[1];
    // A host without IPv6 refuses the socket or the address; localhost is 127.0.0.1 there.
    if (!second.Create(AF_INET6, SOCK_STREAM, 0)) {
        second.Close();
        return true;
    }
    if (!second.Listen(m_listenSockets[0].GetLocalPort(), CListenAddress::IPv6Loopback())) {
        const int error = second.GetListenError();
        second.Close();
        return IsAddressFamilyMissing(error);
    }
    if (!second.SetNonBlocking()) return false;
    m_nListenSockets = 2;
    return true;
}

void CListenThread::ReportOutcome(ListenState state) {
    for (const CHttpThread& worker : m_workers) {
        while (worker.HasThread() && !worker.HasStarted() && !m_hStopEvent.Wait(1)) {
        }
    }
    if (m_hStopEvent.IsSet()) return;
    if (state == ListenState::kListening) {
        m_status.ReportListening(GetPort());
    } else {
        m_status.ReportFailed(GetListenError());
    }
}

void CListenThread::ServeUntilStopped() {
    CReadySocket ready[4];
    // Clients that connected before the socket was watched are reported by the first wait.
    while (!m_hStopEvent.IsSet()) {
        if (ResumeAcceptingWhenRoom(GetTickCount64Ms())) continue;
        const int count = m_poller.Wait(MsUntilRetry(GetTickCount64Ms()), ready, 4);
        if (count < 0) {
            // A wait that fails must not turn into a spin.
            m_hStopEvent.Wait(kRetryMs);
            continue;
        }
        // The listening sockets are the only ones watched here; while accepting pauses, what
        // they report waits in the backlog.
        const uint64_t now = GetTickCount64Ms();
        for (int index = 0; index < count && !m_bAcceptPaused && !m_hStopEvent.IsSet(); ++index) {
            CSocket& listening = *static_cast<CSocket*>(ready[index].m_pKey);
            AcceptWaitingOn(listening, now, CSocketPoller::kAcceptsPerReport);
        }
    }
}

uint32_t CListenThread::MsUntilRetry(uint64_t now) const {
    if (!m_bAcceptPaused) return kWaitInfinite;
    // Rounded up, so that the wait never ends a moment before the time it is for.
    return m_nRetryAcceptAt > now ? static_cast<uint32_t>(m_nRetryAcceptAt - now + 1) : 0;
}

void CListenThread::AcceptWaiting(uint64_t now) {
    // After a pause either socket may hold clients; asking one that holds none costs a call.
    for (int index = 0; index < m_nListenSockets; ++index) {
        if (!AcceptWaitingOn(m_listenSockets[index], now, INT_MAX)) return;
    }
}

bool CListenThread::AcceptWaitingOn(CSocket& listening, uint64_t now, int most) {
    for (int taken = 0; taken < most; ++taken) {
        // Read once, so that a connection that ends after this moment resumes accepting.
        const int32_t held = GetHeldCount();
        if (held >= m_nLimit) {
            // The room is made by a worker; accepting goes on once a connection has ended
            // (counted from before the asking). When every connection is being answered,
            // the backlog holds the next clients.
            PauseAccepting(now + kRetryMs, held);
            AskToMakeRoom(now);
            return false;
        }
        if (!m_pSpare) m_pSpare.reset(new CConnection);
        switch (m_pSpare->AcceptFrom(listening)) {
            case AcceptResult::kAccepted:
                m_bRoomAskedForHandles = false;
                m_bOutOfHandlesLogged = false;
                m_nAccepted.fetch_add(1, std::memory_order_release);
                m_pSpare->Begin(now);
                Place(std::move(m_pSpare), now);
                break;
            case AcceptResult::kNothingYet:
                return true;
            case AcceptResult::kOutOfHandles:
                // An idle connection gives its socket to a new client once; beyond that the
                // handles are taken elsewhere, and accepting waits.
                PauseAccepting(now + kOutOfHandlesRetryMs, held);
                if (!m_bRoomAskedForHandles && AskToMakeRoom(now)) {
                    m_bRoomAskedForHandles = true;
                } else if (!m_bOutOfHandlesLogged) {
                    Log(L"Out of sockets: new connections wait until one ends\r\n");
                    m_bOutOfHandlesLogged = true;
                }
                return false;
            case AcceptResult::kFailed:
                PauseAccepting(now + kRetryMs, held);
                return false;
        }
    }
    return true;
}

bool CListenThread::AskToMakeRoom(uint64_t now) {
    // Keep-alive connections are closed first; a new one only once its first request is overdue.
    const uint64_t dueBy = now + kHeadDeadlineMs - kOverdueFirstRequestMs;
    for (bool bKeepAlive : {true, false}) {
        int oldest = -1;
        uint64_t oldestDeadline = CWaitingConnections::kNoDeadline;
        for (int index = 0; index < kWorkerCount; ++index) {
            const uint64_t deadline = m_workers[index].GetIdleCloseDeadline(bKeepAlive);
            if (deadline < oldestDeadline) {
                oldest = index;
                oldestDeadline = deadline;
            }
        }
        if (oldest >= 0 && (bKeepAlive || oldestDeadline <= dueBy)) {
            m_workers[oldest].AskToMakeRoom(dueBy);
            return true;
        }
    }
    return false;
}

void CListenThread::Place(std::unique_ptr<CConnection> pConnection, uint64_t now) {
    CWorkerLoad loads[kWorkerCount];
    for (int index = 0; index < kWorkerCount; ++index) loads[index] = m_workers[index].GetLoad(now);
    const int chosen = ChooseWorker(loads, kWorkerCount, CSocketPoller::kConnectionsPerWakeUp);
    if (chosen >= 0 && m_workers[chosen].Place(pConnection)) return;
    // No worker could ever serve it: the client sees its connection end.
}

bool CListenThread::WatchListeningSockets() {
    for (int index = 0; index < m_nListenSockets; ++index) {
        CSocket& listening = m_listenSockets[index];
        if (!m_poller.WatchListening(listening.GetHandle(), &listening)) return false;
    }
    return true;
}

void CListenThread::ForgetListeningSockets() {
    for (int index = 0; index < m_nListenSockets; ++index) {
        m_poller.Forget(m_listenSockets[index].GetHandle());
    }
}

void CListenThread::PauseAccepting(uint64_t retryAt, int32_t held) {
    // Where readiness is reported while it lasts, a socket left watched would end every wait.
    ForgetListeningSockets();
    m_bAcceptPaused = true;
    m_nRetryAcceptAt = retryAt;
    m_endNotice.Want(true);
    m_nHeldAtPause = held;
}

bool CListenThread::ResumeAcceptingWhenRoom(uint64_t now) {
    if (!m_bAcceptPaused) return false;
    if (GetHeldCount() >= m_nHeldAtPause && now < m_nRetryAcceptAt) return false;
    m_bAcceptPaused = false;
    m_endNotice.Want(false);
    WatchListeningSockets();
    // Clients that came meanwhile wait in the backlog; a report of them may have come and
    // gone while paused, so they are taken now.
    AcceptWaiting(now);
    return true;
}

void CListenThread::Stop() {
    // The listener closes its listening socket itself, on its own thread, once its wait has
    // returned: no socket is closed under a wait.
    RequestStop();
    m_poller.Wake();
    StopThread();
    {
        // A listener that never got to listen leaves its socket to be closed here.
        CCriticalLock lock(&m_setupLock);
        for (CSocket& listening : m_listenSockets) listening.Close();
    }
    // No connection is placed any more. All workers wind down at the same time, within
    // their grace.
    for (CHttpThread& worker : m_workers) worker.AskToStop();
    for (CHttpThread& worker : m_workers) worker.Shutdown();
}
