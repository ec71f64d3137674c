// A worker: owns the connections placed on it while they live, waits on all of them in its
// own readiness wait with their deadlines, and steps every ready one before it sleeps again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/critical_section.h"
#include "foundation/socket_poller.h"
#include "foundation/thread.h"
#include "server/connection.h"
#include "server/file_cache.h"
#include "server/handler.h"
#include "server/request_log.h"
#include "server/waiting_connections.h"

// How busy a worker is, as the listener sees it when it places a new connection.
struct CWorkerLoad {
    bool m_bCanTake;  // it can serve connections (it has its thread and its readiness wait)
    bool m_bKeepsUp;  // asleep now, or busy only a moment since it last slept
    int32_t m_nConnections;
};

// The worker a new connection goes to, as an index into pLoads: the first that keeps up and
// holds fewer than packed connections, so that a few clients share one awake worker instead
// of waking one each; else the one with the fewest connections. -1 when none can take one.
int ChooseWorker(const CWorkerLoad* pLoads, int count, int32_t packed);

// Tells the listener that a connection has ended, while it waits for room to accept.
class CEndNotice {
public:
    explicit CEndNotice(CSocketPoller& listenerWait) : m_wait(listenerWait), m_bWanted(false) {}
    // Whether ends wake the listener from now on.
    void Want(bool bWanted) { m_bWanted.store(bWanted); }
    // Called by a worker that has closed a connection.
    void Note() {
        if (m_bWanted.load()) m_wait.Wake();
    }

private:
    CSocketPoller& m_wait;
    std::atomic<bool> m_bWanted;
};

class CHttpThread : public CThread {
public:
    CHttpThread();
    ~CHttpThread() override;  // closes the connections it still holds

    // Gives a new connection (begun, non-blocking) to this worker, which watches it from its
    // next round on and wakes for it if it sleeps. False, and the connection stays the
    // caller's, when the worker has no readiness wait. Called by one thread, the listener's.
    bool Place(std::unique_ptr<CConnection>& pConnection);
    // Asks the worker to close, at its next round, the connection that has waited longest for
    // its client: a kept-alive one first, a new one only if its deadline is at dueBy or sooner.
    void AskToMakeRoom(uint64_t dueBy);
    // How busy it is at now, for placing; called on the thread that started the worker.
    CWorkerLoad GetLoad(uint64_t now) const;
    // The deadline of the connection that AskToMakeRoom would close, among the kept-alive
    // ones or among all, as of the worker's last round; CWaitingConnections::kNoDeadline
    // when there is none.
    uint64_t GetIdleCloseDeadline(bool bKeepAlive) const;
    // Serves the files below pRoot (which outlives the worker); called before Start.
    void ServeFrom(const CDocumentRoot* pRoot) { m_files.ServeFrom(pRoot); }
    // Decides its answers by options (which outlive the worker); called before Start.
    void DecideBy(const CServerOptions* pOptions) { m_handler.DecideBy(pOptions); }
    // Where ends of connections are told; called before Start.
    void SetEndNotice(CEndNotice* pNotice) { m_pEndNotice = pNotice; }
    // The ring its connections add their answered requests to (null: none are logged);
    // called before Start.
    void SetRequestLog(CRequestLogRing* pRing) { m_pRequestLog = pRing; }
    CRequestLogRing* GetRequestLog() const { return m_pRequestLog; }

    // Sets the stop and wakes the worker, without waiting: it then answers what has arrived
    // within the grace, ends the rest, and returns once it holds nothing.
    void AskToStop();
    // AskToStop, waits for the thread, and closes connections a thread that never ran holds.
    void Shutdown();

    DWORD Run() override;
    // One round on the calling thread: takes the connections placed, steps those that can go
    // on and those whose deadline has passed, waits at most maxWaitMs for readiness (not at
    // all while one can go on or another was placed), then steps every ready connection.
    // Run's body; tests call it on a worker whose thread is not started.
    void ServeRound(uint32_t maxWaitMs);

    // Whether the thread has written its start message.
    bool HasStarted() const { return m_bStarted.load(std::memory_order_acquire); }
    // Connections placed here that have not ended.
    int32_t GetConnectionCount() const { return m_nConnections.load(std::memory_order_acquire); }
    // Connections this worker has ended.
    int32_t GetServedCount() const { return m_nServed.load(std::memory_order_acquire); }

private:
    // The time, and whether the stop has been seen (its grace starts when it first is).
    CServeTime Now();
    void TakePlaced();
    void MakeRoomIfAsked();
    // Steps p (when still held), p's socket having been reported readable when bReadable by
    // the wait with the file cache's mark, with the peer's end among what arrived when bEnded.
    void Step(CConnection* p, bool bReadable, bool bEnded, uint64_t mark);
    void StepAll(const std::vector<CConnection*>& list);
    void StepDue();
    void End(CConnection* p);
    // Closes a connection taken out of m_connections, and counts and tells its end.
    void Close(std::unique_ptr<CConnection> pConnection);
    void PublishIdleCloseDeadlines();
    uint32_t MsUntilNextDeadline(uint32_t maxWaitMs) const;
    // Waits in the readiness wait, marked asleep so that a placement wakes it; the count of
    // ready sockets stored in m_ready.
    int Sleep(uint32_t ms);
    // Looks for ready sockets without sleeping, for at most the poller's look time, when the
    // last wait found some, the last sleep was short, the worker holds connections and no
    // other worker is looking; the count stored in m_ready.
    int LookBeforeSleeping();
    // The wait of Sleep, for ms at most, noting whether it was short when it could block; the
    // count stored in m_ready.
    int SleepInWait(uint32_t ms);
    // Whether a connection was placed, room asked for or the stop asked since the last round.
    bool HasCallsWaiting() const;

    static constexpr int kReadyBatch = 64;
    // A file's pieces go out through this much of the worker's buffer where the host cannot
    // send them from the file itself; larger pieces cost more reading where a socket has
    // little room.
    static constexpr size_t kBufferSize = 256 * 1024;

    CSocketPoller m_poller;
    // What it knows of the files its connections serve, watched in the same wait as their
    // sockets.
    CFileCache m_files;
    uint64_t m_nFilesDue;  // when the file cache next lets idle files go
    CHandler m_handler;
    std::vector<char> m_buffer;  // CServeTime::m_pBuffer
    CWaitingConnections m_connections;
    CReadySocket m_ready[kReadyBatch];
    bool m_bLastWaitFoundReady;
    bool m_bLastSleepShort;  // the last wait that blocked ended within kShortSleepMicros
    // What TakePlaced took from m_placed; kept, like m_placed, with its room between rounds,
    // so that placing a connection allocates nothing.
    std::vector<std::unique_ptr<CConnection>> m_taken;
    bool m_bStopping;
    bool m_bSteppedAllForStop;
    uint64_t m_nGraceEnd;
    CEndNotice* m_pEndNotice;
    CRequestLogRing* m_pRequestLog;

    // Shared with the listener.
    CCriticalSection m_placedLock;
    std::vector<std::unique_ptr<CConnection>> m_placed;  // under m_placedLock
    std::atomic<int32_t> m_nPlaced;
    std::atomic<uint64_t> m_nMakeRoomDueBy;  // 0: not asked
    // 0 while asleep; otherwise since when it has been busy. A placement that finds it 0
    // sets it, and only that one wakes the worker.
    std::atomic<uint64_t> m_nBusySince;
    std::atomic<int32_t> m_nConnections;
    std::atomic<int32_t> m_nServed;
    std::atomic<bool> m_bStarted;
    std::atomic<uint64_t> m_nKeepAliveIdleClose;
    std::atomic<uint64_t> m_nAnyIdleClose;
};
