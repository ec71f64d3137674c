// CThread, CEvent and the critical section.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "foundation/clock.h"
#include "foundation/critical_section.h"
#include "foundation/event.h"
#include "foundation/thread.h"

namespace {

constexpr uint32_t kBoundMs = 5000;  // no wait in these tests lasts longer

// Waits (bounded) until the thread's exit code is no longer STILL_ACTIVE.
bool WaitEnded(const CThread& thread, DWORD& code) {
    const uint64_t deadline = GetTickCount64Ms() + kBoundMs;
    while (GetTickCount64Ms() < deadline) {
        if (!thread.QueryExitCode(code)) return false;
        if (code != STILL_ACTIVE) return true;
        SleepMs(5);
    }
    return false;
}

// Runs until its stop event is set, lingers a little, and returns a chosen code.
class CStoppableThread : public CThread {
public:
    explicit CStoppableThread(DWORD code, uint32_t lingerMs = 0)
        : CThread(false), m_nCode(code), m_nLingerMs(lingerMs), m_bReturned(false) {}

    DWORD Run() override {
        m_started.Set();
        m_hStopEvent.Wait(kBoundMs);
        SleepMs(m_nLingerMs);
        m_bReturned = true;
        return m_nCode;
    }

    bool IsStopRequested() const { return m_hStopEvent.IsSet(); }

    CEvent m_started;
    DWORD m_nCode;
    uint32_t m_nLingerMs;
    std::atomic<bool> m_bReturned;
};

// Returns at once.
class CQuickThread : public CThread {
public:
    CQuickThread() : CThread(false) {}
    DWORD Run() override { return 42; }
};

// Deletes itself after Run and reports its destruction through events that outlive it.
class CSelfDeletingThread : public CThread {
public:
    CSelfDeletingThread(CEvent* pDestroyed, std::thread::id* pDestroyedOn)
        : CThread(true), m_pDestroyed(pDestroyed), m_pDestroyedOn(pDestroyedOn) {}
    ~CSelfDeletingThread() override {
        *m_pDestroyedOn = std::this_thread::get_id();
        m_pDestroyed->Set();
    }
    DWORD Run() override { return 9; }

private:
    CEvent* m_pDestroyed;
    std::thread::id* m_pDestroyedOn;
};

}  // namespace

TEST(Thread, StopThreadWithoutAThreadSignalsAndReturnsAtOnce) {
    CStoppableThread thread(1);
    DWORD code = 123;
    EXPECT_FALSE(thread.HasThread());
    EXPECT_FALSE(thread.QueryExitCode(code));
    const uint64_t start = GetTickCount64Ms();
    for (int i = 0; i < 10; ++i) thread.StopThread();
    // Ten stops that each slept would take a second.
    EXPECT_LT(GetTickCount64Ms() - start, 1000u);
    EXPECT_TRUE(thread.IsStopRequested());
}

TEST(Thread, ExitCodeIsStillActiveWhileRunningThenRunsResult) {
    CStoppableThread thread(7);
    ASSERT_TRUE(thread.Start());
    EXPECT_TRUE(thread.HasThread());
    ASSERT_TRUE(thread.m_started.Wait(kBoundMs));
    DWORD code = 0;
    ASSERT_TRUE(thread.QueryExitCode(code));
    EXPECT_EQ(STILL_ACTIVE, code);
    thread.RequestStop();
    ASSERT_TRUE(WaitEnded(thread, code));
    EXPECT_EQ(7u, code);
    EXPECT_TRUE(thread.m_bReturned);
}

TEST(Thread, StopThreadOnARunningThreadWaitsForRunAndTakesAtLeastOneStep) {
    CStoppableThread thread(1, 30);
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(thread.m_started.Wait(kBoundMs));
    const uint64_t start = GetTickCount64Ms();
    thread.StopThread();
    const uint64_t elapsed = GetTickCount64Ms() - start;
    EXPECT_TRUE(thread.m_bReturned);
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, static_cast<uint64_t>(kBoundMs));
    DWORD code = 0;
    ASSERT_TRUE(thread.QueryExitCode(code));
    EXPECT_EQ(1u, code);
}

TEST(Thread, StopThreadOnAnEndedThreadDoesNotSleep) {
    CQuickThread thread;
    ASSERT_TRUE(thread.Start());
    DWORD code = 0;
    ASSERT_TRUE(WaitEnded(thread, code));
    EXPECT_EQ(42u, code);
    const uint64_t start = GetTickCount64Ms();
    for (int i = 0; i < 10; ++i) thread.StopThread();
    EXPECT_LT(GetTickCount64Ms() - start, 1000u);
}

TEST(Thread, AutoDeletingObjectIsDestroyedByItsOwnThread) {
    CEvent destroyed;
    std::thread::id destroyedOn;
    CSelfDeletingThread* pThread = new CSelfDeletingThread(&destroyed, &destroyedOn);
    ASSERT_TRUE(pThread->Start());
    ASSERT_TRUE(destroyed.Wait(kBoundMs));
    EXPECT_NE(std::this_thread::get_id(), destroyedOn);
}

TEST(Thread, DestroyingTheObjectOfARunningThreadNeitherWaitsNorBreaksIt) {
    // The body uses nothing of its object once it has started.
    class CDetachedBody : public CThread {
    public:
        CDetachedBody(CEvent* pStarted, CEvent* pGo, CEvent* pDone)
            : CThread(false), m_pStarted(pStarted), m_pGo(pGo), m_pDone(pDone) {}
        DWORD Run() override {
            CEvent* pGo = m_pGo;
            CEvent* pDone = m_pDone;
            m_pStarted->Set();
            pGo->Wait(kBoundMs);
            pDone->Set();
            return 0;
        }

    private:
        CEvent* m_pStarted;
        CEvent* m_pGo;
        CEvent* m_pDone;
    };
    CEvent started, go, done;
    {
        CDetachedBody body(&started, &go, &done);
        ASSERT_TRUE(body.Start());
        ASSERT_TRUE(started.Wait(kBoundMs));
    }
    go.Set();
    EXPECT_TRUE(done.Wait(kBoundMs));
}

TEST(Event, IsManualResetAndStaysSetForEveryWaiter) {
    CEvent event;
    ASSERT_TRUE(event.IsValid());
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(kWaitInfinite));
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    const uint64_t start = GetTickCount64Ms();
    EXPECT_FALSE(event.Wait(50));
    EXPECT_GE(GetTickCount64Ms() - start, 45u);
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(Event, WaitReturnsWhenAnotherThreadSets) {
    CEvent event;
    std::thread setter([&event] {
        SleepMs(30);
        event.Set();
    });
    EXPECT_TRUE(event.Wait(kBoundMs));
    setter.join();
}

TEST(Event, WritesBeforeSetAreVisibleToTheThreadThatSeesIt) {
    // What a stopping thread reads after the stop travels like this value.
    CEvent work;
    int handed = 0;
    std::thread worker([&] {
        if (work.Wait(kBoundMs)) {
            EXPECT_EQ(1234, handed);
        }
    });
    handed = 1234;
    work.Set();
    worker.join();
    EXPECT_TRUE(work.IsSet());
}

TEST(Event, TheThreadThatSeesItSetMayDestroyItAtOnce) {
    // Whatever the setter still did to the object once it was seen set would land in the
    // bytes laid over it.
    alignas(CEvent) unsigned char storage[sizeof(CEvent)];
    for (int round = 0; round < 200; ++round) {
        CEvent* pEvent = new (storage) CEvent;
        std::thread setter([pEvent] { pEvent->Set(); });
        const uint64_t deadline = GetTickCount64Ms() + kBoundMs;
        while (!pEvent->IsSet() && GetTickCount64Ms() < deadline) {
        }
        const bool bSeen = pEvent->IsSet();
        pEvent->~CEvent();
        std::memset(storage, 0xA5, sizeof storage);
        setter.join();
        ASSERT_TRUE(bSeen) << "round " << round;
        for (const unsigned char byte : storage) ASSERT_EQ(0xA5, byte) << "round " << round;
    }
}

TEST(CriticalSection, LockExcludesOtherThreads) {
    CCriticalSection section;
    long counter = 0;  // deliberately not atomic: the lock alone protects it
    auto add = [&] {
        for (int i = 0; i < 20000; ++i) {
            CCriticalLock lock(&section);
            ++counter;
        }
    };
    std::thread a(add), b(add);
    a.join();
    b.join();
    EXPECT_EQ(40000, counter);
}
