// CSocket data transfer over loopback pairs: ownership, lines, files and waits.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "foundation/clock.h"
#include "foundation/event.h"
#include "foundation/file.h"
#include "foundation/socket.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_client.h"

namespace {

// Reads from s until end of stream, an error or ms pass; every read is bounded.
std::string ReadUntilClosed(CSocket& s, uint32_t ms = kTestReadTimeoutMs) {
    const uint64_t deadline = GetTickCount64Ms() + ms;
    std::string data;
    char buffer[16384];
    for (;;) {
        const uint64_t now = GetTickCount64Ms();
        if (now >= deadline) break;
        if (s.WaitReadable(static_cast<uint32_t>(deadline - now), nullptr) != WaitResult::kReady)
            break;
        const int count = s.Receive(buffer, sizeof buffer);
        if (count <= 0) break;
        data.append(buffer, static_cast<size_t>(count));
    }
    return data;
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
        return file.Open(m_dir.WidePath(name).c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    }

    CLoopbackPair m_pair;
    CTempDir m_dir;
};

}  // namespace

TEST(SocketEmpty, EveryOperationFailsOnAnEmptySocket) {
    CSocket empty;
    char buffer[4];
    u_long waiting = 0;
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_EQ(SOCKET_ERROR, empty.Receive(buffer, 4));
    EXPECT_EQ(SOCKET_ERROR, empty.Send("abc", 3));
    EXPECT_EQ(SOCKET_ERROR, empty.SendNoWait("abc", 3));
    EXPECT_FALSE(empty.SendString("abc"));
    EXPECT_FALSE(empty.SendString(""));
    EXPECT_FALSE(empty.IoControl(FIONREAD, &waiting));
    EXPECT_FALSE(empty.ReceiveLine(buffer, 4));
    EXPECT_EQ(WaitResult::kFailed, empty.WaitReadable(10, nullptr));
    EXPECT_EQ(WaitResult::kFailed, empty.WaitWritable(10, nullptr));
    EXPECT_EQ(INVALID_SOCKET, empty.Detach());
    EXPECT_EQ(0, empty.GetLocalPort());
    empty.Close();
    EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(SocketTest, AttachTakesOnlyWhenEmptyAndDetachGivesBack) {
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

    // Give both back to owners that close them.
    EXPECT_TRUE(m_pair.m_server.Attach(first));
    EXPECT_TRUE(m_pair.m_client.Attach(second));
}

TEST_F(SocketTest, CloseSendsEndOfStreamAndASecondCloseDoesNothing) {
    ASSERT_TRUE(m_pair.m_server.SendString("bye"));
    m_pair.m_server.Close();
    EXPECT_TRUE(m_pair.m_server.IsEmpty());
    m_pair.m_server.Close();
    EXPECT_TRUE(m_pair.m_server.IsEmpty());
    // What was sent before the close still arrives, followed by the end.
    EXPECT_EQ("bye", ReadUntilClosed(m_pair.m_client));
}

TEST_F(SocketTest, SendStringOfEmptyTextSucceedsAndSendsNothing) {
    EXPECT_TRUE(m_pair.m_server.SendString(""));
    EXPECT_TRUE(m_pair.m_server.SendString("x"));
    m_pair.m_server.Close();
    EXPECT_EQ("x", ReadUntilClosed(m_pair.m_client));
}

TEST_F(SocketTest, IoControlCountsWaitingBytes) {
    ASSERT_TRUE(m_pair.m_client.SendString("12345"));
    u_long waiting = 0;
    const uint64_t deadline = GetTickCount64Ms() + kTestReadTimeoutMs;
    while (waiting < 5 && GetTickCount64Ms() < deadline) {
        ASSERT_TRUE(m_pair.m_server.IoControl(FIONREAD, &waiting));
        if (waiting < 5) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(5u, waiting);
    char buffer[8];
    EXPECT_EQ(5, m_pair.m_server.Receive(buffer, 8));
    ASSERT_TRUE(m_pair.m_server.IoControl(FIONREAD, &waiting));
    EXPECT_EQ(0u, waiting);
}

TEST_F(SocketTest, ReceiveLineKeepsTheLineFeedAndStopsAtTheSize) {
    ASSERT_TRUE(m_pair.m_client.SendString("GET / HTTP/1.1\r\nrest"));
    char line[64];
    ASSERT_TRUE(m_pair.m_server.ReceiveLine(line, 8));
    EXPECT_STREQ("GET / H", line);
    ASSERT_TRUE(m_pair.m_server.ReceiveLine(line, sizeof line));
    EXPECT_STREQ("TTP/1.1\r\n", line);
    // The peer ends the stream in the middle of a line: nothing of it is kept.
    m_pair.m_client.Close();
    EXPECT_FALSE(m_pair.m_server.ReceiveLine(line, sizeof line));
    EXPECT_STREQ("", line);
}

TEST_F(SocketTest, PlainSendFileSendsWholeFilesOfEverySize) {
    for (size_t size : {0u, 1u, 8192u, 8193u, 3u * 8192u + 5u}) {
        CLoopbackPair pair;
        ASSERT_TRUE(pair.Open());
        const std::string name = "plain" + std::to_string(size);
        const std::string bytes = PatternBytes(size);
        m_dir.WriteFile(name, bytes);
        CFile file;
        ASSERT_TRUE(OpenForReading(file, name));
        // Small enough for the socket buffers, so no reader thread is needed.
        EXPECT_TRUE(pair.m_server.SendFile(file)) << size;
        pair.m_server.Close();
        EXPECT_EQ(bytes, ReadUntilClosed(pair.m_client)) << size;
    }
}

TEST_F(SocketTest, SendFileToAClosedPeerFails) {
    const std::string bytes = PatternBytes(4 * 1024 * 1024);
    m_dir.WriteFile("big", bytes);
    m_pair.m_client.Close();
    CFile file;
    ASSERT_TRUE(OpenForReading(file, "big"));
    // The first chunks may still be taken; the peer's reset makes a later one fail
    // (and must not raise a signal that ends the process).
    EXPECT_FALSE(m_pair.m_server.SendFile(file));
}

TEST_F(SocketTest, SendFileNoWaitSendsExactlyTheRangeAskedForAndReportsAShortFile) {
    const std::string bytes = PatternBytes(3 * 8192 + 100);
    m_dir.WriteFile("range", bytes);
    CFile file;
    ASSERT_TRUE(OpenForReading(file, "range"));
    ASSERT_TRUE(m_pair.m_server.SetNonBlocking());
    // However long the file, exactly the range goes: from offset 5, 8192 + 7 bytes.
    uint64_t offset = 5;
    const uint64_t end = 5 + 8192 + 7;
    while (offset < end) {
        const long long count = m_pair.m_server.SendFileNoWait(file, offset, end - offset);
        ASSERT_GE(count, 0);
        if (count == 0) {
            ASSERT_EQ(WaitResult::kReady,
                      m_pair.m_server.WaitWritable(kTestReadTimeoutMs, nullptr));
        }
        offset += static_cast<uint64_t>(count);
    }
    // A file that ends before the range does is a failure, not a short success.
    EXPECT_EQ(SOCKET_ERROR, m_pair.m_server.SendFileNoWait(file, bytes.size(), 10));
    m_pair.m_server.Close();
    EXPECT_EQ(bytes.substr(5, 8192 + 7), ReadUntilClosed(m_pair.m_client));
}

TEST_F(SocketTest, ReceiveNoWaitTakesOnlyWhatHasArrived) {
    char buffer[16];
    EXPECT_EQ(CSocket::kNothingYet, m_pair.m_server.ReceiveNoWait(buffer, sizeof buffer));
    ASSERT_TRUE(m_pair.m_client.SendString("abc"));
    ASSERT_EQ(WaitResult::kReady, m_pair.m_server.WaitReadable(kTestReadTimeoutMs, nullptr));
    ASSERT_EQ(3, m_pair.m_server.ReceiveNoWait(buffer, sizeof buffer));
    EXPECT_EQ("abc", std::string(buffer, 3));
    EXPECT_EQ(CSocket::kNothingYet, m_pair.m_server.ReceiveNoWait(buffer, sizeof buffer));
    CSocket empty;
    EXPECT_EQ(SOCKET_ERROR, empty.ReceiveNoWait(buffer, sizeof buffer));
}

TEST_F(SocketTest, WaitReadableReportsDataTimeOutAndWake) {
    CEvent wake;
    EXPECT_EQ(WaitResult::kTimeout, m_pair.m_server.WaitReadable(50, &wake));
    EXPECT_EQ(WaitResult::kTimeout, m_pair.m_server.WaitReadable(0, nullptr));

    std::thread setter([&wake] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        wake.Set();
    });
    EXPECT_EQ(WaitResult::kWoken, m_pair.m_server.WaitReadable(kTestReadTimeoutMs, &wake));
    setter.join();

    // With the event still set and data waiting, the socket wins.
    ASSERT_TRUE(m_pair.m_client.SendString("x"));
    EXPECT_EQ(WaitResult::kReady, m_pair.m_server.WaitReadable(kTestReadTimeoutMs, &wake));
    wake.Reset();
    EXPECT_EQ(WaitResult::kReady, m_pair.m_server.WaitReadable(kTestReadTimeoutMs, &wake));
}

TEST_F(SocketTest, WaitReadableReportsTheEndOfTheStreamAsReady) {
    m_pair.m_client.Close();
    EXPECT_EQ(WaitResult::kReady, m_pair.m_server.WaitReadable(kTestReadTimeoutMs, nullptr));
    char buffer[4];
    EXPECT_EQ(0, m_pair.m_server.Receive(buffer, 4));
}

TEST_F(SocketTest, WaitWritableIsReadyOnAFreshConnectionAndWokenWhenFull) {
    EXPECT_EQ(WaitResult::kReady, m_pair.m_server.WaitWritable(kTestReadTimeoutMs, nullptr));
    // Fill the buffers without blocking.
    const std::string chunk(65536, 'f');
    const uint64_t deadline = GetTickCount64Ms() + kTestReadTimeoutMs;
    while (m_pair.m_server.SendNoWait(chunk.data(), static_cast<int>(chunk.size())) > 0)
        ASSERT_LT(GetTickCount64Ms(), deadline);
    CEvent wake;
    wake.Set();
    EXPECT_EQ(WaitResult::kWoken, m_pair.m_server.WaitWritable(kTestReadTimeoutMs, &wake));
    EXPECT_EQ(WaitResult::kTimeout, m_pair.m_server.WaitWritable(50, nullptr));
}
