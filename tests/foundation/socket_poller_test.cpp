// CSocketPoller's wake: every Wake ends a wait, however many came before it; and what a
// watched socket is reported for.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/clock.h"
#include "foundation/socket_poller.h"
#include "tests/support/test_client.h"

namespace {

constexpr uint32_t kLongWaitMs = 5000;

TEST(SocketPollerTest, EveryWakeEndsAWait) {
    CSocketPoller poller;
    ASSERT_TRUE(poller.IsValid());
    CReadySocket ready[4];
    // A wake is seen anew each time, without the count behind it ever being read down.
    for (int round = 0; round < 1000; ++round) {
        poller.Wake();
        const uint64_t start = GetTickCount64Ms();
        ASSERT_EQ(0, poller.Wait(kLongWaitMs, ready, 4));
        ASSERT_LT(GetTickCount64Ms() - start, kLongWaitMs / 2) << "round " << round;
    }
}

TEST(SocketPollerTest, AWakeFromAnotherThreadEndsAWaitUnderWay) {
    CSocketPoller poller;
    ASSERT_TRUE(poller.IsValid());
    for (int round = 0; round < 20; ++round) {
        uint64_t waited = 0;
        std::thread waiter([&] {
            CReadySocket ready[4];
            const uint64_t start = GetTickCount64Ms();
            poller.Wait(kLongWaitMs, ready, 4);
            waited = GetTickCount64Ms() - start;
        });
        // Before or during the wait: either way it ends early.
        poller.Wake();
        waiter.join();
        ASSERT_LT(waited, kLongWaitMs / 2) << "round " << round;
    }
}

TEST(SocketPollerTest, ASocketIsReportedForRoomToSendOnlyOnceItIsToSend) {
    CLoopbackPair pair;
    ASSERT_TRUE(pair.Open());
    CSocketPoller poller;
    ASSERT_TRUE(poller.IsValid());
    int key = 0;
    CReadySocket ready[4];
    // A reader whose socket could send is not woken for that.
    ASSERT_TRUE(poller.Watch(pair.m_server.GetHandle(), SocketInterest::kRead, &key));
    EXPECT_EQ(0, poller.Wait(0, ready, 4));
    poller.SetInterest(pair.m_server.GetHandle(), SocketInterest::kWrite);
    ASSERT_EQ(1, poller.Wait(kLongWaitMs, ready, 4));
    EXPECT_EQ(&key, ready[0].m_pKey);
    EXPECT_FALSE(ready[0].m_bReadable);
    // What arrives is still reported, to the same key.
    poller.SetInterest(pair.m_server.GetHandle(), SocketInterest::kRead);
    ASSERT_EQ(1, pair.m_client.SendNoWait("x", 1));
    ASSERT_EQ(1, poller.Wait(kLongWaitMs, ready, 4));
    EXPECT_EQ(&key, ready[0].m_pKey);
    EXPECT_TRUE(ready[0].m_bReadable);
    poller.Forget(pair.m_server.GetHandle());
}

TEST(SocketPollerTest, AListeningSocketIsReportedAtEveryWaitWhileAClientWaits) {
    CSocket listener;
    ASSERT_TRUE(listener.Create(AF_INET, SOCK_STREAM, 0) && listener.Listen(0));
    ASSERT_TRUE(listener.SetNonBlocking());
    CSocketPoller poller;
    ASSERT_TRUE(poller.IsValid());
    int key = 0;
    CReadySocket ready[4];
    ASSERT_TRUE(poller.WatchListening(listener.GetHandle(), &key));
    EXPECT_EQ(0, poller.Wait(0, ready, 4));
    CSocket clients[3];
    for (CSocket& client : clients)
        ASSERT_TRUE(client.Connect("127.0.0.1", listener.GetLocalPort()));
    // One client taken per report: the next wait reports the socket again.
    for (int taken = 0; taken < 2; ++taken) {
        ASSERT_EQ(1, poller.Wait(kLongWaitMs, ready, 4)) << "taken " << taken;
        EXPECT_EQ(&key, ready[0].m_pKey);
        CSocket accepted;
        ASSERT_EQ(AcceptResult::kAccepted, listener.AcceptNoWait(accepted));
    }
    ASSERT_EQ(1, poller.Wait(kLongWaitMs, ready, 4));
    // Forgotten, it is no longer reported though the third client waits; watched again, it is.
    poller.Forget(listener.GetHandle());
    EXPECT_EQ(0, poller.Wait(0, ready, 4));
    ASSERT_TRUE(poller.WatchListening(listener.GetHandle(), &key));
    ASSERT_EQ(1, poller.Wait(kLongWaitMs, ready, 4));
    CSocket last;
    ASSERT_EQ(AcceptResult::kAccepted, listener.AcceptNoWait(last));
    EXPECT_EQ(0, poller.Wait(0, ready, 4));
    poller.Forget(listener.GetHandle());
}

}  // namespace
