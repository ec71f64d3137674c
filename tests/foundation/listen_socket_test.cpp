// The listening operations: bind failures in the log, accept, and a close that releases it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "foundation/socket.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_client.h"

namespace {

// A socket listening on a port the system chose.
bool OpenListener(CSocket& listener) {
    return listener.Create(AF_INET, SOCK_STREAM, 0) && listener.Listen(0) &&
           listener.GetLocalPort() != 0;
}

}  // namespace

TEST(ListenSocket, ListenOnABusyPortLogsTheBindFailure) {
    CSocket holder;
    ASSERT_TRUE(OpenListener(holder));
    CLogCapture capture;
    CSocket second;
    ASSERT_TRUE(second.Create(AF_INET, SOCK_STREAM, 0));
    EXPECT_FALSE(second.Listen(holder.GetLocalPort()));
    const std::string text = capture.Text();
    const std::string prefix = "CS:Listen: bind failed: ";
    ASSERT_EQ(0u, text.find(prefix)) << text;
    ASSERT_GE(text.size(), prefix.size() + 3);
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
    const int code = std::stoi(text.substr(prefix.size()));
    EXPECT_NE(0, code);
    EXPECT_FALSE(second.IsEmpty());  // the failed socket stays held until closed
}

TEST(ListenSocket, CreateFailureLogsAndLeavesTheObjectEmpty) {
    CLogCapture capture;
    CSocket s;
    EXPECT_FALSE(s.Create(-1, SOCK_STREAM, 0));
    EXPECT_TRUE(s.IsEmpty());
    const std::string text = capture.Text();
    EXPECT_EQ(0u, text.find("CS:Create: socket failed: ")) << text;
    EXPECT_EQ("\r\n", text.substr(text.size() - 2));
}

TEST(ListenSocket, AcceptHandsTheConnectionToTheClientObject) {
    CSocket listener;
    ASSERT_TRUE(OpenListener(listener));
    CTestClient client;
    ASSERT_TRUE(client.Connect(listener.GetLocalPort()));
    // A second client waits in the backlog for the next Accept.
    CTestClient waiting;
    ASSERT_TRUE(waiting.Connect(listener.GetLocalPort()));

    CSocket accepted;
    ASSERT_TRUE(listener.Accept(accepted, nullptr, nullptr));
    ASSERT_FALSE(accepted.IsEmpty());
    ASSERT_TRUE(accepted.SendString("hello"));
    EXPECT_EQ("hello", client.ReadExactly(5));

    CSocket next;
    ASSERT_TRUE(listener.Accept(next, nullptr, nullptr));
    ASSERT_TRUE(next.SendString("second"));
    EXPECT_EQ("second", waiting.ReadExactly(6));
}

TEST(ListenSocket, AcceptIntoAnOccupiedClientIsRefused) {
    CSocket listener;
    ASSERT_TRUE(OpenListener(listener));
    CTestClient first;
    CTestClient second;
    ASSERT_TRUE(first.Connect(listener.GetLocalPort()));
    ASSERT_TRUE(second.Connect(listener.GetLocalPort()));
    CSocket accepted;
    ASSERT_TRUE(listener.Accept(accepted, nullptr, nullptr));
    const SOCKET held = accepted.GetHandle();
    EXPECT_FALSE(listener.Accept(accepted, nullptr, nullptr));
    EXPECT_EQ(held, accepted.GetHandle());
}

TEST(ListenSocket, AcceptOnAnEmptyObjectFailsAtOnce) {
    CSocket empty;
    CSocket client;
    EXPECT_FALSE(empty.Accept(client, nullptr, nullptr));
    EXPECT_TRUE(client.IsEmpty());
}

TEST(ListenSocket, CloseFromAnotherThreadReleasesABlockedAccept) {
    // Owned by the shared pointer so that a hung accept cannot outlive its objects.
    struct CState {
        CSocket m_listener;
        CSocket m_client;
        std::promise<bool> m_accepted;  // here, so that a thread left behind never outlives it
    };
    auto state = std::make_shared<CState>();
    ASSERT_TRUE(OpenListener(state->m_listener));
    std::future<bool> result = state->m_accepted.get_future();
    std::thread acceptor([state] {
        state->m_accepted.set_value(state->m_listener.Accept(state->m_client, nullptr, nullptr));
    });
    // Give the thread time to block inside accept; the close must release it either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state->m_listener.Close();
    const bool bReleased = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!bReleased) {
        acceptor.detach();  // still blocked: leave it rather than hang the run
        FAIL() << "Accept was not released by Close";
    }
    acceptor.join();
    EXPECT_FALSE(result.get());
    EXPECT_TRUE(state->m_client.IsEmpty());
    EXPECT_TRUE(state->m_listener.IsEmpty());
    EXPECT_FALSE(state->m_listener.Accept(state->m_client, nullptr, nullptr));
}

TEST(ListenSocket, ConnectToAPortWithoutListenerFails) {
    unsigned short port = 0;
    {
        CSocket listener;
        ASSERT_TRUE(OpenListener(listener));
        port = listener.GetLocalPort();
    }
    CSocket client;
    EXPECT_FALSE(client.Connect("127.0.0.1", port));
    EXPECT_TRUE(client.IsEmpty());
    EXPECT_FALSE(client.Connect("not an address", port));
}
