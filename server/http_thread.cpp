// A worker thread: owns its connections, waits on all of them at once, and steps each that
// is ready, can go on or is due, one answer at a time.
#include "server/http_thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "foundation/clock.h"
#include "foundation/log.h"

namespace {

// A worker busy for longer than this without sleeping no longer counts as keeping up.
constexpr uint64_t kKeepUpMs = 10;
// A client that took longer than this to send its next request while its worker slept is
// not one that a look of the poller's look time finds in time: its worker's looks would be
// spent for nothing at every request.
constexpr int64_t kShortSleepMicros = 240;

// What a connection that waits for want is watched for.
SocketInterest InterestFor(ConnectionWant want) {
    return want == ConnectionWant::kWrite ? SocketInterest::kWrite : SocketInterest::kRead;
}

}  // namespace

int ChooseWorker(const CWorkerLoad* pLoads, int count, int32_t packed) {
    for (int index = 0; index < count; ++index) {
        const CWorkerLoad& load = pLoads[index];
        if (load.m_bCanTake && load.m_bKeepsUp && load.m_nConnections < packed) return index;
    }
    int best = -1;
    for (int index = 0; index < count; ++index) {
        if (!pLoads[index].m_bCanTake) continue;
        if (best < 0 || pLoads[index].m_nConnections < pLoads[best].m_nConnections) best = index;
    }
    return best;
}

CHttpThread::CHttpThread()
    : CThread(false),
      m_nFilesDue(CFileCache::kNoDeadline),
      m_buffer(kBufferSize),
      m_bLastWaitFoundReady(false),
      m_bLastSleepShort(true),
      m_bStopping(false),
      m_bSteppedAllForStop(false),
      m_nGraceEnd(0),
      m_pEndNotice(nullptr),
      m_pRequestLog(nullptr),
      m_nPlaced(0),
      m_nMakeRoomDueBy(0),
      m_nBusySince(0),
      m_nConnections(0),
      m_nServed(0),
      m_bStarted(false),
      m_nKeepAliveIdleClose(CWaitingConnections::kNoDeadline),
      m_nAnyIdleClose(CWaitingConnections::kNoDeadline) {}

CHttpThread::~CHttpThread() = default;

bool CHttpThread::Place(std::unique_ptr<CConnection>& pConnection) {
    // A worker without its wait (the system had no descriptor left) could never serve it.
    if (!m_poller.IsValid() || !m_hStopEvent.IsValid()) return false;
    {
        CCriticalLock lock(&m_placedLock);
        m_nConnections.fetch_add(1);
        m_placed.push_back(std::move(pConnection));
        m_nPlaced.fetch_add(1);
    }
    // Paired with Sleep, which marks the worker asleep before it looks at m_nPlaced: one of
    // the two sees the other.
    uint64_t asleep = 0;
    if (m_nBusySince.compare_exchange_strong(asleep, std::max<uint64_t>(GetTickCount64Ms(), 1)))
        m_poller.Wake();
    return true;
}

void CHttpThread::AskToMakeRoom(uint64_t dueBy) {
    m_nMakeRoomDueBy.store(std::max<uint64_t>(dueBy, 1));
    uint64_t asleep = 0;
    if (m_nBusySince.compare_exchange_strong(asleep, std::max<uint64_t>(GetTickCount64Ms(), 1)))
        m_poller.Wake();
}

CWorkerLoad CHttpThread::GetLoad(uint64_t now) const {
    const uint64_t busySince = m_nBusySince.load(std::memory_order_relaxed);
    CWorkerLoad load;
    // A worker whose thread could not be made would hold a connection without serving it.
    load.m_bCanTake = m_poller.IsValid() && m_hStopEvent.IsValid() && HasThread();
    load.m_bKeepsUp = busySince == 0 || now < busySince + kKeepUpMs;
    load.m_nConnections = m_nConnections.load(std::memory_order_relaxed);
    return load;
}

uint64_t CHttpThread::GetIdleCloseDeadline(bool bKeepAlive) const {
    return (bKeepAlive ? m_nKeepAliveIdleClose : m_nAnyIdleClose).load(std::memory_order_relaxed);
}

void CHttpThread::AskToStop() {
    RequestStop();
    // Whether asleep or not: a wake that comes early makes the next wait return at once.
    m_poller.Wake();
}

void CHttpThread::Shutdown() {
    AskToStop();
    StopThread();
    // Connections placed on a worker whose thread never ran are still held here.
    CCriticalLock lock(&m_placedLock);
    m_placed.clear();
}

DWORD CHttpThread::Run() {
    Log(L".");
    m_bStarted.store(true, std::memory_order_release);
    // Without its wait and its stop the worker could neither serve nor be stopped.
    if (!m_poller.IsValid() || !m_hStopEvent.IsValid()) return 0;
    // The options are fixed once the worker runs.
    m_files.OfferUploadForm(m_handler.GetOptions().m_bUpload);
    for (;;) {
        ServeRound(kWaitInfinite);
        if (m_bStopping && m_connections.Count() == 0 && m_nPlaced.load() == 0) return 1;
    }
}

void CHttpThread::ServeRound(uint32_t maxWaitMs) {
    m_files.WatchIn(m_poller);
    Now();
    MakeRoomIfAsked();
    if (m_bStopping && !m_bSteppedAllForStop) {
        // Once: what has arrived is answered, and what only waits ends now.
        m_bSteppedAllForStop = true;
        StepAll(m_connections.All());
    } else if (m_connections.HasGoingOn()) {
        StepAll(m_connections.GoingOn());
    }
    // After those that go on, so that a pipelining new connection gets no second step before
    // the wait.
    TakePlaced();
    StepDue();
    PublishIdleCloseDeadlines();
    if (m_bStopping && m_connections.Count() == 0 && m_nPlaced.load() == 0) return;
    // After every step of the round, so that the wait ends in time for the files they used.
    m_nFilesDue = m_files.LetIdleFilesGo(GetTickCount64Ms());
    const int count = Sleep(MsUntilNextDeadline(maxWaitMs));
    const uint64_t mark = m_files.TakeInChanges(m_ready, count, kReadyBatch);
    for (int index = 0; index < count; ++index) {
        const CReadySocket& ready = m_ready[index];
        if (m_files.IsChangeKey(ready.m_pKey)) continue;
        Step(static_cast<CConnection*>(ready.m_pKey), ready.m_bReadable, ready.m_bEnded, mark);
    }
}

bool CHttpThread::HasCallsWaiting() const {
    return m_nPlaced.load() > 0 || m_nMakeRoomDueBy.load() != 0 ||
           (!m_bStopping && m_hStopEvent.IsSet());
}

int CHttpThread::LookBeforeSleeping() {
    // Looking is for the worker that a busy client keeps busy; workers that looked at once
    // would take the cores their clients need.
    static std::atomic<int> s_nLooking{0};
    if (CSocketPoller::kLookBeforeSleepMicros == 0 || !m_bLastWaitFoundReady || !m_bLastSleepShort)
        return 0;
    // Without a connection there is no client whose next request a look could find; a new
    // connection comes with a wake.
    if (m_connections.Count() == 0) return 0;
    int idle = 0;
    if (!s_nLooking.compare_exchange_strong(idle, 1)) return 0;
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::microseconds(CSocketPoller::kLookBeforeSleepMicros);
    int count = 0;
    do {
        count = m_poller.Wait(0, m_ready, kReadyBatch);
    } while (count == 0 && !HasCallsWaiting() && std::chrono::steady_clock::now() < until);
    s_nLooking.store(0);
    return count;
}

CServeTime CHttpThread::Now() {
    const uint64_t now = GetTickCount64Ms();
    if (!m_bStopping && m_hStopEvent.IsSet()) {
        m_bStopping = true;
        m_nGraceEnd = now + kStopGraceMs;
    }
    CServeTime time{now, m_bStopping, m_nGraceEnd, &m_files, m_pRequestLog};
    time.m_pHandler = &m_handler;
    time.m_pBuffer = m_buffer.data();
    time.m_nBuffer = m_buffer.size();
    return time;
}

void CHttpThread::TakePlaced() {
    if (m_nPlaced.load() == 0) return;
    {
        CCriticalLock lock(&m_placedLock);
        m_taken.swap(m_placed);
        m_nPlaced.store(0);
    }
    for (std::unique_ptr<CConnection>& pConnection : m_taken) {
        CConnection* p = pConnection.get();
        m_connections.Add(std::move(pConnection));
        // Where connections are reported with their request, the first step finds it: a
        // one-shot connection is answered and closed without ever entering the readiness
        // wait. Elsewhere a socket that is readable already is reported by the next wait, so
        // that a client that has not sent yet costs no receive.
        if (CSocket::kReportsConnectionsWithData) {
            Step(p, false, false, 0);
            if (!m_connections.Holds(p)) continue;
        }
        if (!m_poller.Watch(p->Socket().GetHandle(), InterestFor(p->GetWait().m_want), p)) End(p);
    }
    // Each was moved to the connections; what stays is room for the next ones.
    m_taken.clear();
}

void CHttpThread::MakeRoomIfAsked() {
    const uint64_t dueBy = m_nMakeRoomDueBy.exchange(0);
    if (dueBy == 0) return;
    std::unique_ptr<CConnection> pOldest = m_connections.TakeLongestWaitingReader(dueBy);
    if (pOldest) Close(std::move(pOldest));
}

void CHttpThread::Step(CConnection* p, bool bReadable, bool bEnded, uint64_t mark) {
    // A key from this round's wait may name a connection that has ended since.
    if (!m_connections.Holds(p)) return;
    if (bReadable) p->NoteReady(bEnded, mark);
    const CConnectionWait wait = p->Advance(Now());
    if (wait.m_want == ConnectionWant::kEnd) {
        End(p);
        return;
    }
    m_connections.Refile(p);
    m_poller.SetInterest(p->Socket().GetHandle(), InterestFor(wait.m_want));
}

void CHttpThread::StepAll(const std::vector<CConnection*>& list) {
    for (CConnection* p : list) Step(p, false, false, 0);
}

void CHttpThread::StepDue() {
    const uint64_t now = GetTickCount64Ms();
    // A step never leaves a connection due at the same moment, but the count bounds the loop.
    for (size_t left = m_connections.Count(); left > 0; --left) {
        CConnection* p = m_connections.FirstDue(now);
        if (p == nullptr) return;
        // The step sees its deadline passed and ends it, or finds a later one.
        Step(p, false, false, 0);
    }
}

void CHttpThread::End(CConnection* p) {
    Close(m_connections.Take(p));
}

void CHttpThread::Close(std::unique_ptr<CConnection> pConnection) {
    m_poller.Forget(pConnection->Socket().GetHandle());
    pConnection.reset();
    m_nConnections.fetch_sub(1, std::memory_order_release);
    m_nServed.fetch_add(1, std::memory_order_release);
    if (m_pEndNotice != nullptr) m_pEndNotice->Note();
}

void CHttpThread::PublishIdleCloseDeadlines() {
    m_nKeepAliveIdleClose.store(m_connections.LongestWaitingReaderDeadline(true),
                                std::memory_order_relaxed);
    m_nAnyIdleClose.store(m_connections.LongestWaitingReaderDeadline(false),
                          std::memory_order_relaxed);
}

uint32_t CHttpThread::MsUntilNextDeadline(uint32_t maxWaitMs) const {
    if (m_connections.HasGoingOn()) return 0;
    const uint64_t next = std::min(m_connections.NextDeadline(), m_nFilesDue);
    if (next == CWaitingConnections::kNoDeadline) return maxWaitMs;
    const uint64_t now = GetTickCount64Ms();
    // Rounded up, so that the wait never ends a moment before the deadline it is for.
    const uint64_t ms = next > now ? next - now + 1 : 0;
    return static_cast<uint32_t>(std::min<uint64_t>(ms, maxWaitMs));
}

int CHttpThread::SleepInWait(uint32_t ms) {
    // A wait that cannot block is no sleep; where workers never look, the length is not needed.
    if (ms == 0 || CSocketPoller::kLookBeforeSleepMicros == 0)
        return m_poller.Wait(ms, m_ready, kReadyBatch);
    const auto began = std::chrono::steady_clock::now();
    const int count = m_poller.Wait(ms, m_ready, kReadyBatch);
    const auto slept = std::chrono::steady_clock::now() - began;
    m_bLastSleepShort = slept < std::chrono::microseconds(kShortSleepMicros);
    return count;
}

int CHttpThread::Sleep(uint32_t ms) {
    m_nBusySince.store(0);
    int count = ms > 0 && !HasCallsWaiting() ? LookBeforeSleeping() : 0;
    if (count == 0) {
        // Placed, asked for or stopped meanwhile: whoever did so either saw the worker busy and
        // woke nothing, or woke it during the looks, which took that wake.
        if (HasCallsWaiting()) ms = 0;
        count = SleepInWait(ms);
    }
    m_bLastWaitFoundReady = count > 0;
    uint64_t asleep = 0;
    m_nBusySince.compare_exchange_strong(asleep, std::max<uint64_t>(GetTickCount64Ms(), 1));
    if (count < 0) {
        // A wait that fails must not turn into a spin; the stop still ends this one.
        m_hStopEvent.Wait(100);
        return 0;
    }
    return count;
}
