// CSocketPoller's wake: every Wake ends a wait, however many came before it.
#include <gtest/gtest.h>

#include <thread>

#include "foundation/clock.h"
#include "foundation/socket_poller.h"

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

}  // namespace
