// A worker: serves connections while they have work, and hands a connection that would
// make it wait back to the listener when another connection needs a worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "foundation/event.h"
#include "foundation/socket.h"
#include "foundation/thread.h"
#include "server/connection.h"

class CHttpThread;

// The listener's side of the hand-over, as the workers see it.
class CConnectionPool {
public:
    virtual ~CConnectionPool() = default;
    // Whether a connection that can go on waits for a worker; cheap enough for every step.
    virtual bool IsWorkWaiting() const = 0;
    // Gives pConnection, which waits for what its GetWait says, to the listener (or, when it
    // can go on at once, to the back of the queue) and returns the connection that has
    // waited longest for a worker instead; returns pConnection itself when none waits any
    // more, or the listener takes no more connections.
    virtual std::unique_ptr<CConnection> Exchange(std::unique_ptr<CConnection> pConnection) = 0;
    // Called by a worker whose connection has ended: the connection that has waited longest
    // for a worker, or null once the worker has been marked idle.
    virtual std::unique_ptr<CConnection> TakeNextOrRest(CHttpThread& worker) = 0;
    // A connection has ended and its socket is closed.
    virtual void NoteConnectionEnded() = 0;
};

class CHttpThread : public CThread {
public:
    CHttpThread();
    ~CHttpThread() override;

    // Offers an accepted socket: true when this worker was idle and has taken it. For a
    // worker that has no pool.
    bool Assign(SOCKET s);
    // Offers a connection: true when this worker was idle and has taken it (pConnection is
    // then empty). For a worker that has no pool.
    bool Assign(std::unique_ptr<CConnection>& pConnection);
    // The pool's offer: true when this worker was idle and has taken the connection, which
    // the worker sees once Wake is called. Called under the lock that also covers Rest,
    // and Wake after it, so that no system call is made under the lock.
    bool TakeOver(std::unique_ptr<CConnection>& pConnection);
    void Wake() { m_hWorkEvent.Set(); }
    // Marks the worker idle; called by the pool in TakeNextOrRest.
    void Rest() { m_bIdle = true; }
    // Wakes the worker if it waits on its own connection (and then only once): true when it
    // did. Called by the pool when a connection has come to need a worker.
    bool WakeIfWaitingOnOwn();
    // Wakes the worker from a wait on its own connection, whatever it is; for the stop.
    void Want() { m_hWantedEvent.Set(); }
    // Stops the thread (a connection in progress first ends) and closes a connection still held.
    void Shutdown();
    // Makes a stopped worker keep taking connections until pEvent is set: a listener that
    // still holds connections when the stop comes hands them over and has them served.
    // Called before Start.
    void SetHandOffsEndedEvent(const CEvent* pEvent) { m_pHandOffsEnded = pEvent; }
    // The pool that gives this worker its connections and takes them back. Called before Start.
    void SetPool(CConnectionPool* pPool) { m_pPool = pPool; }

    DWORD Run() override;

    // Serves the connection it was given, and the pool's next ones, until none is left or
    // the last one went back to the pool. Returns 1.
    int ServeConnection();

    bool IsBusy() const { return m_hWorkEvent.IsSet(); }
    // Whether the thread has written its start message.
    bool HasStarted() const { return m_bStarted.load(std::memory_order_acquire); }
    // Connections this worker has ended.
    int32_t GetServedCount() const { return m_nServed.load(std::memory_order_acquire); }

private:
    enum class Outcome { kEnded, kHandBack };
    // Serves one connection until it ends, or until it would wait while another connection
    // needs this worker.
    Outcome Serve(CConnection& connection);
    // The time, and whether the stop has been seen (its grace starts when it first is).
    CServeTime Now();
    // Notes that the worker is about to wait on its own connection: false (and nothing
    // noted) when a connection already waits for a worker.
    bool BeginOwnWait();
    void EndOwnWait();

    enum { kNotWaiting, kWaitingOnOwn, kWoken };

    std::unique_ptr<CConnection> m_pConnection;
    CEvent m_hWorkEvent;
    bool m_bIdle;           // under the pool's lock: the worker may take a connection
    CEvent m_hWantedEvent;  // set by the pool: another connection needs this worker
    // kWaitingOnOwn from BeginOwnWait to EndOwnWait; the pool turns it to kWoken before it
    // sets m_hWantedEvent, so that one queued connection wakes one worker.
    std::atomic<int> m_nOwnWait;
    std::atomic<int32_t> m_nServed;
    std::atomic<bool> m_bStarted;
    const CEvent* m_pHandOffsEnded;
    CConnectionPool* m_pPool;
    bool m_bStopping;
    uint64_t m_nGraceEnd;
};
