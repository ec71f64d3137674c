// The request log: the line on buffers, and the rings and writer between workers and sink.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "foundation/clock.h"
#include "foundation/critical_section.h"
#include "server/request_log.h"
#include "tests/support/wait.h"

namespace {

struct CLineCase {
    const char* m_pszClient;
    std::string m_requestLine;
    int m_nStatus;
    uint64_t m_nBytes;
    CLocalTime m_time;
    const char* m_pszExpected;
    const char* m_pszUser = nullptr;
};

TEST(RequestLogLine, CommonLogFormatWithTheRequestLineEscaped) {
    const CLocalTime cet = {2026, 12, 9, 14, 3, 7, 60};
    const CLineCase cases[] = {
        {"127.0.0.1", "GET /Music/song.flac HTTP/1.1", 206, 1048576, cet,
         "127.0.0.1 - - [09/Dec/2026:14:03:07 +0100] \"GET /Music/song.flac HTTP/1.1\" 206 "
         "1048576\n"},
        // No body bytes are written as the format has it; the offset may be negative and
        // have minutes.
        {"::1",
         "HEAD / HTTP/1.1",
         200,
         0,
         {2027, 1, 2, 3, 4, 5, -210},
         "::1 - - [02/Jan/2027:03:04:05 -0330] \"HEAD / HTTP/1.1\" 200 -\n"},
        {"fe80::1:2",
         "GET /a.css HTTP/1.1",
         304,
         0,
         {1999, 7, 31, 23, 59, 59, 0},
         "fe80::1:2 - - [31/Jul/1999:23:59:59 +0000] \"GET /a.css HTTP/1.1\" 304 -\n"},
        // Controls, quotes and backslashes cannot end or forge a line; UTF-8 stays as sent.
        {"10.0.0.7", "GET /a\"b\\c\x01\x1b[2J\x7f HTTP/1.1", 404, 153, cet,
         "10.0.0.7 - - [09/Dec/2026:14:03:07 +0100] \"GET /a\\\"b\\\\c\\x01\\x1B[2J\\x7F "
         "HTTP/1.1\" 404 153\n"},
        {"10.0.0.7", std::string("GET /\xc3\xa9t\xc3\xa9\r\nX: 1 HTTP/1.0\0", 26), 400, 0, cet,
         "10.0.0.7 - - [09/Dec/2026:14:03:07 +0100] \"GET /\xc3\xa9t\xc3\xa9\\x0D\\x0AX: 1 "
         "HTTP/1.0\\x00\" 400 -\n"},
        {nullptr, "", 400, 0, cet, "- - - [09/Dec/2026:14:03:07 +0100] \"\" 400 -\n"},
        // The user, escaped like the request line and its spaces too: it is not quoted.
        {"10.0.0.7", "GET / HTTP/1.1", 200, 5, cet,
         "10.0.0.7 - j\xc3\xbcrgen\\x20\\\"x\\x0A [09/Dec/2026:14:03:07 +0100] \"GET / HTTP/1.1\" "
         "200 5\n",
         "j\xc3\xbcrgen \"x\n"},
        {"10.0.0.7", "GET / HTTP/1.1", 401, 0, cet,
         "10.0.0.7 - - [09/Dec/2026:14:03:07 +0100] \"GET / HTTP/1.1\" 401 -\n", ""},
    };
    for (const CLineCase& c : cases) {
        char time[kLogTimeLength];
        FormatLogTime(c.m_time, time);
        const CRequestRecord record = {c.m_pszClient,
                                       c.m_requestLine.data(),
                                       c.m_requestLine.size(),
                                       c.m_nStatus,
                                       c.m_nBytes,
                                       0,
                                       c.m_pszUser};
        char line[kMaxRequestLogLine];
        const size_t length = FormatRequestLogLine(record, time, line, sizeof(line));
        EXPECT_EQ(std::string(line, length), c.m_pszExpected);
    }
}

TEST(RequestLogLine, ALongRequestLineIsCutToTheRoomAndKeepsTheLineWhole) {
    const std::string target(4000, '\x01');  // each byte takes four
    const CRequestRecord record = {"127.0.0.1", target.data(), target.size(), 400, 0, 0};
    char time[kLogTimeLength];
    FormatLogTime({2026, 12, 9, 14, 3, 7, 60}, time);
    std::vector<char> small(500);
    const size_t length = FormatRequestLogLine(record, time, small.data(), small.size());
    ASSERT_LE(length, small.size());
    const std::string line(small.data(), length);
    const std::string front = "127.0.0.1 - - [09/Dec/2026:14:03:07 +0100] \"";
    ASSERT_GT(line.size(), front.size() + 8);
    EXPECT_EQ(line.substr(0, front.size()), front);
    EXPECT_EQ(line.substr(line.size() - 12), "\\x01\" 400 -\n");
    std::vector<char> whole(kMaxRequestLogLine);
    EXPECT_EQ(FormatRequestLogLine(record, time, whole.data(), whole.size()),
              front.size() + 16000 + 8);
}

// What the sink of the writer tests was given, and whether it holds up its caller.
CCriticalSection g_sinkLock;
std::string g_sunk;
std::atomic<bool> g_bSinkStalled(false);
std::atomic<int> g_nBatches(0);
std::atomic<int> g_nSinkCalls(0);

bool TestSink(const char* pLines, size_t length, const CEvent& stop) {
    g_nSinkCalls.fetch_add(1);
    while (g_bSinkStalled.load() && !stop.IsSet()) SleepMs(1);
    CCriticalLock lock(&g_sinkLock);
    g_sunk.append(pLines, length);
    g_nBatches.fetch_add(1);
    return true;
}

std::string Sunk() {
    CCriticalLock lock(&g_sinkLock);
    return g_sunk;
}

size_t SunkLength() {
    CCriticalLock lock(&g_sinkLock);
    return g_sunk.size();
}

// Whether the sink was given text since it had been given from bytes.
bool SunkHolds(const std::string& text, size_t from) {
    CCriticalLock lock(&g_sinkLock);
    return g_sunk.find(text, from) != std::string::npos;
}

// How long a test waits for the writer: far past its 100 ms round on the slowest machine.
constexpr uint32_t kGenerousMs = 30000;

// A record whose request line is "GET /<worker>/<index> HTTP/1.1".
struct CNumberedRequest {
    CNumberedRequest(int worker, int index)
        : m_line("GET /" + std::to_string(worker) + "/" + std::to_string(index) + " HTTP/1.1") {}
    CRequestRecord Record() const {
        return CRequestRecord{"127.0.0.1", m_line.data(), m_line.size(),
                              200,         1024,          GetTickCount64Ms()};
    }
    std::string m_line;
};

class RequestLogWriter : public testing::Test {
protected:
    void SetUp() override {
        g_sunk.clear();
        g_bSinkStalled = false;
        g_nBatches = 0;
        g_nSinkCalls = 0;
        SetRequestLogSink(TestSink);
    }
    void TearDown() override {
        g_bSinkStalled = false;
        SetRequestLogSink(nullptr);
    }
};

TEST_F(RequestLogWriter, EachWorkersLinesArriveWholeAndInOrder) {
    CRequestLogWriter writer(2);
    ASSERT_TRUE(writer.Start());
    // Many times what a ring holds, added in rounds that pass the point where the writer is
    // woken early and fit in a ring: a worker starts a round once its last round is out, so
    // no line can be dropped however slowly the writer runs.
    constexpr int kLines = 20000;
    constexpr int kRound = 2000;
    // A line here is 72 to 76 bytes.
    static_assert(kRound * 76 < CRequestLogRing::kCapacity, "a round fits in a ring");
    static_assert(kRound * 72 > CRequestLogRing::kDrainAt, "a round wakes the writer early");
    std::atomic<int> failedRounds(0);
    std::vector<std::thread> workers;
    for (int worker = 0; worker < 2; ++worker) {
        workers.emplace_back([&writer, &failedRounds, worker] {
            for (int first = 0; first < kLines; first += kRound) {
                const size_t from = SunkLength();
                for (int i = first; i < first + kRound; ++i) {
                    writer.GetRing(worker)->Add(CNumberedRequest(worker, i).Record());
                }
                const std::string last =
                    "\"" + CNumberedRequest(worker, first + kRound - 1).m_line + "\"";
                if (!WaitUntil([&] { return SunkHolds(last, from); }, kGenerousMs)) {
                    ++failedRounds;
                    return;
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    writer.Stop();
    EXPECT_EQ(failedRounds.load(), 0) << "a round's last line did not reach the sink";
    const std::string text = Sunk();
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    for (int worker = 0; worker < 2; ++worker) {
        size_t at = 0;
        for (int i = 0; i < kLines; ++i) {
            const size_t found = text.find("\"" + CNumberedRequest(worker, i).m_line + "\"", at);
            ASSERT_NE(found, std::string::npos) << "worker " << worker << " line " << i;
            at = found;
        }
    }
}

TEST_F(RequestLogWriter, AStalledSinkCostsTheWorkerNothingAndTheDropsAreToldAfter) {
    CRequestLogWriter writer(1);
    ASSERT_TRUE(writer.Start());
    CRequestLogRing* pRing = writer.GetRing(0);
    pRing->Add(CNumberedRequest(0, 0).Record());
    ASSERT_TRUE(WaitUntil([] { return g_nBatches.load() == 1; }, kGenerousMs));

    // The writer is held in the sink; the worker goes on and its ring fills.
    g_bSinkStalled = true;
    pRing->Add(CNumberedRequest(0, 1).Record());
    ASSERT_TRUE(WaitUntil([] { return g_nSinkCalls.load() == 2; }, kGenerousMs));
    constexpr int kAdded = 100000;  // far more than the ring holds
    std::atomic<bool> bAdded(false);
    std::thread adder([pRing, &bAdded] {
        for (int i = 2; i < kAdded; ++i) pRing->Add(CNumberedRequest(0, i).Record());
        bAdded = true;
    });
    // Adding that waited for the sink would never end while it stalls: it is released
    // after a generous wait, so that such a fault fails here rather than hangs.
    EXPECT_TRUE(WaitUntil([&bAdded] { return bAdded.load(); }, kGenerousMs))
        << "adding waited for the sink";
    g_bSinkStalled = false;
    adder.join();
    ASSERT_TRUE(WaitUntil([] { return g_nBatches.load() >= 3; }, kGenerousMs));
    pRing->Add(CNumberedRequest(0, kAdded).Record());
    writer.Stop();

    const std::string text = Sunk();
    size_t lines = 0;
    for (char ch : text) lines += ch == '\n';
    const size_t told = text.find("request lines dropped: the log could not keep up)\n");
    ASSERT_NE(told, std::string::npos) << text.substr(0, 300);
    const size_t toldAt = text.rfind('\n', told) + 1;
    ASSERT_EQ(text[toldAt], '(');
    const uint64_t dropped = std::stoull(text.substr(toldAt + 1));
    EXPECT_GT(dropped, 0u);
    // Every line added arrived or was counted, and nothing else came: one line tells.
    EXPECT_EQ(lines - 1 + dropped, static_cast<size_t>(kAdded) + 1);
    EXPECT_NE(text.find(CNumberedRequest(0, kAdded).m_line), std::string::npos)
        << "lines added after the ring had room again were dropped";
}

}  // namespace
