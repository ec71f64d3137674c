// The listener thread: accepts connections, hands those that can go on to the workers, and
// holds those that wait for their client in one readiness wait.
#include "server/listen_thread.h"

#include <algorithm>

#include "foundation/clock.h"
#include "foundation/log.h"

namespace {

constexpr uint32_t kRetryMs = 100;
// How soon accepting is tried again after the system had no socket left.
constexpr uint32_t kOutOfHandlesRetryMs = 1000;
constexpr int kReadyBatch = 64;
// A new connection that has sent no request for this long may give its place to another.
constexpr uint32_t kOverdueFirstRequestMs = 1000;

}  // namespace

CListenThread::CListenThread(unsigned short port)
    : CThread(false),
      m_nPort(port),
      m_nBoundPort(0),
      m_nAccepted(0),
      m_nHeld(0),
      m_nLimit(kConnectionLimit),
      m_bAcceptPaused(false),
      m_nRetryAcceptAt(0),
      m_nHeldAtPause(0),
      m_bOutOfHandlesLogged(false),
      m_bHandBacksClosed(false),
      m_nReady(0),
      m_nHandedBack(0),
      m_bListenerAsleep(false),
      m_nWaitUntil(0),
      m_bWakeOnEnd(false),
      m_nIdleWorkers(kWorkerCount) {
    for (CHttpThread& worker : m_workers) {
        worker.SetHandOffsEndedEvent(&m_hHandOffsEnded);
        worker.SetPool(this);
    }
}

CListenThread::~CListenThread() = default;

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
    HandOverAllForStop();
    return 1;
}

CListenThread::SetupResult CListenThread::SetUpListening() {
    CCriticalLock lock(&m_setupLock);
    if (m_hStopEvent.IsSet()) return SetupResult::kStopped;
    if (!m_listenSocket.Create(AF_INET, SOCK_STREAM, 0)) {
        Log(L"Listen socket Create Failed\r\n");
        return SetupResult::kFailed;
    }
    if (!m_listenSocket.Listen(m_nPort) || !m_poller.IsValid() ||
        !m_listenSocket.SetNonBlocking() || !WatchListeningSocket()) {
        Log(L"Listen Failed\r\n");
        return SetupResult::kFailed;
    }
    m_nLimit = HostConnectionLimit(kConnectionLimit);
    m_nBoundPort.store(m_listenSocket.GetLocalPort(), std::memory_order_release);
    return SetupResult::kListening;
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
    void* keys[kReadyBatch];
    while (!m_hStopEvent.IsSet()) {
        uint64_t now = GetTickCount64Ms();
        TakeHandedBack();
        ResumeAcceptingWhenRoom(now);
        // Workers wake the listener only while it waits, and for a hand-back only when its
        // deadline comes before the wait's end; what they did just before it began to is
        // seen here.
        const uint32_t ms = MsUntilNextEvent(now);
        m_nWaitUntil.store(ms == kWaitInfinite ? CWaitingConnections::kNoDeadline : now + ms);
        m_bListenerAsleep.store(true);
        if (m_nHandedBack.load() > 0 || (m_bAcceptPaused && m_nHeld.load() < m_nHeldAtPause)) {
            m_bListenerAsleep.store(false);
            continue;
        }
        const int count = m_poller.Wait(ms, keys, kReadyBatch);
        m_bListenerAsleep.store(false);
        if (count < 0) {
            // A wait that fails must not turn into a spin.
            m_hStopEvent.Wait(kRetryMs);
            continue;
        }
        // A worker watches a connection it hands back before it files it here, under the
        // lock that this takes: every ready key is a connection filed by now.
        TakeHandedBack();
        bool bListenReady = false;
        for (int index = 0; index < count; ++index) {
            if (keys[index] == &m_listenSocket) {
                bListenReady = true;
                continue;
            }
            std::unique_ptr<CConnection> pConnection =
                m_waiting.Take(static_cast<CConnection*>(keys[index]));
            if (!pConnection) continue;
            pConnection->NoteReady();
            Dispatch(std::move(pConnection));
        }
        // Accepting may close waiting connections to make room, so it comes after every
        // ready key of this wait has been looked up.
        now = GetTickCount64Ms();
        if (bListenReady) AcceptWaiting(now);
        while (std::unique_ptr<CConnection> pExpired = m_waiting.TakeExpired(now)) {
            CloseHeld(std::move(pExpired));
        }
    }
}

uint32_t CListenThread::MsUntilNextEvent(uint64_t now) const {
    uint64_t next = m_waiting.NextDeadline();
    if (m_bAcceptPaused) next = std::min(next, m_nRetryAcceptAt);
    if (next == CWaitingConnections::kNoDeadline) return kWaitInfinite;
    // Rounded up, so that the wait never ends a moment before the deadline it is for.
    return next > now ? static_cast<uint32_t>(std::min<uint64_t>(next - now + 1, 60000)) : 0;
}

void CListenThread::AcceptWaiting(uint64_t now) {
    bool bRoomMade = false;
    for (;;) {
        if (m_nHeld.load() >= m_nLimit && !MakeRoom(now)) {
            // Every connection is being answered or about to be: the backlog holds the next
            // clients until a connection ends or one may give way.
            PauseAccepting(now + kRetryMs);
            return;
        }
        if (!m_pSpare) m_pSpare.reset(new CConnection);
        switch (m_listenSocket.AcceptNoWait(m_pSpare->Socket())) {
            case AcceptResult::kAccepted: {
                m_bOutOfHandlesLogged = false;
                m_nAccepted.fetch_add(1, std::memory_order_release);
                m_nHeld.fetch_add(1);
                std::unique_ptr<CConnection> pConnection = std::move(m_pSpare);
                pConnection->Begin(now);
                PlaceNew(std::move(pConnection));
                // One per wait: the socket stays watched, and a next client makes the next
                // wait return at once, where a further accept would mostly find nobody.
                return;
            }
            case AcceptResult::kNothingYet:
                return;
            case AcceptResult::kOutOfHandles:
                // An idle connection gives its socket to a new client once; beyond that the
                // handles are taken elsewhere, and accepting waits.
                if (!bRoomMade && MakeRoom(now)) {
                    bRoomMade = true;
                    break;
                }
                if (!m_bOutOfHandlesLogged) {
                    Log(L"Out of sockets: new connections wait until one ends\r\n");
                    m_bOutOfHandlesLogged = true;
                }
                PauseAccepting(now + kOutOfHandlesRetryMs);
                return;
            case AcceptResult::kFailed:
                PauseAccepting(now + kRetryMs);
                return;
        }
    }
}

bool CListenThread::MakeRoom(uint64_t now) {
    std::unique_ptr<CConnection> pOldest =
        m_waiting.TakeLongestWaitingReader(now + kHeadDeadlineMs - kOverdueFirstRequestMs);
    if (!pOldest) return false;
    CloseHeld(std::move(pOldest));
    return true;
}

bool CListenThread::WatchListeningSocket() {
    // Watched for good: a socket that stays ready is reported again at the next wait, so
    // accepting needs no call to watch it anew.
    return m_poller.Watch(m_listenSocket.GetHandle(), SocketInterest::kRead, &m_listenSocket, true);
}

void CListenThread::PauseAccepting(uint64_t retryAt) {
    // The listening socket is not watched until accepting resumes.
    m_poller.Forget(m_listenSocket.GetHandle());
    m_bAcceptPaused = true;
    m_nRetryAcceptAt = retryAt;
    m_nHeldAtPause = m_nHeld.load();
    m_bWakeOnEnd.store(true);
}

void CListenThread::ResumeAcceptingWhenRoom(uint64_t now) {
    if (!m_bAcceptPaused) return;
    if (m_nHeld.load() >= m_nHeldAtPause && now < m_nRetryAcceptAt) return;
    m_bAcceptPaused = false;
    m_bWakeOnEnd.store(false);
    m_nRetryAcceptAt = 0;
    // Clients that came meanwhile wait in the backlog and make the socket ready at once.
    WatchListeningSocket();
}

void CListenThread::TakeHandedBack() {
    if (m_nHandedBack.load() == 0) return;
    std::vector<std::pair<std::unique_ptr<CConnection>, bool>> handedBack;
    {
        CCriticalLock lock(&m_poolLock);
        handedBack.swap(m_handedBack);
        m_nHandedBack.store(0);
    }
    for (auto& entry : handedBack) {
        if (entry.second) {
            m_waiting.Add(std::move(entry.first));
        } else {
            Hold(std::move(entry.first));
        }
    }
}

void CListenThread::Hold(std::unique_ptr<CConnection> pConnection) {
    const SocketInterest interest = pConnection->GetWait().m_want == ConnectionWant::kWrite
                                        ? SocketInterest::kWrite
                                        : SocketInterest::kRead;
    if (!m_poller.Watch(pConnection->Socket().GetHandle(), interest, pConnection.get())) {
        CloseHeld(std::move(pConnection));
        return;
    }
    m_waiting.Add(std::move(pConnection));
}

void CListenThread::CloseHeld(std::unique_ptr<CConnection> pConnection) {
    m_poller.Forget(pConnection->Socket().GetHandle());
    pConnection.reset();
    m_nHeld.fetch_sub(1);
}

CHttpThread* CListenThread::TakeOverByIdleWorkerLocked(std::unique_ptr<CConnection>& pConnection) {
    if (m_nIdleWorkers == 0) return nullptr;
    for (CHttpThread& worker : m_workers) {
        if (worker.TakeOver(pConnection)) {
            --m_nIdleWorkers;
            return &worker;
        }
    }
    return nullptr;
}

void CListenThread::PlaceNew(std::unique_ptr<CConnection> pConnection) {
    CHttpThread* pWorker = nullptr;
    {
        CCriticalLock lock(&m_poolLock);
        pWorker = TakeOverByIdleWorkerLocked(pConnection);
    }
    if (pWorker != nullptr) {
        pWorker->Wake();
    } else {
        Hold(std::move(pConnection));
    }
}

void CListenThread::Dispatch(std::unique_ptr<CConnection> pConnection) {
    CHttpThread* pWorker = nullptr;
    {
        CCriticalLock lock(&m_poolLock);
        pWorker = TakeOverByIdleWorkerLocked(pConnection);
        if (pWorker == nullptr) {
            m_ready.push_back(std::move(pConnection));
            m_nReady.fetch_add(1);
        }
    }
    if (pWorker != nullptr) {
        pWorker->Wake();
        return;
    }
    // One worker waiting on its own connection is woken for each connection queued, never
    // all of them at once.
    for (CHttpThread& worker : m_workers) {
        if (worker.WakeIfWaitingOnOwn()) break;
    }
}

void CListenThread::HandOverAllForStop() {
    {
        CCriticalLock lock(&m_setupLock);
        m_poller.Forget(m_listenSocket.GetHandle());
        m_listenSocket.Close();
    }
    std::vector<std::unique_ptr<CConnection>> all = m_waiting.TakeAll();
    {
        CCriticalLock lock(&m_poolLock);
        m_bHandBacksClosed = true;
        for (auto& entry : m_handedBack) all.push_back(std::move(entry.first));
        m_handedBack.clear();
        m_nHandedBack.store(0);
    }
    // The stopping workers answer what has already arrived and close the rest at once.
    for (std::unique_ptr<CConnection>& pConnection : all) {
        m_poller.Forget(pConnection->Socket().GetHandle());
        pConnection->NoteReady();
        Dispatch(std::move(pConnection));
    }
}

void CListenThread::WakeListener() {
    if (m_bListenerAsleep.exchange(false)) m_poller.Wake();
}

bool CListenThread::IsWorkWaiting() const {
    // Sequentially consistent, as a worker's BeginOwnWait needs it.
    return m_nReady.load() > 0;
}

std::unique_ptr<CConnection> CListenThread::PopReadyLocked() {
    if (m_ready.empty()) return nullptr;
    std::unique_ptr<CConnection> pConnection = std::move(m_ready.front());
    m_ready.pop_front();
    m_nReady.fetch_sub(1);
    return pConnection;
}

std::unique_ptr<CConnection> CListenThread::Exchange(std::unique_ptr<CConnection> pConnection) {
    std::unique_ptr<CConnection> pNext;
    bool bWake = true;
    {
        CCriticalLock lock(&m_poolLock);
        if (m_bHandBacksClosed || m_ready.empty()) return pConnection;
        if (pConnection->GetWait().m_want == ConnectionWant::kGoOn) {
            // It has a head to answer already: it waits for a worker, not for its client.
            m_ready.push_back(std::move(pConnection));
            pNext = std::move(m_ready.front());
            m_ready.pop_front();
            return pNext;
        }
        pNext = PopReadyLocked();
        // Where the host allows, the worker watches the socket itself, so that the listener
        // needs no wake-up for it: its next wait reports the socket when it is ready. Only a
        // deadline earlier than the end of that wait needs the listener at once. Counted
        // before it is watched: a listener that sees the socket ready also sees the count,
        // and takes this lock to file the connection.
        m_nHandedBack.fetch_add(1);
        const CConnectionWait& wait = pConnection->GetWait();
        const bool bWatched =
            CSocketPoller::kWatchFromAnyThread &&
            m_poller.Watch(pConnection->Socket().GetHandle(),
                           wait.m_want == ConnectionWant::kWrite ? SocketInterest::kWrite
                                                                 : SocketInterest::kRead,
                           pConnection.get());
        bWake = !bWatched || wait.m_deadline < m_nWaitUntil.load();
        m_handedBack.emplace_back(std::move(pConnection), bWatched);
    }
    if (bWake) WakeListener();
    return pNext;
}

std::unique_ptr<CConnection> CListenThread::TakeNextOrRest(CHttpThread& worker) {
    CCriticalLock lock(&m_poolLock);
    std::unique_ptr<CConnection> pNext = PopReadyLocked();
    if (!pNext) {
        worker.Rest();
        ++m_nIdleWorkers;
    }
    return pNext;
}

void CListenThread::NoteConnectionEnded() {
    m_nHeld.fetch_sub(1);
    if (m_bWakeOnEnd.load()) WakeListener();
}

void CListenThread::Stop() {
    // The listener closes its listening socket and hands over what it holds itself, on its
    // own thread, once its wait has returned: no socket is closed under a wait.
    RequestStop();
    m_poller.Wake();
    // All workers wind down their connections at the same time, within their grace.
    // Then those that wait on their own connection wake, and see the stop.
    for (CHttpThread& worker : m_workers) worker.RequestStop();
    for (CHttpThread& worker : m_workers) worker.Want();
    StopThread();
    {
        // A listener that never got to listen leaves its socket to be closed here.
        CCriticalLock lock(&m_setupLock);
        m_listenSocket.Close();
    }
    m_hHandOffsEnded.Set();
    for (CHttpThread& worker : m_workers) worker.Shutdown();
    // Connections queued for workers whose threads never ran.
    CCriticalLock lock(&m_poolLock);
    m_nHeld.fetch_sub(static_cast<int32_t>(m_ready.size()));
    m_ready.clear();
}
