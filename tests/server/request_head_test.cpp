// Request heads on a buffer: where a head ends, what stays for the next one, what is refused,
// and what the request line yields.
#include "server/request_head.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/hostile_wire.h"

namespace {

// Takes the complete head of length bytes off the front of buffer.
std::string TakeHead(CHeadBuffer& buffer, int length) {
    std::string head(buffer.Data(), static_cast<size_t>(length));
    EXPECT_EQ(buffer.Discard(length), length);
    return head;
}

// Feeds text in pieces of at most piece bytes; returns the complete heads taken on the way.
std::vector<std::string> FeedInPieces(CHeadBuffer& buffer, const std::string& text, size_t piece) {
    std::vector<std::string> heads;
    for (size_t at = 0; at < text.size(); at += piece) {
        const std::string part = text.substr(at, piece);
        EXPECT_EQ(buffer.Feed(part.data(), static_cast<int>(part.size())),
                  static_cast<int>(part.size()));
        for (int length = buffer.CompleteHeadLength(); length > 0;
             length = buffer.CompleteHeadLength()) {
            heads.push_back(TakeHead(buffer, length));
        }
    }
    return heads;
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

TEST(HeadBufferTest, ATakenHeadLeavesTheRestAtTheFrontZeroTerminated) {
    CHeadBuffer buffer;
    const std::string text = "GET / HTTP/1.1\r\n\r\nnext";
    buffer.Feed(text.data(), static_cast<int>(text.size()));
    const int length = buffer.CompleteHeadLength();
    ASSERT_EQ(length, 18);
    EXPECT_EQ(TakeHead(buffer, length), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_STREQ(buffer.Data(), "next");
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
    const std::string largest = RequestHeadOfLength("/a.txt", 4095);
    EXPECT_EQ(fits.Feed(largest.data(), static_cast<int>(largest.size())), 4095);
    EXPECT_EQ(fits.CompleteHeadLength(), 4095);
    EXPECT_FALSE(fits.IsHopeless());
    TakeHead(fits, 4095);
    EXPECT_EQ(fits.Room(), 4095);

    CHeadBuffer tooLong;
    const std::string oversized = RequestHeadOfLength("/a.txt", 4096);
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

namespace {

const RequestProblem kBad = RequestProblem::kBadRequest;
const RequestProblem kVersion = RequestProblem::kVersionNotSupported;
const RequestProblem kFine = RequestProblem::kNone;

}  // namespace

TEST(RequestTest, RequestLinesGoodAndBad) {
    struct {
        std::string m_head;
        RequestProblem m_problem;
        RequestMethod m_method;
        std::string m_target;
        int m_nMinor;
    } const cases[] = {
        {"GET /a/b.txt HTTP/1.1\r\n\r\n", kFine, RequestMethod::kGet, "/a/b.txt", 1},
        {"HEAD /x?q=1 HTTP/1.0\r\n\r\n", kFine, RequestMethod::kHead, "/x?q=1", 0},
        {"GET /lf HTTP/1.1\n\n", kFine, RequestMethod::kGet, "/lf", 1},
        {"GET /later HTTP/1.9\r\n\r\n", kFine, RequestMethod::kGet, "/later", 9},
        {std::string("GET /a\0b HTTP/1.1\r\n\r\n", 21), kFine, RequestMethod::kGet,
         std::string("/a\0b", 4), 1},
        // Methods are case-sensitive; the known ones that files do not offer differ from
        // the unknown.
        {"get / HTTP/1.1\r\n\r\n", kFine, RequestMethod::kUnknown, "/", 1},
        {"HEADER / HTTP/1.1\r\n\r\n", kFine, RequestMethod::kUnknown, "/", 1},
        {"POST / HTTP/1.1\r\n\r\n", kFine, RequestMethod::kPost, "/", 1},
        {"OPTIONS * HTTP/1.1\r\n\r\n", kFine, RequestMethod::kNotAllowed, "*", 1},
        {"CONNECT h:443 HTTP/1.1\r\n\r\n", kFine, RequestMethod::kNotAllowed, "h:443", 1},
        // An absolute-form target is served as its path.
        {"GET http://host:8080/a.txt?q HTTP/1.1\r\n\r\n", kFine, RequestMethod::kGet, "/a.txt?q",
         1},
        {"GET HTTPS://host HTTP/1.1\r\n\r\n", kFine, RequestMethod::kGet, "/", 1},
        {"GET http://host?q HTTP/1.1\r\n\r\n", kFine, RequestMethod::kGet, "/", 1},
        {"GET http:/x HTTP/1.1\r\n\r\n", kFine, RequestMethod::kGet, "http:/x", 1},
        // Other major versions are refused apart from lines that are not request lines.
        {"GET / HTTP/2.7\r\n\r\n", kVersion, RequestMethod::kGet, "/", 7},
        {"GET / HTTP/0.9\r\n\r\n", kVersion, RequestMethod::kGet, "/", 9},
        {"GET /noversion\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"GET /a b.html HTTP/1.1\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"GET  /twospaces HTTP/1.1\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"GET / HTTP/1.1 \r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"GET / http/1.1\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"GET / HTTP/11\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {" GET / HTTP/1.1\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"HELLO THERE\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"G(T / HTTP/1.1\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"GET /a\rb HTTP/1.1\r\n\r\n", kBad, RequestMethod::kUnknown, "", 0},
        {"", kBad, RequestMethod::kUnknown, "", 0},
    };
    for (const auto& c : cases) {
        const CRequest request = ParseRequest(c.m_head.data(), c.m_head.size());
        EXPECT_EQ(request.m_problem, c.m_problem) << c.m_head;
        if (c.m_problem == kBad) continue;
        EXPECT_EQ(request.m_method, c.m_method) << c.m_head;
        EXPECT_EQ(std::string(request.m_pTarget, request.m_nTarget), c.m_target) << c.m_head;
        EXPECT_EQ(request.m_nMinorVersion, c.m_nMinor) << c.m_head;
        EXPECT_EQ(std::string(request.m_pLine, request.m_nLine),
                  c.m_head.substr(0, c.m_head.find_first_of("\r\n")));
    }
}

TEST(RequestTest, HeaderFieldsTheServerUses) {
    // The fields of a head, read as a value per field (the first line's) with its count.
    const auto fields = [](const CRequest& r) {
        const auto value = [](const CHeaderValue& v) {
            return v.m_nLines == 0 ? std::string("-")
                                   : std::string(v.m_p, v.m_n) + "#" + std::to_string(v.m_nLines);
        };
        return "host=" + value(r.m_host) + " range=" + value(r.m_file.m_range) +
               " if-range=" + value(r.m_file.m_ifRange) + " inm=" + value(r.m_file.m_ifNoneMatch) +
               " ims=" + value(r.m_file.m_ifModifiedSince) +
               " body=" + std::to_string(r.m_nBodyLength) +
               " persist=" + (r.WantsPersistence() ? "yes" : "no");
    };
    struct {
        std::string m_fields;
        std::string m_version;
        std::string m_expected;  // empty: the head is refused as a bad request
    } const cases[] = {
        {"", "1.1", "host=- range=- if-range=- inm=- ims=- body=0 persist=yes"},
        {"Host: a\r\nRANGE:bytes=1-2 \r\nIf-Range: \"t\"\r\nIf-None-Match: \"x\", \"y\"\r\n"
         "if-modified-since: \tTue, 08 Dec 2026 17:16:03 GMT\r\n",
         "1.1",
         "host=a#1 range=bytes=1-2#1 if-range=\"t\"#1 inm=\"x\", \"y\"#1 ims=Tue, 08 Dec 2026 "
         "17:16:03 GMT#1 body=0 persist=yes"},
        // A repeated field keeps its first value and counts its lines.
        {"Range: bytes=1-2\r\nRange: bytes=3-4\r\nHost: a\r\nHost: b\r\n", "1.1",
         "host=a#2 range=bytes=1-2#2 if-range=- inm=- ims=- body=0 persist=yes"},
        {"X-Range: bytes=1-2\r\nHostname: a\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=0 persist=yes"},
        {"Content-Length: 5\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=5 persist=yes"},
        {"content-length:12 \r\nContent-Length: 12\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=12 persist=yes"},
        {"Content-Length: 0\r\nContent-Length: 6\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=-1 persist=yes"},
        {"Content-Length: 0x10\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=-1 persist=yes"},
        {"Content-Length: 99999999999999999999\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=-1 persist=yes"},
        {"Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=-1 persist=yes"},
        // Persistence: HTTP/1.1 unless close, HTTP/1.0 only with keep-alive.
        {"Connection: keep-alive, Close \r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=0 persist=no"},
        {"Connection: closed\r\nX-Connection: close\r\n", "1.1",
         "host=- range=- if-range=- inm=- ims=- body=0 persist=yes"},
        {"", "1.0", "host=- range=- if-range=- inm=- ims=- body=0 persist=no"},
        {"Connection: Keep-Alive\r\n", "1.0",
         "host=- range=- if-range=- inm=- ims=- body=0 persist=yes"},
        // Lines another reader could take differently are refused.
        {"Host: a\r\n folded\r\n", "1.1", ""},
        {"Host : a\r\n", "1.1", ""},
        {"NoColon\r\n", "1.1", ""},
        {": empty name\r\n", "1.1", ""},
        {"Host: a\rb\r\n", "1.1", ""},
    };
    for (const auto& c : cases) {
        const std::string head = "GET / HTTP/" + c.m_version + "\r\n" + c.m_fields + "\r\n";
        const CRequest request = ParseRequest(head.data(), head.size());
        if (c.m_expected.empty()) {
            EXPECT_EQ(request.m_problem, kBad) << head;
        } else {
            EXPECT_EQ(request.m_problem, kFine) << head;
            EXPECT_EQ(fields(request), c.m_expected) << head;
        }
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
    EXPECT_EQ(TakeHead(buffer, length), "GET / HTTP/1.1\r\n\r\n");
    // More than is held: only what is held goes, and the rest is the caller's to read.
    ASSERT_EQ(buffer.Feed("abc", 3), 3);
    EXPECT_EQ(buffer.Discard(10), 3);
    EXPECT_EQ(buffer.Held(), 0);
    EXPECT_EQ(buffer.Discard(-4), 0);
}
