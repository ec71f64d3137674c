// Ranges, validators and dates on buffers, and the heads built from them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/clock.h"
#include "server/file_answer.h"
#include "server/http_date.h"
#include "server/response_head.h"

namespace {

constexpr uint64_t kFourGiB = uint64_t{1} << 32;
// 2026-12-08 17:16:03.5 UTC in 100 ns units since 1601.
constexpr uint64_t kWritten = 134412237635000000ull;
const char kWrittenDate[] = "Tue, 08 Dec 2026 17:16:03 GMT";

// A head with the given header lines.
CFileRequestHeaders HeadersOf(const std::string& lines, std::string* pHead) {
    *pHead = "GET /f HTTP/1.1\r\n" + lines + "\r\n";
    return ParseRequest(pHead->data(), pHead->size()).m_file;
}

}  // namespace

TEST(ByteRangeTest, OneRangeInEachFormIsCutToTheFileAndAnythingElseIsIgnored) {
    struct {
        const char* m_pszValue;
        uint64_t m_nSize;
        RangeResult m_result;
        uint64_t m_nFirst;
        uint64_t m_nEnd;
    } const cases[] = {
        {"bytes=0-0", 100, RangeResult::kSatisfiable, 0, 1},
        {"bytes=10-19", 100, RangeResult::kSatisfiable, 10, 20},
        {"BYTES= 90-", 100, RangeResult::kSatisfiable, 90, 100},
        {"bytes=95-1000", 100, RangeResult::kSatisfiable, 95, 100},
        {"bytes=-10", 100, RangeResult::kSatisfiable, 90, 100},
        {"bytes=-1000", 100, RangeResult::kSatisfiable, 0, 100},
        {"bytes=99999999999999999999999-", 100, RangeResult::kUnsatisfiable, 0, 0},
        {"bytes=0-99999999999999999999999", 100, RangeResult::kSatisfiable, 0, 100},
        {"bytes=100-", 100, RangeResult::kUnsatisfiable, 0, 0},
        {"bytes=-0", 100, RangeResult::kUnsatisfiable, 0, 0},
        {"bytes=-5", 0, RangeResult::kUnsatisfiable, 0, 0},
        {"bytes=0-", 0, RangeResult::kUnsatisfiable, 0, 0},
        // Past 4 GiB a position no longer fits 32 bits.
        {"bytes=4294967296-4294967300", kFourGiB + 7, RangeResult::kSatisfiable, kFourGiB,
         kFourGiB + 5},
        {"bytes=-3", kFourGiB + 7, RangeResult::kSatisfiable, kFourGiB + 4, kFourGiB + 7},
        {"bytes=0-1,5-6", 100, RangeResult::kNone, 0, 0},
        {"bytes=5-4", 100, RangeResult::kNone, 0, 0},
        {"bytes=-", 100, RangeResult::kNone, 0, 0},
        {"bytes=1", 100, RangeResult::kNone, 0, 0},
        {"bytes=a-b", 100, RangeResult::kNone, 0, 0},
        {"items=0-1", 100, RangeResult::kNone, 0, 0},
        {"bytes=1-2 x", 100, RangeResult::kNone, 0, 0},
    };
    for (const auto& c : cases) {
        uint64_t first = 0;
        uint64_t end = 0;
        const RangeResult result =
            ParseByteRange(c.m_pszValue, std::strlen(c.m_pszValue), c.m_nSize, &first, &end);
        EXPECT_EQ(result, c.m_result) << c.m_pszValue;
        if (result != RangeResult::kSatisfiable) continue;
        EXPECT_EQ(first, c.m_nFirst) << c.m_pszValue;
        EXPECT_EQ(end, c.m_nEnd) << c.m_pszValue;
    }
}

TEST(HttpDateTest, FormatsAndReadsTheThreeForms) {
    char text[kHttpDateLength + 1] = {0};
    FormatHttpDate(784111777, text);
    EXPECT_STREQ(text, "Sun, 06 Nov 1994 08:49:37 GMT");
    FormatHttpDate(951782400, text);  // a leap day of a year divisible by 400
    EXPECT_STREQ(text, "Tue, 29 Feb 2000 00:00:00 GMT");
    FormatHttpDate(-1, text);
    EXPECT_STREQ(text, "Wed, 31 Dec 1969 23:59:59 GMT");
    for (const char* pszDate : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                                "Sun Nov  6 08:49:37 1994"}) {
        int64_t seconds = 0;
        EXPECT_TRUE(ParseHttpDate(pszDate, std::strlen(pszDate), &seconds)) << pszDate;
        EXPECT_EQ(seconds, 784111777) << pszDate;
    }
    for (const char* pszDate : {"", "Sun, 31 Nov 1994 08:49:37 GMT",
                                "Sun, 06 Nov 1994 24:00:00 GMT", "Sun, 06 Nov 1994 08:49:37 UTC",
                                "Sun, 6 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 1994 08:49:37 GMT "}) {
        int64_t seconds = 0;
        EXPECT_FALSE(ParseHttpDate(pszDate, std::strlen(pszDate), &seconds)) << pszDate;
    }
    EXPECT_EQ(UnixSecondsFromFileTime(kWritten), 1796750163);
}

TEST(HttpDateTest, NowIsFormattedAgainOnlyWhenTheSecondMayHaveChanged) {
    const uint64_t now = GetTickCount64Ms();
    const std::string first = CurrentHttpDate(now);
    int64_t seconds = 0;
    ASSERT_TRUE(ParseHttpDate(first.data(), first.size(), &seconds)) << first;
    EXPECT_LE(static_cast<uint64_t>(seconds) * 1000, GetSystemTimeMs());
    SleepMs(1100);
    // Told the same moment, the date is not read again; told a later one, it is.
    EXPECT_EQ(CurrentHttpDate(now), first);
    EXPECT_NE(CurrentHttpDate(GetTickCount64Ms()), first);
}

TEST(FileAnswerTest, ValidatorsDecideBetweenNotModifiedAPartAndTheWholeFile) {
    const CFileVersion version{100, kWritten};
    const CValidators validators = ValidatorsOf(version);
    const std::string etag = validators.m_szEtag;
    EXPECT_EQ(etag, "\"64-" + std::string("1dd8737cdb316c0") + "\"");
    EXPECT_STREQ(validators.m_szLastModified, kWrittenDate);
    const std::string date = kWrittenDate;
    struct {
        std::string m_lines;
        FileAnswerKind m_kind;
        uint64_t m_nFirst;
    } const cases[] = {
        {"", FileAnswerKind::kWhole, 0},
        {"If-None-Match: \"x\", W/" + etag + "\r\n", FileAnswerKind::kNotModified, 0},
        {"If-None-Match: *\r\n", FileAnswerKind::kNotModified, 0},
        {"If-Modified-Since: " + date + "\r\n", FileAnswerKind::kNotModified, 0},
        {"If-Modified-Since: Tue, 08 Dec 2026 17:16:02 GMT\r\n", FileAnswerKind::kWhole, 0},
        // With If-None-Match the date is not looked at.
        {"If-None-Match: \"x\"\r\nIf-Modified-Since: " + date + "\r\n", FileAnswerKind::kWhole, 0},
        {"Range: bytes=10-\r\n", FileAnswerKind::kPart, 10},
        {"Range: bytes=100-\r\n", FileAnswerKind::kUnsatisfiable, 0},
        {"Range: bytes=1-2\r\nRange: bytes=3-4\r\n", FileAnswerKind::kWhole, 0},
        {"Range: bytes=10-\r\nIf-Range: " + etag + "\r\n", FileAnswerKind::kPart, 10},
        {"Range: bytes=10-\r\nIf-Range: " + date + "\r\n", FileAnswerKind::kPart, 10},
        // An If-Range of another version, or a weak tag, wants the whole file.
        {"Range: bytes=10-\r\nIf-Range: \"64-1\"\r\n", FileAnswerKind::kWhole, 0},
        {"Range: bytes=10-\r\nIf-Range: W/" + etag + "\r\n", FileAnswerKind::kWhole, 0},
        {"Range: bytes=10-\r\nIf-Range: Tue, 08 Dec 2026 17:16:04 GMT\r\n", FileAnswerKind::kWhole,
         0},
    };
    for (const auto& c : cases) {
        std::string head;
        const CFileAnswer answer =
            ChooseFileAnswer(HeadersOf(c.m_lines, &head), version, validators);
        EXPECT_EQ(answer.m_kind, c.m_kind) << c.m_lines;
        EXPECT_EQ(answer.m_nFirst, c.m_nFirst) << c.m_lines;
    }
}

TEST(ResponseHeadTest, FileHeadsCarryLengthTypeRangeValidatorsDateAndConnectionInOrder) {
    const CFileVersion version{kFourGiB + 7, kWritten};
    const CValidators validators = ValidatorsOf(version);
    const char kDate[] = "Wed, 09 Dec 2026 10:00:00 GMT";
    const std::string tail = std::string("last-modified: ") + kWrittenDate +
                             "\r\netag: " + validators.m_szEtag + "\r\ndate: " + kDate + "\r\n";
    CReply base;
    base.m_pszDate = kDate;
    const auto head = [&](const CFileAnswer& answer, const char* pszType, bool bHead) {
        std::string out;
        AppendReplyHead(&out, FileReply(base, answer, version, validators, pszType, bHead));
        return out;
    };
    EXPECT_EQ(head({FileAnswerKind::kPart, kFourGiB, kFourGiB + 7}, "video/mp4", false),
              "HTTP/1.1 206 Partial Content\r\ncontent-length: 7\r\ncontent-type: "
              "video/mp4\r\ncontent-range: bytes 4294967296-4294967302/4294967303\r\n"
              "accept-ranges: bytes\r\n" +
                  tail + "\r\n");
    const std::string whole =
        "content-length: 4294967303\r\naccept-ranges: bytes\r\n" + tail + "\r\n";
    EXPECT_EQ(head({FileAnswerKind::kWhole, 0, kFourGiB + 7}, nullptr, false),
              "HTTP/1.1 200 Sending file\r\n" + whole);
    // A HEAD says what the GET would, under its own reason phrase.
    EXPECT_EQ(head({FileAnswerKind::kWhole, 0, kFourGiB + 7}, nullptr, true),
              "HTTP/1.1 200 File Exists\r\n" + whole);
    EXPECT_EQ(head({FileAnswerKind::kNotModified, 0, 0}, "video/mp4", false),
              "HTTP/1.1 304 Not Modified\r\n" + tail + "\r\n");
    EXPECT_EQ(head({FileAnswerKind::kUnsatisfiable, 0, 0}, "video/mp4", false),
              std::string("HTTP/1.1 416 Range Not Satisfiable\r\ncontent-length: "
                          "0\r\ncontent-range: bytes */4294967303\r\ndate: ") +
                  kDate + "\r\n\r\n");
    base.m_connection = ConnectionOption::kClose;
    EXPECT_EQ(head({FileAnswerKind::kNotModified, 0, 0}, nullptr, false),
              "HTTP/1.1 304 Not Modified\r\n" + tail + "connection: close\r\n\r\n");
}

TEST(ResponseHeadTest, PageAnswersAndRefusalsCarryLengthTypeAndDate) {
    CReply base;
    base.m_pszDate = "Wed, 09 Dec 2026 10:00:00 GMT";
    const std::string fields =
        "content-type: text/html; charset=utf-8\r\ndate: " + std::string(base.m_pszDate) + "\r\n";
    const auto page = [](const std::string& code, const std::string& text) {
        return "<html><body><h1>" + code + "</h1><b>" + text + "</b></body></html>\r\n";
    };
    const auto length = [](const std::string& body) {
        return "content-length: " + std::to_string(body.size()) + "\r\n";
    };
    const std::string notFound = page("404", "Couldn't find file: a&lt;b");
    std::string out;
    AppendNotFoundAnswer(&out, "a<b", base, false);
    EXPECT_EQ(out,
              "HTTP/1.1 404 File not found!\r\n" + length(notFound) + fields + "\r\n" + notFound);
    out.clear();
    AppendNotFoundAnswer(&out, "a<b", base, true);
    EXPECT_EQ(out, "HTTP/1.1 404 File not found\r\n" + length(notFound) + fields + "\r\n");

    const std::string moved = page("301", "Moved to <a href=\"/d/\">/d/</a>");
    out.clear();
    AppendMovedAnswer(&out, "/d/", base, true);
    EXPECT_EQ(out, "HTTP/1.1 301 Moved Permanently\r\nlocation: /d/\r\n" + length(moved) + fields +
                       "\r\n");

    const std::string notAllowed = page("405", "Method Not Allowed");
    out.clear();
    AppendRefusal(&out, "405 Method Not Allowed", base);
    EXPECT_EQ(out, "HTTP/1.1 405 Method Not Allowed\r\n" + length(notAllowed) +
                       "content-type: text/html; charset=utf-8\r\nallow: GET, HEAD\r\ndate: " +
                       base.m_pszDate + "\r\n\r\n" + notAllowed);
    const std::string bad = page("400", "Bad Request");
    out.clear();
    base.m_connection = ConnectionOption::kClose;
    AppendRefusal(&out, "400 Bad Request", base);
    EXPECT_EQ(out, "HTTP/1.1 400 Bad Request\r\n" + length(bad) + fields +
                       "connection: close\r\n\r\n" + bad);
}
