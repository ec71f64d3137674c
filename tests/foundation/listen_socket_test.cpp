// The listening operations: bind failures in the log, and accepts that never wait.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

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

TEST(ListenSocket, AcceptNoWaitTakesWaitingClientsInTurnThenFindsNobody) {
    CSocket listener;
    ASSERT_TRUE(OpenListener(listener));
    ASSERT_TRUE(listener.SetNonBlocking());
    CSocket accepted;
    EXPECT_EQ(AcceptResult::kNothingYet, listener.AcceptNoWait(accepted));
    CTestClient client;
    ASSERT_TRUE(client.Connect(listener.GetLocalPort()));
    // A second client waits in the backlog for the next accept.
    CTestClient waiting;
    ASSERT_TRUE(waiting.Connect(listener.GetLocalPort()));

    ASSERT_TRUE(WaitReadable(listener, kTestReadTimeoutMs));
    ASSERT_EQ(AcceptResult::kAccepted, listener.AcceptNoWait(accepted));
    ASSERT_TRUE(client.SendText("hello"));
    ASSERT_TRUE(WaitReadable(accepted, kTestReadTimeoutMs));
    char buffer[8];
    EXPECT_EQ(5, accepted.ReceiveNoWait(buffer, sizeof buffer));

    // An occupied client object is not overwritten; the connection is lost, not leaked.
    const SOCKET held = accepted.GetHandle();
    EXPECT_EQ(AcceptResult::kFailed, listener.AcceptNoWait(accepted));
    EXPECT_EQ(held, accepted.GetHandle());
    EXPECT_TRUE(waiting.WaitClosed());
    EXPECT_EQ(AcceptResult::kNothingYet, listener.AcceptNoWait(accepted));
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

TEST(ListenSocket, AnIPv4AddressIsWrittenInDottedDecimalWhereItFits) {
    const struct {
        unsigned char bytes[4];
        const char* pszText;
    } cases[] = {{{0, 0, 0, 0}, "0.0.0.0"},
                 {{255, 255, 255, 255}, "255.255.255.255"},
                 {{10, 0, 100, 9}, "10.0.100.9"},
                 {{192, 168, 101, 110}, "192.168.101.110"}};
    for (const auto& c : cases) {
        char szText[16] = "untouched";
        EXPECT_TRUE(FormatIPv4Address(c.bytes, szText, sizeof szText));
        EXPECT_STREQ(szText, c.pszText);
        // The terminating null needs its byte too.
        char szShort[16] = "untouched";
        EXPECT_FALSE(FormatIPv4Address(c.bytes, szShort, std::strlen(c.pszText)));
        EXPECT_STREQ(szShort, "untouched");
    }
}

TEST(ListenSocket, APeerIsNamedByItsOwnFamilyAndAMappedIPv4ClientAsIPv4) {
    CSocket listener;
    ASSERT_TRUE(OpenListener(listener));
    ASSERT_TRUE(listener.SetNonBlocking());
    char szPeer[46] = "untouched";
    EXPECT_FALSE(listener.GetPeerAddress(szPeer, sizeof szPeer));
    EXPECT_STREQ(szPeer, "-");
    // The listener is dual-stack where the host has IPv6, so an IPv4 client arrives mapped.
    const char* const clients[][2] = {{"127.0.0.1", "127.0.0.1"}, {"::1", "::1"}};
    for (const auto& client : clients) {
        CSocket connecting;
        if (!connecting.Connect(client[0], listener.GetLocalPort())) {
            EXPECT_STREQ(client[0], "::1") << "IPv4 loopback must connect";
            continue;
        }
        ASSERT_TRUE(WaitReadable(listener, kTestReadTimeoutMs));
        CSocket accepted;
        ASSERT_EQ(AcceptResult::kAccepted, listener.AcceptNoWait(accepted));
        EXPECT_TRUE(accepted.GetPeerAddress(szPeer, sizeof szPeer));
        EXPECT_STREQ(szPeer, client[1]);
        EXPECT_TRUE(accepted.HasLoopbackPeer());
        char szShort[3];
        EXPECT_FALSE(accepted.GetPeerAddress(szShort, sizeof szShort));
        EXPECT_STREQ(szShort, "-");
    }
}
