// A worker thread: runs connections' steps, waits on its connection while nobody else needs
// a worker, and passes it back to the listener when somebody does.
#include "server/http_thread.h"

#include "foundation/clock.h"
#include "foundation/log.h"

namespace {

constexpr uint32_t kWaitRetryMs = 100;

}  // namespace

CHttpThread::CHttpThread()
    : CThread(false),
      m_bIdle(true),
      m_nOwnWait(kNotWaiting),
      m_nServed(0),
      m_bStarted(false),
      m_pHandOffsEnded(nullptr),
      m_pPool(nullptr),
      m_bStopping(false),
      m_nGraceEnd(0) {}

CHttpThread::~CHttpThread() = default;

bool CHttpThread::Assign(SOCKET s) {
    std::unique_ptr<CConnection> pConnection(new CConnection);
    if (!pConnection->Socket().Attach(s)) return false;
    pConnection->Begin(GetTickCount64Ms());
    if (!pConnection->Socket().SetNonBlocking() || !Assign(pConnection)) {
        pConnection->Socket().Detach();  // s stays the caller's
        return false;
    }
    return true;
}

bool CHttpThread::Assign(std::unique_ptr<CConnection>& pConnection) {
    // A worker without its events (the system had none left) could never be told of it.
    if (!m_hWorkEvent.IsValid() || !m_hStopEvent.IsValid()) return false;
    if (m_hWorkEvent.IsSet()) return false;
    m_pConnection = std::move(pConnection);
    // Setting the event publishes the connection to the worker.
    m_hWorkEvent.Set();
    return true;
}

bool CHttpThread::TakeOver(std::unique_ptr<CConnection>& pConnection) {
    if (!m_bIdle || !m_hWorkEvent.IsValid() || !m_hStopEvent.IsValid()) return false;
    m_bIdle = false;
    m_pConnection = std::move(pConnection);
    return true;
}

void CHttpThread::Shutdown() {
    StopThread();
    // A connection handed to a worker whose thread never ran is still held here.
    m_pConnection.reset();
}

DWORD CHttpThread::Run() {
    Log(L".");
    m_bStarted.store(true, std::memory_order_release);
    // Without its events the worker could neither be given work nor be stopped.
    if (!m_hWorkEvent.IsValid() || !m_hStopEvent.IsValid()) return 0;
    const CEvent* pEnd = &m_hStopEvent;
    for (;;) {
        int which = WaitForEither(m_hWorkEvent, *pEnd, kWaitInfinite);
        if (which == 0) {
            ServeConnection();
            // A pool marks its worker idle itself, under its lock.
            if (m_pPool == nullptr) m_hWorkEvent.Reset();
        } else if (which == 1) {
            if (m_pHandOffsEnded == nullptr || pEnd == m_pHandOffsEnded) return 1;
            // Stopped, but the listener may still hold connections for us: keep taking
            // work until it can hand over no more.
            pEnd = m_pHandOffsEnded;
        } else {
            SleepMs(kWaitRetryMs);
        }
    }
}

int CHttpThread::ServeConnection() {
    std::unique_ptr<CConnection> pConnection = std::move(m_pConnection);
    while (pConnection) {
        if (Serve(*pConnection) == Outcome::kHandBack) {
            pConnection->LetGoOfFileForLongWait();
            pConnection = m_pPool->Exchange(std::move(pConnection));
            continue;
        }
        pConnection.reset();
        m_nServed.fetch_add(1, std::memory_order_release);
        if (m_pPool == nullptr) break;
        m_pPool->NoteConnectionEnded();
        // Reset before the worker can be marked idle, so that the pool's next Wake stays set.
        m_hWorkEvent.Reset();
        pConnection = m_pPool->TakeNextOrRest(*this);
    }
    return 1;
}

bool CHttpThread::BeginOwnWait() {
    // Paired with the pool, which counts a queued connection before it looks for a worker
    // waiting on its own: one of the two sees the other.
    m_nOwnWait.store(kWaitingOnOwn);
    if (!m_pPool->IsWorkWaiting()) return true;
    EndOwnWait();
    return false;
}

void CHttpThread::EndOwnWait() {
    m_nOwnWait.store(kNotWaiting);
}

bool CHttpThread::WakeIfWaitingOnOwn() {
    int expected = kWaitingOnOwn;
    if (!m_nOwnWait.compare_exchange_strong(expected, kWoken)) return false;
    m_hWantedEvent.Set();
    return true;
}

CServeTime CHttpThread::Now() {
    const uint64_t now = GetTickCount64Ms();
    if (!m_bStopping && m_hStopEvent.IsSet()) {
        m_bStopping = true;
        m_nGraceEnd = now + kStopGraceMs;
    }
    return CServeTime{now, m_bStopping, m_nGraceEnd};
}

CHttpThread::Outcome CHttpThread::Serve(CConnection& connection) {
    for (;;) {
        const CServeTime time = Now();
        const CConnectionWait wait = connection.Advance(time);
        if (wait.m_want == ConnectionWant::kEnd) return Outcome::kEnded;
        // Between two answers, and before any wait, a connection that needs a worker gets
        // this one; a connection that can go on at once then waits its turn in the queue.
        if (m_pPool != nullptr && !time.m_bStopping && m_pPool->IsWorkWaiting())
            return Outcome::kHandBack;
        if (wait.m_want == ConnectionWant::kGoOn) continue;
        // Nobody else needs this worker: it waits on the connection itself, which costs no
        // hand-over. What wakes it is a connection that needs a worker, or the stop.
        const CEvent* pWake = nullptr;
        const bool bNoted = m_pPool != nullptr && !time.m_bStopping;
        if (bNoted) {
            if (!BeginOwnWait()) return Outcome::kHandBack;
            pWake = &m_hWantedEvent;
        } else if (!time.m_bStopping) {
            pWake = &m_hStopEvent;
        }
        const uint64_t now = GetTickCount64Ms();
        const uint32_t ms =
            wait.m_deadline > now ? static_cast<uint32_t>(wait.m_deadline - now) : 0;
        const CSocket& socket = connection.Socket();
        const WaitResult result = wait.m_want == ConnectionWant::kRead
                                      ? socket.WaitReadable(ms, pWake)
                                      : socket.WaitWritable(ms, pWake);
        if (bNoted) EndOwnWait();
        // A wake may have come late, for a wait already over: the next wait must not end on
        // it. A stop is seen by the next step in any case.
        if (result == WaitResult::kWoken && bNoted) m_hWantedEvent.Reset();
        if (result == WaitResult::kReady) connection.NoteReady();
        if (result == WaitResult::kFailed) return Outcome::kEnded;
        // A time-out is seen by the next step as its deadline passing.
    }
}
