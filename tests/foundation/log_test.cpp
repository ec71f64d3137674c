// Log: whole messages in lock order, the two cut lengths, and the sink hand-over.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "foundation/log.h"
#include "tests/support/log_capture.h"

TEST(Log, MessagesArriveExactlyAsFormattedAndInOrder) {
    CLogCapture capture;
    Log(L"Initializing sockets...\r\n");
    Log(L"WSAStartup failed: %d\n", 10091);
    Log(L"Listening...");
    Log(L".");
    EXPECT_EQ("Initializing sockets...\r\nWSAStartup failed: 10091\nListening....", capture.Text());
}

TEST(Log, LongMessageIsCutAt4095Characters) {
    CLogCapture capture;
    const std::wstring argument(5000, L'm');
    Log(L"%s", argument.c_str());
    EXPECT_EQ(std::string(4095, 'm'), capture.Text());
}

TEST(Log, LongFormatIsCutAt4094Characters) {
    CLogCapture capture;
    const std::wstring format(5000, L'f');
    Log(format.c_str());
    EXPECT_EQ(std::string(4094, 'f'), capture.Text());
}

TEST(Log, MessagesFromManyThreadsStayWholeAndInEachThreadsOrder) {
    constexpr int kThreads = 4;
    constexpr int kMessages = 200;
    CLogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kMessages; ++i) Log(L"<%d:%d>", t, i);
        });
    for (std::thread& thread : threads) thread.join();

    const std::string text = capture.Text();
    int next[kThreads] = {};
    size_t position = 0;
    int count = 0;
    while (position < text.size()) {
        ASSERT_EQ('<', text[position]) << "a message was split at " << position;
        const size_t end = text.find('>', position);
        ASSERT_NE(std::string::npos, end);
        int thread = -1;
        int index = -1;
        ASSERT_EQ(2, sscanf(text.c_str() + position, "<%d:%d>", &thread, &index));
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, kThreads);
        EXPECT_EQ(next[thread], index) << "thread " << thread << " out of order";
        next[thread] = index + 1;
        position = end + 1;
        ++count;
    }
    EXPECT_EQ(kThreads * kMessages, count);
}

TEST(Log, SinkIsReplacedAndRestored) {
    std::string outer;
    {
        CLogCapture first;
        Log(L"one");
        {
            CLogCapture second;  // clears, and takes the messages while it lives
            Log(L"two");
            EXPECT_EQ("two", second.Text());
        }
        Log(L"three");  // back to the first capture's sink
        outer = first.Text();
    }
    EXPECT_EQ("twothree", outer);

    const LogSink previous = SetLogSink(nullptr);
    Log(L"dropped: nobody listens");  // must not crash
    EXPECT_EQ(nullptr, SetLogSink(previous));
}
