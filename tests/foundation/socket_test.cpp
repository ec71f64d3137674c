// CSocket data transfer over loopback pairs: ownership, the end of a stream, waiting bytes
// and files sent without waiting.
#include <gtest/gtest.h>

#include <string>

#include "foundation/clock.h"
#include "foundation/file.h"
#include "foundation/socket.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_client.h"

namespace {

// Reads from s until end of stream, an error or ms pass; every read is bounded.
std::string ReadUntilClosed(CSocket& s, uint32_t ms = kTestReadTimeoutMs) {
    CTestClient reader;
    reader.Socket().Attach(s.Detach());
    std::string data;
    reader.WaitClosed(ms, &data);
    s.Attach(reader.Socket().Detach());
    return data;
}

// Sends all of text on s within the test bound.
bool SendAll(CSocket& s, const std::string& text) {
    CTestClient sender;
    sender.Socket().Attach(s.Detach());
    const bool bSent = sender.SendText(text);
    s.Attach(sender.Socket().Detach());
    return bSent;
}

std::string PatternBytes(size_t n) {
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_pair.Open(&error)) << error;
    }

    // Opens name in the temp folder for reading, as the server does.
    bool OpenForReading(CFile& file, const std::string& name) {
        return (m_folder.IsOpen() || m_folder.Open(m_dir.Path().wstring().c_str())) &&
               file.OpenBelow(m_folder, name.c_str());
    }

    CLoopbackPair m_pair;
    CTempDir m_dir;
    CFolder m_folder;
    char m_buffer[8192];  // the sender's buffer for the file's pieces
};

// Files sent from the file itself where the host can, and through the buffer.
class SocketFileTest : public SocketTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        SocketTest::SetUp();
        m_pair.m_server.SendFilesByCopy(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(FromTheFileOrByCopy, SocketFileTest, ::testing::Bool());

}  // namespace

TEST(SocketEmpty, EveryOperationFailsOnAnEmptySocket) {
    CSocket empty;
    char buffer[4];
    u_long waiting = 0;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(SOCKET_ERROR, empty.ReceiveNoWait(buffer, 4));
    EXPECT_EQ(SOCKET_ERROR, empty.SendNoWait("abc", 3));
    EXPECT_FALSE(empty.IoControl(FIONREAD, &waiting));
    EXPECT_FALSE(empty.SetNonBlocking());
    EXPECT_EQ(AcceptResult::kFailed, empty.AcceptNoWait(empty));
    EXPECT_EQ(INVALID_SOCKET, empty.Detach());
    EXPECT_EQ(0, empty.GetLocalPort());
    empty.Close();
    EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(SocketTest, AttachOrConstructionTakesOnlyWhenEmptyAndDetachGivesBack) {
    const SOCKET first = m_pair.m_server.Detach();
    const SOCKET second = m_pair.m_client.Detach();
    ASSERT_NE(INVALID_SOCKET, first);
    ASSERT_NE(INVALID_SOCKET, second);
    EXPECT_TRUE(m_pair.m_server.IsEmpty());

    CSocket holder;
    EXPECT_TRUE(holder.Attach(first));
    EXPECT_FALSE(holder.Attach(second));
    EXPECT_EQ(first, holder.GetHandle());
    EXPECT_EQ(first, holder.Detach());
    EXPECT_TRUE(holder.IsEmpty());
    // Constructed from a socket, an object holds it as an attach would.
    CSocket made(first);
    EXPECT_FALSE(made.Attach(second));
    EXPECT_EQ(first, made.Detach());

    // Give both back to owners that close them.
    EXPECT_TRUE(m_pair.m_server.Attach(first));
    EXPECT_TRUE(m_pair.m_client.Attach(second));
}

TEST_F(SocketTest, CloseSendsEndOfStreamAndASecondCloseDoesNothing) {
    ASSERT_TRUE(SendAll(m_pair.m_server, "bye"));
    m_pair.m_server.Close();
    EXPECT_TRUE(m_pair.m_server.IsEmpty());
    m_pair.m_server.Close();
    EXPECT_TRUE(m_pair.m_server.IsEmpty());
    // What was sent before the close still arrives, followed by the end.
    EXPECT_EQ("bye", ReadUntilClosed(m_pair.m_client));
}

TEST_F(SocketTest, WaitingBytesAreCountedAndReceivedWithoutWaiting) {
    char buffer[16];
    EXPECT_EQ(CSocket::kNothingYet, m_pair.m_server.ReceiveNoWait(buffer, sizeof buffer));
    ASSERT_TRUE(SendAll(m_pair.m_client, "12345"));
    ASSERT_TRUE(WaitReadable(m_pair.m_server, kTestReadTimeoutMs));
    u_long waiting = 0;
    ASSERT_TRUE(m_pair.m_server.IoControl(FIONREAD, &waiting));
    EXPECT_EQ(5u, waiting);
    ASSERT_EQ(5, m_pair.m_server.ReceiveNoWait(buffer, sizeof buffer));
    EXPECT_EQ("12345", std::string(buffer, 5));
    EXPECT_EQ(CSocket::kNothingYet, m_pair.m_server.ReceiveNoWait(buffer, sizeof buffer));
    ASSERT_TRUE(m_pair.m_server.IoControl(FIONREAD, &waiting));
    EXPECT_EQ(0u, waiting);
    // The peer's end reads as 0.
    m_pair.m_client.Close();
    ASSERT_TRUE(WaitReadable(m_pair.m_server, kTestReadTimeoutMs));
    EXPECT_EQ(0, m_pair.m_server.ReceiveNoWait(buffer, sizeof buffer));
}

TEST_P(SocketFileTest, SendFileNoWaitSendsExactlyTheRangeAskedForAndReportsAShortFile) {
    const std::string bytes = PatternBytes(3 * 8192 + 100);
    m_dir.WriteFile("range", bytes);
    CFile file;
    ASSERT_TRUE(OpenForReading(file, "range"));
    ASSERT_TRUE(m_pair.m_server.SetNonBlocking());
    // However long the file, exactly the range goes: from offset 5, 8192 + 7 bytes.
    uint64_t offset = 5;
    const uint64_t end = 5 + 8192 + 7;
    const uint64_t deadline = GetTickCount64Ms() + kTestReadTimeoutMs;
    while (offset < end) {
        const long long count =
            m_pair.m_server.SendFileNoWait(file, offset, end - offset, m_buffer, sizeof m_buffer);
        ASSERT_GE(count, 0);
        ASSERT_LT(GetTickCount64Ms(), deadline);
        offset += static_cast<uint64_t>(count);
    }
    // A file that ends before the range does is a failure, not a short success.
    EXPECT_EQ(SOCKET_ERROR,
              m_pair.m_server.SendFileNoWait(file, bytes.size(), 10, m_buffer, sizeof m_buffer));
    m_pair.m_server.Close();
    EXPECT_EQ(bytes.substr(5, 8192 + 7), ReadUntilClosed(m_pair.m_client));
}

TEST_P(SocketFileTest, AFileThatShrinksWhileItIsSentIsCutShortWhereItNowEnds) {
    m_dir.WriteFile("shrinks", PatternBytes(3 * 8192));
    CFile file;
    ASSERT_TRUE(OpenForReading(file, "shrinks"));
    ASSERT_TRUE(m_pair.m_server.SetNonBlocking());
    ASSERT_EQ(8192, m_pair.m_server.SendFileNoWait(file, 0, 8192, m_buffer, sizeof m_buffer));
    // Rewritten shorter in place while the rest is still to go.
    const std::string shorter = PatternBytes(10000);
    m_dir.WriteFile("shrinks", shorter);
    // What is left of the file goes, then nothing: the answer is cut short, not padded.
    EXPECT_EQ(10000 - 8192,
              m_pair.m_server.SendFileNoWait(file, 8192, 2 * 8192, m_buffer, sizeof m_buffer));
    EXPECT_EQ(SOCKET_ERROR,
              m_pair.m_server.SendFileNoWait(file, 10000, 8192, m_buffer, sizeof m_buffer));
    m_pair.m_server.Close();
    EXPECT_EQ(shorter, ReadUntilClosed(m_pair.m_client));
}

TEST_P(SocketFileTest, SendingAFileToAClosedPeerFailsWithoutEndingTheProcess) {
    const std::string bytes = PatternBytes(4 * 1024 * 1024);
    m_dir.WriteFile("big", bytes);
    m_pair.m_client.Close();
    CFile file;
    ASSERT_TRUE(OpenForReading(file, "big"));
    ASSERT_TRUE(m_pair.m_server.SetNonBlocking());
    // The first chunks may still be taken; the peer's reset makes a later one fail (and must
    // not raise a signal that ends the process).
    uint64_t offset = 0;
    long long count = 0;
    const uint64_t deadline = GetTickCount64Ms() + kTestReadTimeoutMs;
    while ((count = m_pair.m_server.SendFileNoWait(file, offset, bytes.size() - offset, m_buffer,
                                                   sizeof m_buffer)) >= 0 &&
           offset < bytes.size() && GetTickCount64Ms() < deadline) {
        offset += static_cast<uint64_t>(count);
        if (count == 0) SleepMs(1);
    }
    EXPECT_EQ(SOCKET_ERROR, count);
}
