// One connection stepped by hand on a loopback pair, with the time given to it: what it
// waits for and until when, across answers, stalls and a stop; and how a worker files its
// connections by what they wait for.
#include "server/connection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/file_cache.h"
#include "server/waiting_connections.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_client.h"

namespace {

constexpr uint64_t kStart = 1000000;  // an arbitrary moment on the connection's clock

const char kRequest[] = "GET /a.txt HTTP/1.1\r\n\r\n";
// As StableAnswer shows it.
const char kAnswer[] =
    "HTTP/1.1 200 Sending file\r\ncontent-length: 5\r\ncontent-type: text/plain; "
    "charset=utf-8\r\naccept-ranges: bytes\r\nlast-modified: <date>\r\netag: <etag>\r\n"
    "date: <date>\r\n\r\nhello";

CServeTime At(uint64_t now) {
    return CServeTime{now, false, 0};
}

CServeTime StoppingAt(uint64_t now, uint64_t graceEnd) {
    return CServeTime{now, true, graceEnd};
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_files.ServeFrom(&m_root.DocumentRoot());
        m_root.WriteFile("a.txt", "hello");
        ASSERT_TRUE(m_pair.Open());
        ASSERT_TRUE(m_connection.Socket().Attach(m_pair.m_server.Detach()));
        ASSERT_TRUE(m_connection.Socket().SetNonBlocking());
        m_connection.Begin(kStart);
    }
    // Sends text and waits until the connection's socket has it.
    void Send(const std::string& text) {
        CTestClient client;
        client.Socket().Attach(m_pair.m_client.Detach());
        ASSERT_TRUE(client.SendText(text));
        m_pair.m_client.Attach(client.Socket().Detach());
        ASSERT_TRUE(WaitReadable(m_connection.Socket(), kTestReadTimeoutMs));
        m_connection.NoteReady(false);
    }
    // The moment now, with the file cache a worker would give.
    CServeTime At(uint64_t now) {
        CServeTime time = ::At(now);
        time.m_pFiles = &m_files;
        return time;
    }
    CServeTime StoppingAt(uint64_t now, uint64_t graceEnd) {
        CServeTime time = ::StoppingAt(now, graceEnd);
        time.m_pFiles = &m_files;
        return time;
    }
    // The next count answers, as StableAnswer shows them.
    std::string Received(int count) {
        CTestClient client;
        client.Socket().Attach(m_pair.m_client.Detach());
        const std::string bytes = client.ReadStableAnswers(count);
        m_pair.m_client.Attach(client.Socket().Detach());
        return bytes;
    }

    CTempWebRoot m_root;
    CFileCache m_files;
    CLoopbackPair m_pair;
    CConnection m_connection;
};

}  // namespace

TEST_F(ConnectionTest, AHeadIsDueOneDeadlineAfterItsReadBeganWhoeverHoldsTheConnection) {
    CConnectionWait wait = m_connection.Advance(At(kStart));
    EXPECT_EQ(wait.m_want, ConnectionWant::kRead);
    EXPECT_EQ(wait.m_deadline, kStart + kHeadDeadlineMs);
    // Half a head, and the deadline stays where it was.
    Send("GET /a.t");
    wait = m_connection.Advance(At(kStart + 2000));
    EXPECT_EQ(wait.m_want, ConnectionWant::kRead);
    EXPECT_EQ(wait.m_deadline, kStart + kHeadDeadlineMs);
    EXPECT_EQ(m_connection.Advance(At(kStart + kHeadDeadlineMs)).m_want, ConnectionWant::kEnd);
}

TEST_F(ConnectionTest, PipelinedHeadsAreAnsweredWithoutWaitingAndTheNextHeadIsDueFromThen) {
    const int32_t requests = g_nRequests.load();
    Send(std::string(kRequest) + kRequest + "GET /a");
    // An answer with more to answer behind it ends a step, so that the holder can look at
    // the time and the queue.
    CConnectionWait wait = m_connection.Advance(At(kStart + 100));
    EXPECT_EQ(wait.m_want, ConnectionWant::kGoOn);
    EXPECT_EQ(m_connection.GetAnswerCount(), 1);
    EXPECT_EQ(m_connection.Advance(At(kStart + 200)).m_want, ConnectionWant::kGoOn);
    wait = m_connection.Advance(At(kStart + 500));
    EXPECT_EQ(wait.m_want, ConnectionWant::kRead);
    EXPECT_EQ(wait.m_deadline, kStart + 200 + kHeadDeadlineMs);
    EXPECT_EQ(m_connection.GetAnswerCount(), 2);
    EXPECT_EQ(g_nRequests.load(), requests + 2);
    EXPECT_EQ(Received(2), std::string(kAnswer) + kAnswer);
    // The rest of the third head comes later, and is answered as a whole head.
    Send(".txt HTTP/1.1\r\n\r\n");
    EXPECT_EQ(m_connection.Advance(At(kStart + 600)).m_want, ConnectionWant::kRead);
    EXPECT_EQ(Received(1), kAnswer);
}

TEST_F(ConnectionTest, AnAnswerThatTheClientTakesNothingOfEndsAfterTheStallTime) {
    // Far more than the socket buffers hold, and a client that reads none of it.
    m_root.WriteFile("big.bin", std::string(32 << 20, 'b'));
    Send("GET /big.bin HTTP/1.1\r\n\r\n");
    // Where the buffers take more than a step's share, the steps go on until they are full.
    CConnectionWait wait = m_connection.Advance(At(kStart));
    for (int step = 0; step < 32 && wait.m_want == ConnectionWant::kGoOn; ++step)
        wait = m_connection.Advance(At(kStart));
    ASSERT_EQ(wait.m_want, ConnectionWant::kWrite);
    EXPECT_EQ(wait.m_deadline, kStart + kSendStallMs);
    EXPECT_EQ(m_connection.Advance(At(kStart + 5000)).m_want, ConnectionWant::kWrite);
    EXPECT_EQ(m_connection.Advance(At(kStart + kSendStallMs)).m_want, ConnectionWant::kEnd);
}

TEST_F(ConnectionTest, AZipRangeAfterALargeUnreadFileYieldsAShareAtATimeAndNeverStalls) {
    m_root.WriteFile("big.bin", "");
    std::filesystem::resize_file(m_root.Folder() / "big.bin", 3 * kBodyBytesPerStep + 1);
    // The central header of the big file, which waits on its CRC-32, and the end record.
    Send("GET /?zip HTTP/1.1\r\nrange: bytes=-80\r\n\r\n");
    // Each share of the reading gives the worker's other connections their turn, and counts
    // as progress: steps spread over more than the stall time do not end the connection.
    uint64_t now = kStart;
    int shares = 0;
    CConnectionWait wait = m_connection.Advance(At(now));
    for (; wait.m_want == ConnectionWant::kGoOn && shares < 100; ++shares) {
        EXPECT_EQ(wait.m_deadline, now);
        now += kSendStallMs - 1;
        wait = m_connection.Advance(At(now));
    }
    EXPECT_GE(shares, 3);
    EXPECT_EQ(wait.m_want, ConnectionWant::kRead);
    const std::string answer = Received(1);
    EXPECT_EQ(answer.rfind("HTTP/1.1 206 ", 0), 0u) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 22, 4), std::string("PK\x05\x06"));
}

TEST_F(ConnectionTest, AfterAStopOnlyWhatHasArrivedIsAnsweredAndOnlyWithinTheGrace) {
    Send(kRequest);
    // Arrived before the stop was seen: answered, and then nothing more is awaited.
    EXPECT_EQ(m_connection.Advance(StoppingAt(kStart, kStart + kStopGraceMs)).m_want,
              ConnectionWant::kEnd);
    EXPECT_EQ(Received(1), kAnswer);

    // Once the grace is spent nothing more goes out, even to a client that reads at once.
    CConnection late;
    CLoopbackPair pair;
    ASSERT_TRUE(pair.Open());
    ASSERT_TRUE(late.Socket().Attach(pair.m_server.Detach()));
    ASSERT_TRUE(late.Socket().SetNonBlocking());
    late.Begin(kStart);
    m_root.WriteFile("big.bin", std::string(32 << 20, 'b'));
    CTestClient client;
    client.Socket().Attach(pair.m_client.Detach());
    ASSERT_TRUE(client.SendText("GET /big.bin HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(WaitReadable(late.Socket(), kTestReadTimeoutMs));
    // Part of the answer is out, and more is to come.
    const ConnectionWant want = late.Advance(At(kStart)).m_want;
    ASSERT_TRUE(want == ConnectionWant::kWrite || want == ConnectionWant::kGoOn);
    EXPECT_EQ(late.Advance(StoppingAt(kStart + 10, kStart + 10)).m_want, ConnectionWant::kEnd);
}

TEST(WaitingConnectionsTest, DeadlinesComeDueInOrderAndTheLongestWaitingReaderMakesRoom) {
    CWaitingConnections waiting;
    CConnection* pByStart[3];
    const uint64_t starts[3] = {kStart + 200, kStart, kStart + 100};
    for (int i = 0; i < 3; ++i) {
        std::unique_ptr<CConnection> p(new CConnection);
        p->Begin(starts[i]);
        pByStart[i] = p.get();
        waiting.Add(std::move(p));
    }
    EXPECT_EQ(waiting.NextDeadline(), kStart + kHeadDeadlineMs);
    EXPECT_EQ(waiting.FirstDue(kStart + kHeadDeadlineMs - 1), nullptr);
    EXPECT_EQ(waiting.FirstDue(kStart + kHeadDeadlineMs), pByStart[1]);
    EXPECT_EQ(waiting.LongestWaitingReaderDeadline(true), CWaitingConnections::kNoDeadline);
    EXPECT_EQ(waiting.LongestWaitingReaderDeadline(false), kStart + kHeadDeadlineMs);

    // New connections are closed only once their first request is overdue.
    EXPECT_EQ(waiting.TakeLongestWaitingReader(kStart + kHeadDeadlineMs - 1), nullptr);
    std::unique_ptr<CConnection> pOldest =
        waiting.TakeLongestWaitingReader(kStart + kHeadDeadlineMs);
    EXPECT_EQ(pOldest.get(), pByStart[1]);
    EXPECT_EQ(waiting.FirstDue(kStart + kHeadDeadlineMs + 150), pByStart[2]);
    // Taken once, a connection is no longer held.
    EXPECT_FALSE(waiting.Holds(pByStart[1]));
    EXPECT_EQ(waiting.Take(pByStart[1]), nullptr);
    EXPECT_EQ(waiting.Take(pByStart[0]).get(), pByStart[0]);
    EXPECT_EQ(waiting.Count(), 1u);
    EXPECT_EQ(waiting.All(), std::vector<CConnection*>{pByStart[2]});
    EXPECT_EQ(waiting.Take(pByStart[2]).get(), pByStart[2]);
    EXPECT_EQ(waiting.NextDeadline(), CWaitingConnections::kNoDeadline);
    EXPECT_EQ(waiting.TakeLongestWaitingReader(CWaitingConnections::kNoDeadline), nullptr);

    // A connection added after others were taken is filed under its own deadline alone.
    std::unique_ptr<CConnection> pLater(new CConnection);
    pLater->Begin(kStart + 300);
    CConnection* pAdded = pLater.get();
    waiting.Add(std::move(pLater));
    EXPECT_TRUE(waiting.Holds(pAdded));
    EXPECT_EQ(waiting.NextDeadline(), kStart + 300 + kHeadDeadlineMs);
    EXPECT_EQ(waiting.All(), std::vector<CConnection*>{pAdded});
    EXPECT_EQ(waiting.Take(pAdded).get(), pAdded);
    EXPECT_EQ(waiting.Count(), 0u);
}

TEST(WaitingConnectionsTest, AConnectionIsRefiledByWhatItWaitsForAndAKeptAliveOneGivesWayFirst) {
    CTempWebRoot root;
    root.WriteFile("a.txt", "hello");
    CWaitingConnections waiting;
    std::unique_ptr<CConnection> pNew(new CConnection);
    pNew->Begin(kStart - 500);
    CConnection* pFresh = pNew.get();
    waiting.Add(std::move(pNew));
    // Answered, with a pipelined head behind: it can go on.
    CLoopbackPair pair;
    ASSERT_TRUE(pair.Open());
    std::unique_ptr<CConnection> pOwned(new CConnection);
    CConnection* pKept = pOwned.get();
    ASSERT_TRUE(pKept->Socket().Attach(pair.m_server.Detach()));
    ASSERT_TRUE(pKept->Socket().SetNonBlocking());
    pKept->Begin(kStart);
    waiting.Add(std::move(pOwned));
    CTestClient client;
    ASSERT_TRUE(client.Socket().Attach(pair.m_client.Detach()));
    ASSERT_TRUE(client.SendText(std::string(kRequest) + kRequest));
    ASSERT_EQ(pKept->Advance(At(kStart)).m_want, ConnectionWant::kGoOn);
    waiting.Refile(pKept);
    EXPECT_TRUE(waiting.HasGoingOn());
    EXPECT_EQ(waiting.GoingOn(), std::vector<CConnection*>{pKept});
    EXPECT_EQ(waiting.NextDeadline(), kStart - 500 + kHeadDeadlineMs);
    // Answered again, it waits for its next head and joins the readers.
    ASSERT_EQ(pKept->Advance(At(kStart + 10)).m_want, ConnectionWant::kRead);
    waiting.Refile(pKept);
    EXPECT_FALSE(waiting.HasGoingOn());
    // It has waited less than the new one, but has had its answers: it goes first.
    EXPECT_EQ(waiting.LongestWaitingReaderDeadline(true), kStart + 10 + kHeadDeadlineMs);
    EXPECT_EQ(waiting.TakeLongestWaitingReader(0).get(), pKept);
    EXPECT_EQ(waiting.TakeLongestWaitingReader(CWaitingConnections::kNoDeadline).get(), pFresh);
}
