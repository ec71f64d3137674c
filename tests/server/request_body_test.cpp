// A request body's framing read on buffers: lengths, chunks with extensions and trailers, and
// the malformed ones, fed whole and a byte at a time.
#include "server/request_body.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CFramed {
    CBodyFraming::State m_state;
    std::string m_data;
    size_t m_nUsed;  // bytes of the input the framing used
};

// Reads input through a chunked framing in pieces of at most piece bytes.
CFramed ReadChunked(const std::string& input, size_t piece) {
    CBodyFraming framing;
    framing.BeginChunked();
    CFramed out{CBodyFraming::State::kData, "", 0};
    while (out.m_nUsed < input.size() && framing.GetState() == CBodyFraming::State::kData) {
        const size_t n = std::min(piece, input.size() - out.m_nUsed);
        size_t nData = 0;
        const size_t used = framing.Read(input.data() + out.m_nUsed, n, &nData);
        out.m_data.append(input, out.m_nUsed + used - nData, nData);
        out.m_nUsed += used;
    }
    out.m_state = framing.GetState();
    return out;
}

TEST(BodyFraming, ChunkedBodiesEndAtTheirLastChunkWhateverThePieces) {
    using State = CBodyFraming::State;
    const std::string next = "GET / HTTP/1.1\r\n\r\n";
    const struct {
        const char* m_pszName;
        std::string m_body;
        State m_state;
        std::string m_data;
    } cases[] = {
        {"one chunk", "5\r\nhello\r\n0\r\n\r\n", State::kDone, "hello"},
        {"hex sizes in both cases", "a\r\n0123456789\r\nB\r\nabcdefghijk\r\n0\r\n\r\n",
         State::kDone, "0123456789abcdefghijk"},
        {"extensions are ignored", "3;name=\"v;x\"\r\nabc\r\n0;last\r\n\r\n", State::kDone, "abc"},
        {"trailers are read past", "1\r\nz\r\n0\r\nExpires: never\r\nX: 1\r\n\r\n", State::kDone,
         "z"},
        {"no chunk but the last", "0\r\n\r\n", State::kDone, ""},
        {"leading zeros", "0002\r\nhi\r\n0\r\n\r\n", State::kDone, "hi"},
        {"not a hex size", "x\r\n", State::kMalformed, ""},
        {"no size", "\r\nab\r\n", State::kMalformed, ""},
        {"bare LF after a size", "2\nhi\r\n0\r\n\r\n", State::kMalformed, ""},
        {"data longer than its size", "2\r\nhey\r\n0\r\n\r\n", State::kMalformed, "he"},
        {"bare CR in an extension", "2;a\rb\r\nhi\r\n0\r\n\r\n", State::kMalformed, ""},
        {"a size past 2^63", "8000000000000000\r\n", State::kMalformed, ""},
        {"a size of 16 digits", "0000000000000001\r\n", State::kMalformed, ""},
        {"a trailer with a bare LF", "0\r\nX: 1\n\r\n", State::kMalformed, ""},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{1} << 20}) {
            const CFramed framed = ReadChunked(c.m_body + next, piece);
            EXPECT_EQ(framed.m_state, c.m_state) << c.m_pszName << ", pieces of " << piece;
            EXPECT_EQ(framed.m_data, c.m_data) << c.m_pszName << ", pieces of " << piece;
            // What follows a whole body is left for the next head.
            if (c.m_state == State::kDone) {
                EXPECT_EQ(framed.m_nUsed, c.m_body.size()) << c.m_pszName;
            }
        }
    }
    // A framing line longer than any real one is refused rather than read on.
    const std::string longExtension = "1;" + std::string(CBodyFraming::kMostLineBytes, 'x');
    EXPECT_EQ(ReadChunked(longExtension + "\r\nz\r\n0\r\n\r\n", 1 << 20).m_state,
              State::kMalformed);
}

TEST(BodyFraming, ALengthIsCountedDownAndNothingAfterItIsTaken) {
    CBodyFraming framing;
    framing.BeginLength(5);
    size_t nData = 0;
    EXPECT_EQ(framing.Read("hel", 3, &nData), 3u);
    EXPECT_EQ(nData, 3u);
    EXPECT_EQ(framing.DataLeft(), 2u);
    EXPECT_EQ(framing.Read("loGET", 5, &nData), 2u);
    EXPECT_EQ(nData, 2u);
    EXPECT_TRUE(framing.IsDone());
    EXPECT_EQ(framing.Read("GET", 3, &nData), 0u);
    framing.BeginLength(0);
    EXPECT_TRUE(framing.IsDone());
}

}  // namespace
