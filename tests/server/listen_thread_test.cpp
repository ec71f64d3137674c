// The listener and its five workers on a real port: start messages, which worker gets which
// connection, clients beyond the five workers, failures to listen, and the stop.
#include "server/listen_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "foundation/clock.h"
#include "server/document_root.h"
#include "tests/server/server_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_client.h"

namespace {

const char kRequest[] = "GET /a.txt HTTP/1.1\r\n\r\n";
// As StableAnswer shows it.
const char kAnswer[] =
    "HTTP/1.1 200 Sending file\r\ncontent-length: 5\r\ncontent-type: text/plain; "
    "charset=utf-8\r\naccept-ranges: bytes\r\nlast-modified: <date>\r\netag: <etag>\r\n"
    "date: <date>\r\n\r\nhello";

// What the listener's outcome callback saw: how often it came, and the log at that moment.
struct COutcomeSeen {
    const CLogCapture* m_pLog;
    std::atomic<int> m_nCalls{0};
    std::string m_logAtCall;
};

void NoteOutcome(void* pContext) {
    COutcomeSeen* pSeen = static_cast<COutcomeSeen*>(pContext);
    pSeen->m_logAtCall = pSeen->m_pLog->Text();
    pSeen->m_nCalls.fetch_add(1);
}

// The workers' start dots in a log, the listener's "Listening..." left out.
int WorkerDots(std::string text) {
    const size_t at = text.find("Listening...");
    if (at != std::string::npos) text.erase(at, strlen("Listening..."));
    return static_cast<int>(std::count(text.begin(), text.end(), '.'));
}

class ListenerTest : public ::testing::Test {
protected:
    ListenerTest() : m_listener(0) {}

    void SetUp() override {
        m_root.WriteFile("a.txt", "hello");
        ASSERT_TRUE(m_listener.Start());
        ASSERT_TRUE(WaitUntil([this] { return m_listener.GetPort() != 0; }, kTestReadTimeoutMs));
    }
    void TearDown() override {
        if (!m_bStopped) m_listener.Stop();
    }

    // Connects a client, sends one request and reads its answer: the client is then being
    // served by some worker.
    void ConnectServed(CTestClient& client) {
        ASSERT_TRUE(client.Connect(m_listener.GetPort()));
        ASSERT_TRUE(client.SendText(kRequest));
        ASSERT_EQ(client.ReadStableAnswers(), kAnswer);
    }
    int32_t Held(int index) const { return m_listener.GetWorker(index).GetConnectionCount(); }
    int32_t Served(int index) const { return m_listener.GetWorker(index).GetServedCount(); }
    void Stop() {
        m_listener.Stop();
        m_bStopped = true;
    }

    CLogCapture m_log;  // first in, last out: the threads may log until they are stopped
    CTempWebRoot m_root;
    CListenThread m_listener;
    bool m_bStopped = false;
};

}  // namespace

TEST_F(ListenerTest, StartWritesItsMessagesAndListensOnTheChosenPort) {
    // The dots of the five workers may come before or after "Listening...".
    const auto dotsOutsideMessages = [this] {
        std::string text = m_log.Text();
        for (const std::string& message :
             {std::string("Starting Threads\r\n"), std::string("Listening...")}) {
            const size_t at = text.find(message);
            if (at != std::string::npos) text.erase(at, message.size());
        }
        return text;
    };
    ASSERT_TRUE(m_log.WaitFor("Listening...", kTestReadTimeoutMs));
    EXPECT_TRUE(WaitUntil([&] { return dotsOutsideMessages() == "....."; }, kTestReadTimeoutMs))
        << m_log.Text();
    EXPECT_EQ(m_log.Text().rfind("Starting Threads\r\n", 0), 0u) << m_log.Text();
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(ConnectServed(client));
}

TEST_F(ListenerTest, ASwappedRootServesTheNextRequestOfAKeptAliveConnection) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(ConnectServed(client));
    // Asked for again, the file is kept open and its names watched.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(client.SendText(kRequest));
        ASSERT_EQ(client.ReadStableAnswers(), kAnswer);
    }
    // The same size and name in the new folder: only the swap tells them apart.
    CTempWebRoot other;
    other.WriteFile("a.txt", "other");
    m_listener.GetDocumentRoot().Set(other.RootText().c_str());
    ASSERT_TRUE(client.SendText(kRequest));
    CTestResponse response;
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_body, "other");
    // And back: the old folder's kept file is not current any more either.
    m_listener.GetDocumentRoot().Set(m_root.RootText().c_str());
    ASSERT_TRUE(client.SendText(kRequest));
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_body, "hello");
}

TEST(ListenerBindTest, LocalhostTakesClientsAtBothLoopbackAddressesOnOnePort) {
    CLogCapture log;
    CTempWebRoot root;
    root.WriteFile("a.txt", "hello");
    // Whether this host has IPv6 loopback at all.
    CSocket probe;
    const bool bHasIPv6 =
        probe.Create(AF_INET6, SOCK_STREAM, 0) && probe.Listen(0, CListenAddress::IPv6Loopback());
    probe.Close();
    CListenAddress localhost;
    ASSERT_TRUE(ParseListenAddress("localhost", localhost));
    CListenThread listener(0, localhost);
    ASSERT_TRUE(listener.Start());
    EXPECT_TRUE(WaitUntil([&] { return listener.GetPort() != 0; }, kTestReadTimeoutMs));
    for (const char* pszAddress : {"127.0.0.1", "::1"}) {
        if (std::string(pszAddress) == "::1" && !bHasIPv6) continue;
        CTestClient client;
        EXPECT_TRUE(client.Connect(listener.GetPort(), pszAddress)) << pszAddress;
        EXPECT_TRUE(client.SendText(kRequest));
        EXPECT_EQ(client.ReadStableAnswers(), kAnswer) << pszAddress;
    }
    listener.Stop();
}

TEST(ListenerOutcomeTest, ListeningIsToldOnceAfterEveryStartMessage) {
    CLogCapture log;
    CTempWebRoot root;
    COutcomeSeen seen;
    seen.m_pLog = &log;
    CListenThread listener(0);
    listener.SetOutcomeCallback(NoteOutcome, &seen);
    EXPECT_EQ(listener.GetStatus().GetState(), ListenState::kStarting);
    ASSERT_TRUE(listener.Start());
    EXPECT_TRUE(WaitUntil([&] { return seen.m_nCalls.load() > 0; }, kTestReadTimeoutMs));
    const CListenStatus& status = listener.GetStatus();
    EXPECT_EQ(status.GetState(), ListenState::kListening);
    EXPECT_EQ(status.GetPort(), listener.GetPort());
    EXPECT_NE(status.GetPort(), 0);
    EXPECT_EQ(status.GetError(), 0);
    EXPECT_NE(seen.m_logAtCall.find("Listening..."), std::string::npos) << seen.m_logAtCall;
    EXPECT_EQ(WorkerDots(seen.m_logAtCall), kWorkerCount) << seen.m_logAtCall;
    listener.Stop();
    EXPECT_EQ(seen.m_nCalls.load(), 1);
}

TEST_F(ListenerTest, ConnectionsOneAfterAnotherAllGoToWorkerZero) {
    for (int round = 1; round <= 3; ++round) {
        CTestClient client;
        ASSERT_NO_FATAL_FAILURE(ConnectServed(client));
        client.Close();
        ASSERT_TRUE(
            WaitUntil([&] { return Served(0) == round && Held(0) == 0; }, kTestReadTimeoutMs));
    }
    for (int index = 1; index < kWorkerCount; ++index) EXPECT_EQ(Served(index), 0) << index;
}

TEST_F(ListenerTest, ASixthClientIsAnsweredBesideFiveKeptAliveAndTheFiveGoOnAfterwards) {
    CTestClient kept[kWorkerCount];
    for (CTestClient& client : kept) ASSERT_NO_FATAL_FAILURE(ConnectServed(client));

    const uint64_t start = GetTickCount64Ms();
    CTestClient sixth;
    ASSERT_NO_FATAL_FAILURE(ConnectServed(sixth));
    EXPECT_LT(ElapsedMs(start), 1000u);
    // Each connection keeps its place: the next request is answered.
    for (CTestClient& client : kept) {
        ASSERT_TRUE(client.SendText(kRequest));
        EXPECT_EQ(client.ReadStableAnswers(), kAnswer);
    }
    EXPECT_EQ(m_listener.GetHeldCount(), kWorkerCount + 1);
}

TEST_F(ListenerTest, AHundredConnectionsAtOnceAreAllServed) {
    constexpr int kClients = 100;
    std::unique_ptr<CTestClient[]> clients(new CTestClient[kClients]);
    // Two requests each, and no answer read before every client has sent: the workers hold
    // many connections each and step every ready one.
    const std::string twice = std::string(kRequest) + kRequest;
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(clients[i].Connect(m_listener.GetPort())) << i;
        ASSERT_TRUE(clients[i].SendText(twice)) << i;
    }
    const std::string answers = std::string(kAnswer) + kAnswer;
    for (int i = 0; i < kClients; ++i) {
        EXPECT_EQ(clients[i].ReadStableAnswers(2, 10000), answers) << "client " << i;
    }
    for (int i = 0; i < kClients; ++i) clients[i].Close();
    EXPECT_TRUE(WaitUntil([this] { return m_listener.GetHeldCount() == 0; }, 10000));
}

TEST_F(ListenerTest, StopAnswersWhatClientsSentEvenOnAHeldConnectionThenEndsEverything) {
    CTestClient busy[kWorkerCount];
    for (CTestClient& client : busy) ASSERT_NO_FATAL_FAILURE(ConnectServed(client));
    CTestClient held;
    ASSERT_TRUE(held.Connect(m_listener.GetPort()));
    ASSERT_TRUE(held.SendText(kRequest));
    // Until it is accepted the connection is only in the backlog, which the stop resets.
    ASSERT_TRUE(WaitUntil([this] { return m_listener.GetAcceptedCount() == kWorkerCount + 1; },
                          kTestReadTimeoutMs));
    ASSERT_TRUE(busy[0].SendText(kRequest));
    const unsigned short port = m_listener.GetPort();

    const uint64_t start = GetTickCount64Ms();
    Stop();
    // Well inside one head deadline: nobody waited for more requests.
    EXPECT_LT(ElapsedMs(start), 2500u);

    EXPECT_EQ(busy[0].ReadStableAnswers(1, 1000), kAnswer);
    EXPECT_EQ(held.ReadStableAnswers(1, 1000), kAnswer);
    std::string rest;
    EXPECT_TRUE(held.WaitClosed(1000, &rest));
    EXPECT_EQ(rest, "");
    for (CTestClient& client : busy) EXPECT_TRUE(client.WaitClosed(1000));

    DWORD code = 0;
    ASSERT_TRUE(m_listener.QueryExitCode(code));
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(m_listener.GetHeldCount(), 0);
    CTestClient late;
    EXPECT_FALSE(late.Connect(port)) << "still accepting after the stop";
}

TEST(ListenerFailureTest, PortInUseLogsTheBindFailureTellsItAndRunEndsWithZero) {
    CLogCapture log;
    CTempWebRoot root;
    CSocket blocker;
    ASSERT_TRUE(blocker.Create(AF_INET, SOCK_STREAM, 0));
    ASSERT_TRUE(blocker.Listen(0));
    COutcomeSeen seen;
    seen.m_pLog = &log;
    CListenThread listener(blocker.GetLocalPort());
    listener.SetOutcomeCallback(NoteOutcome, &seen);
    ASSERT_TRUE(listener.Start());
    DWORD code = STILL_ACTIVE;
    EXPECT_TRUE(WaitUntil([&] { return listener.QueryExitCode(code) && code != STILL_ACTIVE; },
                          kTestReadTimeoutMs));
    EXPECT_EQ(code, 0u);
    const std::string text = log.Text();
    const size_t bindFailed = text.find("CS:Listen: bind failed: ");
    const size_t listenFailed = text.find("Listen Failed\r\n");
    // No ASSERT before the Stop below: leaving early would destroy running threads' objects.
    EXPECT_NE(bindFailed, std::string::npos) << text;
    EXPECT_NE(listenFailed, std::string::npos) << text;
    EXPECT_LT(bindFailed, listenFailed);
    EXPECT_EQ(text.find("Listening..."), std::string::npos);
    EXPECT_EQ(listener.GetPort(), 0);
    // Told with the host's own code for an address in use, after every start message.
    EXPECT_EQ(seen.m_nCalls.load(), 1);
    EXPECT_EQ(listener.GetStatus().GetState(), ListenState::kFailed);
#ifdef _WIN32
    EXPECT_EQ(listener.GetStatus().GetError(), WSAEADDRINUSE);
#else
    EXPECT_EQ(listener.GetStatus().GetError(), EADDRINUSE);
#endif
    EXPECT_EQ(listener.GetStatus().GetPort(), 0);
    EXPECT_NE(seen.m_logAtCall.find("Listen Failed\r\n"), std::string::npos) << seen.m_logAtCall;
    EXPECT_EQ(WorkerDots(seen.m_logAtCall), kWorkerCount) << seen.m_logAtCall;

    // The idle workers and the failed listener still stop at once.
    const uint64_t start = GetTickCount64Ms();
    listener.Stop();
    EXPECT_LT(ElapsedMs(start), 2000u);
}

TEST(ListenerStopTest, StopRightAfterStartNeverLeavesASocketOrAThreadBehind) {
    CLogCapture log;
    CTempWebRoot root;
    // A stop that lands before, during or after the socket's set-up: each must end the
    // listener, and a socket it did set up must be closed.
    for (int round = 0; round < 20; ++round) {
        CListenThread listener(0);
        ASSERT_TRUE(listener.Start());
        if (round % 4 == 1) SleepMs(1);
        if (round % 4 == 2) WaitUntil([&] { return listener.GetPort() != 0; }, 2000);
        const uint64_t start = GetTickCount64Ms();
        listener.Stop();
        EXPECT_LT(ElapsedMs(start), 3000u) << round;
        DWORD code = STILL_ACTIVE;
        ASSERT_TRUE(listener.QueryExitCode(code)) << round;
        EXPECT_EQ(code, 1u) << round;
        const unsigned short port = listener.GetPort();
        if (port != 0) {
            CTestClient late;
            EXPECT_FALSE(late.Connect(port)) << "round " << round << " left port " << port;
        }
    }
}
