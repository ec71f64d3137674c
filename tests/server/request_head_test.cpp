// Request heads on a buffer: where a head ends, what stays for the next one, what is refused,
// and what the request line yields.
#include "server/request_head.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Feeds text in pieces of at most piece bytes; returns the complete heads taken on the way.
std::vector<std::string> FeedInPieces(CHeadBuffer& buffer, const std::string& text, size_t piece) {
    std::vector<std::string> heads;
    for (size_t at = 0; at < text.size(); at += piece) {
        const std::string part = text.substr(at, piece);
        EXPECT_EQ(buffer.Feed(part.data(), static_cast<int>(part.size())),
                  static_cast<int>(part.size()));
        for (int length = buffer.CompleteHeadLength(); length > 0;
             length = buffer.CompleteHeadLength()) {
            heads.emplace_back(buffer.TakeHead(length).get(), static_cast<size_t>(length));
        }
    }
    return heads;
}

std::string HeadOfLength(size_t total) {
    const std::string start = "GET /a.txt HTTP/1.1\r\nX-Pad: ";
    return start + std::string(total - start.size() - 4, 'p') + "\r\n\r\n";
}

}  // namespace

TEST(HeadBufferTest, PipelinedHeadsComeOutWholeAndInOrderWhateverThePieces) {
    const std::string first = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string second = "HEAD /b HTTP/1.1\r\n\r\n";
    const std::string partial = "GET /c HTTP/1.1\r\n\r";
    for (size_t piece = 1; piece <= first.size() + second.size() + partial.size(); ++piece) {
        CHeadBuffer buffer;
        const std::vector<std::string> heads =
            FeedInPieces(buffer, first + second + partial, piece);
        ASSERT_EQ(heads.size(), 2u) << "pieces of " << piece;
        EXPECT_EQ(heads[0], first);
        EXPECT_EQ(heads[1], second);
        // The unfinished third head is carried over, not lost and not completed early.
        EXPECT_EQ(buffer.Held(), static_cast<int>(partial.size()));
        EXPECT_EQ(buffer.CompleteHeadLength(), 0);
        EXPECT_FALSE(buffer.IsHopeless());
        buffer.Feed("\n", 1);
        EXPECT_EQ(buffer.CompleteHeadLength(), static_cast<int>(partial.size() + 1));
    }
}

TEST(HeadBufferTest, TakenHeadIsZeroTerminatedAndTheRestMovesUp) {
    CHeadBuffer buffer;
    const std::string text = "GET / HTTP/1.1\r\n\r\nnext";
    buffer.Feed(text.data(), static_cast<int>(text.size()));
    const int length = buffer.CompleteHeadLength();
    ASSERT_EQ(length, 18);
    std::unique_ptr<char[]> head = buffer.TakeHead(length);
    EXPECT_STREQ(head.get(), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(std::string(buffer.WritePosition() - buffer.Held(), 4), "next");
    EXPECT_EQ(buffer.Room(), CHeadBuffer::kSize - 1 - 4);
}

TEST(HeadBufferTest, EmptyLinesBeforeARequestLineAreDropped) {
    CHeadBuffer buffer;
    FeedInPieces(buffer, "\r\n\r\n\n\r", 1);
    // A blank line alone is no head: it never completes and takes no room.
    EXPECT_EQ(buffer.CompleteHeadLength(), 0);
    EXPECT_EQ(buffer.Held(), 1);  // a CR whose LF may still come
    const std::vector<std::string> heads =
        FeedInPieces(buffer, "\nGET / HTTP/1.1\r\n\r\n\r\nHEAD / HTTP/1.1\r\n\r\n", 3);
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0], "GET / HTTP/1.1\r\n\r\n");
    // The CR LF that some clients send after a request is not taken for a head of its own.
    EXPECT_EQ(heads[1], "HEAD / HTTP/1.1\r\n\r\n");
}

TEST(HeadBufferTest, HeadOf4095BytesFitsAndOneByteMoreIsHopeless) {
    CHeadBuffer fits;
    const std::string largest = HeadOfLength(4095);
    EXPECT_EQ(fits.Feed(largest.data(), static_cast<int>(largest.size())), 4095);
    EXPECT_EQ(fits.CompleteHeadLength(), 4095);
    EXPECT_FALSE(fits.IsHopeless());
    fits.TakeHead(4095);
    EXPECT_EQ(fits.Room(), 4095);

    CHeadBuffer tooLong;
    const std::string oversized = HeadOfLength(4096);
    // The buffer takes what fits; the blank line is then one byte out of reach.
    EXPECT_EQ(tooLong.Feed(oversized.data(), static_cast<int>(oversized.size())), 4095);
    EXPECT_EQ(tooLong.Room(), 0);
    EXPECT_EQ(tooLong.CompleteHeadLength(), 0);
    EXPECT_TRUE(tooLong.IsHopeless());
}

TEST(HeadBufferTest, ZeroBytes) {
    CHeadBuffer leading;
    const std::string zeroFirst("\r\n\0GET / HTTP/1.1\r\n\r\n", 21);
    leading.Feed(zeroFirst.data(), static_cast<int>(zeroFirst.size()));
    EXPECT_TRUE(leading.IsHopeless());

    // Inside a head a zero byte neither ends it nor hides its blank line.
    CHeadBuffer inside;
    const std::string zeroInside("GET /a\0b HTTP/1.1\r\n\r\n", 21);
    inside.Feed(zeroInside.data(), static_cast<int>(zeroInside.size()));
    EXPECT_FALSE(inside.IsHopeless());
    EXPECT_EQ(inside.CompleteHeadLength(), 21);
}

TEST(RequestLineTest, MethodsAreExactAndCaseSensitive) {
    struct {
        const char* m_pszHead;
        RequestMethod m_method;
    } const cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", RequestMethod::kGet},
        {"HEAD / HTTP/1.1\r\n\r\n", RequestMethod::kHead},
        {"get / HTTP/1.1\r\n\r\n", RequestMethod::kOther},
        {"Head / HTTP/1.1\r\n\r\n", RequestMethod::kOther},
        {"POST / HTTP/1.1\r\n\r\n", RequestMethod::kOther},
        {"GETX / HTTP/1.1\r\n\r\n", RequestMethod::kOther},
        {"HEADER / HTTP/1.1\r\n\r\n", RequestMethod::kOther},
        {" GET / HTTP/1.1\r\n\r\n", RequestMethod::kOther},
        {"GET", RequestMethod::kOther},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseRequestLine(c.m_pszHead, strlen(c.m_pszHead)).m_method, c.m_method)
            << c.m_pszHead;
    }
}

TEST(RequestLineTest, TargetEndsAtSpaceLineEndOrEndOfHead) {
    struct {
        std::string m_head;
        std::string m_target;
    } const cases[] = {
        {"GET /a/b.txt HTTP/1.1\r\n\r\n", "/a/b.txt"},
        {"HEAD /x?q=1 HTTP/1.0\r\n\r\n", "/x?q=1"},
        {"GET /a b.html HTTP/1.1\r\n\r\n", "/a"},
        {"GET /noversion\r\n\r\n", "/noversion"},
        {"GET /lf\n\n", "/lf"},
        {"GET ", ""},
        {"GET  /twospaces HTTP/1.1\r\n\r\n", ""},
        {std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21), std::string("/a\0b", 4)},
    };
    for (const auto& c : cases) {
        const CRequestLine line = ParseRequestLine(c.m_head.data(), c.m_head.size());
        EXPECT_EQ(std::string(line.m_pTarget, line.m_nTargetLength), c.m_target) << c.m_head;
    }
}

TEST(RequestLineTest, ClientsThatExpectTheEndAfterTheAnswerAreRecognised) {
    const auto asks = [](const std::string& head) {
        return AsksToCloseAfterAnswer(head.data(), head.size());
    };
    EXPECT_TRUE(asks("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(asks("GET / HTTP/1.0\r\nHost: x\r\nUser-Agent: t\r\n\r\n"));
    EXPECT_TRUE(asks("GET / HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_TRUE(asks("GET / HTTP/1.1\r\nhost: x\r\nCONNECTION:Keep-Alive, Close \r\n\r\n"));
    EXPECT_TRUE(asks("HEAD / HTTP/1.1\nConnection: close\n\n"));

    EXPECT_FALSE(asks("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(asks("GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
    EXPECT_FALSE(asks("GET / HTTP/1.1\r\nConnection: closed\r\n\r\n"));
    EXPECT_FALSE(asks("GET / HTTP/1.1\r\nX-Connection: close\r\n\r\n"));
    EXPECT_FALSE(asks("GET / HTTP/1.1\r\nX: Connection: close\r\n\r\n"));
    // Only the request line's version counts, not the same text elsewhere.
    EXPECT_FALSE(asks("GET /HTTP/1.0 HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(asks("GET /a HTTP/1.1\r\nVia: HTTP/1.0\r\n\r\n"));
    EXPECT_FALSE(asks("GET /\r\n\r\n"));
    EXPECT_FALSE(asks(""));
}

TEST(RequestLineTest, BodyLengthComesFromTheHeadOrIsUnknown) {
    const auto length = [](const std::string& head) {
        return RequestBodyLength(head.data(), head.size());
    };
    EXPECT_EQ(length("GET / HTTP/1.1\r\n\r\n"), 0);
    EXPECT_EQ(length("POST /f HTTP/1.1\r\nContent-Length: 5\r\n\r\n"), 5);
    EXPECT_EQ(length("POST /f HTTP/1.1\r\nhost: x\r\ncontent-length:12 \r\n\r\n"), 12);
    EXPECT_EQ(length("POST /f HTTP/1.1\r\nContent-Length: 7\r\nContent-Length: 7\r\n\r\n"), 7);
    EXPECT_EQ(length("POST /f HTTP/1.1\r\nX-Content-Length: 9\r\n\r\n"), 0);

    EXPECT_EQ(length("POST /f HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"), kUnknownBodyLength);
    EXPECT_EQ(length("POST /f HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"),
              kUnknownBodyLength);
    for (const char* value : {"", "-1", "+5", "5 5", "0x10", "99999999999999999999"}) {
        EXPECT_EQ(length(std::string("POST /f HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\n"),
                  kUnknownBodyLength)
            << value;
    }
}

TEST(HeadBufferTest, DiscardDropsABodyFromTheFrontAndKeepsWhatFollows) {
    CHeadBuffer buffer;
    const std::string bytes = "helloGET / HTTP/1.1\r\n\r\n";
    ASSERT_EQ(buffer.Feed(bytes.data(), static_cast<int>(bytes.size())),
              static_cast<int>(bytes.size()));
    EXPECT_EQ(buffer.Discard(5), 5);
    const int length = buffer.CompleteHeadLength();
    ASSERT_EQ(length, static_cast<int>(bytes.size()) - 5);
    EXPECT_STREQ(buffer.TakeHead(length).get(), "GET / HTTP/1.1\r\n\r\n");
    // More than is held: only what is held goes, and the rest is the caller's to read.
    ASSERT_EQ(buffer.Feed("abc", 3), 3);
    EXPECT_EQ(buffer.Discard(10), 3);
    EXPECT_EQ(buffer.Held(), 0);
    EXPECT_EQ(buffer.Discard(-4), 0);
}
