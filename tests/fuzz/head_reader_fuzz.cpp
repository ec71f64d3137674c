// Fuzzes the request-head reader the way a worker drives it: bytes arrive in pieces whose
// sizes come from the input itself, heads are taken as soon as they are complete, bodies
// are skipped (chunked ones through their framing), and every head taken is parsed. The buffer must
// always hold exactly the stream bytes that no head, dropped empty line or body has used, and
// reading the same stream in other pieces must give the same heads.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server/file_answer.h"
#include "server/request_body.h"
#include "server/request_head.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// A header value found in the head lies inside it, within one line, without the blanks
// around it.
void CheckHeaderValue(const std::string& head, const CHeaderValue& value) {
    if (value.m_nLines == 0) {
        FUZZ_CHECK(value.m_n == 0);
        return;
    }
    FUZZ_CHECK(value.m_p >= head.data() && value.m_p + value.m_n <= head.data() + head.size());
    for (size_t i = 0; i < value.m_n; ++i) FUZZ_CHECK(value.m_p[i] != '\r' && value.m_p[i] != '\n');
    if (value.m_n > 0) {
        FUZZ_CHECK(value.m_p[0] != ' ' && value.m_p[0] != '\t');
        FUZZ_CHECK(value.m_p[value.m_n - 1] != ' ' && value.m_p[value.m_n - 1] != '\t');
    }
}

// A range that is granted lies inside the file and is not empty; one refused for lying
// past the end could never have been granted in a longer file's place.
void CheckRange(const char* p, size_t n, uint64_t size) {
    uint64_t first = 0;
    uint64_t end = 0;
    const RangeResult result = ParseByteRange(p, n, size, &first, &end);
    if (result == RangeResult::kSatisfiable) {
        FUZZ_CHECK(first < end && end <= size);
        // A shorter file cuts the same range short, or refuses it.
        uint64_t shorterFirst = 0;
        uint64_t shorterEnd = 0;
        const RangeResult shorter = ParseByteRange(p, n, size - 1, &shorterFirst, &shorterEnd);
        FUZZ_CHECK(shorter != RangeResult::kNone);
    }
    if (result == RangeResult::kNone) {
        // Whether a value is a single range at all does not depend on the file.
        FUZZ_CHECK(ParseByteRange(p, n, size + 12345, &first, &end) == RangeResult::kNone);
    }
}

// The response chosen for a file stays inside it, and a date that parses writes back the same.
void CheckFileAnswer(const CFileRequestHeaders& headers, uint64_t size) {
    const CFileVersion version{size, 133000000000000000ull + size};
    const CFileAnswer answer = ChooseFileAnswer(headers, version, ValidatorsOf(version));
    switch (answer.m_kind) {
        case FileAnswerKind::kWhole:
            FUZZ_CHECK(answer.m_nFirst == 0 && answer.m_nEnd == size);
            break;
        case FileAnswerKind::kPart:
            FUZZ_CHECK(headers.m_range.m_nLines == 1);
            FUZZ_CHECK(answer.m_nFirst < answer.m_nEnd && answer.m_nEnd <= size);
            break;
        case FileAnswerKind::kNotModified:
            FUZZ_CHECK(headers.m_ifNoneMatch.m_nLines > 0 ||
                       headers.m_ifModifiedSince.m_nLines > 0);
            break;
        case FileAnswerKind::kUnsatisfiable:
            FUZZ_CHECK(headers.m_range.m_nLines == 1);
            break;
    }
    int64_t seconds = 0;
    const CHeaderValue& since = headers.m_ifModifiedSince;
    if (ParseHttpDate(since.m_p, since.m_n, &seconds)) {
        char text[kHttpDateLength];
        FormatHttpDate(seconds, text);
        int64_t again = 0;
        FUZZ_CHECK(ParseHttpDate(text, kHttpDateLength, &again) && again == seconds);
    }
}

const char kBlankLine[] = "\r\n\r\n";
constexpr size_t kBlankLineLength = 4;
constexpr int kMaxHead = CHeadBuffer::kSize - 1;

// How the stream is cut into reads, and through which of the buffer's two entries.
struct CPiecePlan {
    std::vector<uint8_t> m_sizes;  // cycled through; see PieceSize
    bool m_bUseFeed = false;       // alternate Feed with WritePosition/Commit
};

// Takes the plan from the front of the input: the first byte says how many size bytes
// follow and whether Feed is used; returns how many bytes the plan took.
size_t ReadPlan(const uint8_t* pData, size_t size, CPiecePlan* pPlan) {
    if (size == 0) return 0;
    const size_t count = std::min<size_t>((pData[0] & 7u) + 1, size - 1);
    pPlan->m_bUseFeed = (pData[0] & 8u) != 0;
    pPlan->m_sizes.assign(pData + 1, pData + 1 + count);
    if (pPlan->m_sizes.empty()) pPlan->m_sizes.push_back(0);
    return 1 + count;
}

// The size of one read for a plan byte: 0 is "whatever fits", as a receive of the whole
// room; small values are small reads; large values are reads of up to the buffer's size.
int PieceSize(uint8_t code, int room) {
    if (code == 0) return room;
    if (code < 128) return code;
    return (code - 127) * 32;
}

enum class EndReason { kInputUsedUp, kHopeless, kBodyOfUnknownLength, kMalformedChunks };

// What one connection made of the stream.
struct COutcome {
    std::vector<std::string> m_heads;
    std::vector<std::string> m_chunkedBodies;  // the data of each chunked body read
    EndReason m_end = EndReason::kInputUsedUp;
    size_t m_consumed = 0;
};

// Plays one connection: a CHeadBuffer fed from the stream, with a mirror of where in the
// stream the buffer's bytes must come from.
class CConnectionModel {
public:
    explicit CConnectionModel(const std::string& stream) : m_stream(stream) {}

    // Serves heads until the buffer is hopeless, a body's end is unknown or the input ends.
    COutcome Serve(const CPiecePlan& plan) {
        COutcome outcome;
        for (size_t read = 0;; ++read) {
            int heldBefore = m_buffer.Held();
            const bool bHopeless = m_buffer.IsHopeless();
            AccountForDroppedEmptyLines(heldBefore);
            if (bHopeless) {
                CheckHopelessForAReason();
                outcome.m_end = EndReason::kHopeless;
                break;
            }
            heldBefore = m_buffer.Held();
            const int length = m_buffer.CompleteHeadLength();
            AccountForDroppedEmptyLines(heldBefore);
            if (length > 0) {
                outcome.m_heads.push_back(TakeHead(length));
                const long long body = ExamineHead(outcome.m_heads.back());
                if (body == kUnknownBodyLength) {
                    outcome.m_end = EndReason::kBodyOfUnknownLength;
                    break;
                }
                if (body == kChunkedBodyLength) {
                    outcome.m_chunkedBodies.emplace_back();
                    if (!ReadChunkedBody(plan, read, &outcome.m_chunkedBodies.back())) {
                        outcome.m_end = EndReason::kMalformedChunks;
                        break;
                    }
                    continue;
                }
                SkipBody(body);
                continue;
            }
            if (m_fed == m_stream.size()) break;
            const uint8_t code = plan.m_sizes[read % plan.m_sizes.size()];
            Receive(PieceSize(code, m_buffer.Room()), plan.m_bUseFeed && read % 2 == 0);
        }
        CheckBufferMirrorsStream();
        outcome.m_consumed = m_consumed;
        return outcome;
    }

private:
    const char* HeldBytes() { return m_buffer.WritePosition() - m_buffer.Held(); }

    // The buffer holds the stream bytes [m_consumed, m_fed), zero-terminated, within its size.
    void CheckBufferMirrorsStream() {
        const int held = m_buffer.Held();
        FUZZ_CHECK(held >= 0 && held <= kMaxHead);
        FUZZ_CHECK(m_buffer.Room() == kMaxHead - held);
        FUZZ_CHECK(static_cast<size_t>(held) == m_fed - m_consumed);
        FUZZ_CHECK(std::memcmp(HeldBytes(), m_stream.data() + m_consumed, held) == 0);
        FUZZ_CHECK(HeldBytes()[held] == '\0');
    }

    // Bytes the buffer dropped from its front must be whole empty lines (CR LF or LF), and
    // none may be left at the front afterwards.
    void AccountForDroppedEmptyLines(int heldBefore) {
        const int dropped = heldBefore - m_buffer.Held();
        FUZZ_CHECK(dropped >= 0);
        const char* p = m_stream.data() + m_consumed;
        for (int i = 0; i < dropped;) {
            if (p[i] == '\n') {
                i += 1;
            } else {
                FUZZ_CHECK(p[i] == '\r' && i + 1 < dropped && p[i + 1] == '\n');
                i += 2;
            }
        }
        m_consumed += static_cast<size_t>(dropped);
        if (dropped > 0) CheckBufferMirrorsStream();
        const int held = m_buffer.Held();
        const char* pFront = HeldBytes();
        FUZZ_CHECK(!(held >= 1 && pFront[0] == '\n'));
        FUZZ_CHECK(!(held >= 2 && pFront[0] == '\r' && pFront[1] == '\n'));
    }

    // A hopeless buffer starts with a zero byte or is full without a blank line.
    void CheckHopelessForAReason() {
        const int held = m_buffer.Held();
        const bool bZeroFirst = held > 0 && HeldBytes()[0] == '\0';
        const char* pEnd = HeldBytes() + held;
        const bool bFullWithoutEnd =
            held == kMaxHead &&
            std::search(HeldBytes(), pEnd, kBlankLine, kBlankLine + kBlankLineLength) == pEnd;
        FUZZ_CHECK(bZeroFirst || bFullWithoutEnd);
    }

    // Takes the head and checks it is the next stream bytes, up to and including the first
    // blank line.
    std::string TakeHead(int length) {
        FUZZ_CHECK(length >= static_cast<int>(kBlankLineLength) && length <= m_buffer.Held());
        FUZZ_CHECK(length <= kMaxHead);
        const std::string expected = m_stream.substr(m_consumed, static_cast<size_t>(length));
        FUZZ_CHECK(std::memcmp(m_buffer.Data(), expected.data(), expected.size()) == 0);
        FUZZ_CHECK(m_buffer.Discard(length) == length);
        FUZZ_CHECK(expected.find(kBlankLine) == expected.size() - kBlankLineLength);
        FUZZ_CHECK(expected[0] != '\0');
        m_consumed += static_cast<size_t>(length);
        CheckBufferMirrorsStream();
        return expected;
    }

    // Parses the head as the worker does; returns its body length.
    long long ExamineHead(const std::string& head) {
        const char* pHead = head.data();
        const size_t n = head.size();
        const CRequest request = ParseRequest(pHead, n);
        const size_t lineEnd = head.find_first_of("\r\n");
        if (request.m_problem != RequestProblem::kBadRequest) {
            // The request line is method SP target SP HTTP/d.d, and the method is exact.
            FUZZ_CHECK(request.m_pLine == pHead && request.m_nLine == lineEnd);
            FUZZ_CHECK(head.compare(lineEnd - 9, 6, " HTTP/") == 0);
            FUZZ_CHECK((request.m_method == RequestMethod::kGet) ==
                       (head.compare(0, 4, "GET ") == 0));
            FUZZ_CHECK((request.m_method == RequestMethod::kHead) ==
                       (head.compare(0, 5, "HEAD ") == 0));
            FUZZ_CHECK((request.m_problem == RequestProblem::kVersionNotSupported) ==
                       (head[lineEnd - 3] != '1'));
            // The target lies inside the request line (or is the root of an absolute form),
            // and holds no space.
            const bool bInLine = request.m_pTarget > pHead &&
                                 request.m_pTarget + request.m_nTarget <= pHead + lineEnd - 9;
            FUZZ_CHECK(bInLine || (request.m_nTarget == 1 && request.m_pTarget[0] == '/'));
            FUZZ_CHECK(request.m_nTarget > 0 &&
                       std::memchr(request.m_pTarget, ' ', request.m_nTarget) == nullptr);
            // An HTTP/1.0 client keeps the connection only when it asks to.
            if (head.compare(lineEnd - 8, 8, "HTTP/1.0") == 0 && !request.m_bConnectionKeepAlive) {
                FUZZ_CHECK(!request.WantsPersistence());
            }
        } else {
            FUZZ_CHECK(request.m_problem == RequestProblem::kBadRequest);
        }
        const CFileRequestHeaders& headers = request.m_file;
        CheckHeaderValue(head, headers.m_range);
        CheckHeaderValue(head, headers.m_ifRange);
        CheckHeaderValue(head, headers.m_ifNoneMatch);
        CheckHeaderValue(head, headers.m_ifModifiedSince);
        // Small files, and files past 4 GiB, where a position no longer fits 32 bits.
        for (const uint64_t size : {uint64_t{0}, uint64_t{1}, uint64_t{100}, (uint64_t{5} << 30)}) {
            CheckRange(headers.m_range.m_p, headers.m_range.m_n, size);
            CheckFileAnswer(headers, size);
        }
        const long long body = request.m_nBodyLength;
        FUZZ_CHECK(body >= kChunkedBodyLength && body < 1000000000000000000LL);
        // Without a colon there is no header line, so nothing can name a body.
        if (head.find(':') == std::string::npos) FUZZ_CHECK(body == 0);
        return body;
    }

    // Drops the body: what is held first, then the rest straight from the stream.
    void SkipBody(long long body) {
        const int held = m_buffer.Held();
        const long long dropped = m_buffer.Discard(body);
        FUZZ_CHECK(dropped == std::min<long long>(body, held));
        m_consumed += static_cast<size_t>(dropped);
        CheckBufferMirrorsStream();
        const size_t rest = static_cast<size_t>(
            std::min<long long>(body - dropped, static_cast<long long>(m_stream.size() - m_fed)));
        m_fed += rest;
        m_consumed += rest;
    }

    // Reads a chunked body through its framing as the connection does: what is held first,
    // then the stream in the plan's pieces, leaving what follows the body unread; its data
    // into *pData. False when the framing is malformed or the input ends inside it.
    bool ReadChunkedBody(const CPiecePlan& plan, size_t read, std::string* pData) {
        CBodyFraming framing;
        framing.BeginChunked();
        const auto feed = [&](const char* p, size_t n) {
            size_t used = 0;
            while (used < n && framing.GetState() == CBodyFraming::State::kData) {
                size_t nData = 0;
                const size_t step = framing.Read(p + used, n - used, &nData);
                FUZZ_CHECK(step > 0 && nData <= step && used + step <= n);
                pData->append(p + used + step - nData, nData);
                used += step;
            }
            return used;
        };
        const size_t fromHeld = feed(m_buffer.Data(), static_cast<size_t>(m_buffer.Held()));
        FUZZ_CHECK(m_buffer.Discard(static_cast<long long>(fromHeld)) ==
                   static_cast<long long>(fromHeld));
        m_consumed += fromHeld;
        CheckBufferMirrorsStream();
        for (; framing.GetState() == CBodyFraming::State::kData && m_fed < m_stream.size();
             ++read) {
            FUZZ_CHECK(m_buffer.Held() == 0);
            const uint8_t code = plan.m_sizes[read % plan.m_sizes.size()];
            const size_t piece = std::min<size_t>(static_cast<size_t>(PieceSize(code, kMaxHead)),
                                                  m_stream.size() - m_fed);
            const size_t used = feed(m_stream.data() + m_fed, piece);
            m_fed += used;
            m_consumed += used;
        }
        return framing.IsDone();
    }

    // One read of up to wanted bytes, as a receive into the buffer or through Feed.
    void Receive(int wanted, bool bFeed) {
        const int room = m_buffer.Room();
        FUZZ_CHECK(room > 0);
        const int available = static_cast<int>(
            std::min<size_t>(static_cast<size_t>(wanted), m_stream.size() - m_fed));
        const char* pNext = m_stream.data() + m_fed;
        int stored = 0;
        if (bFeed) {
            stored = m_buffer.Feed(pNext, available);
            FUZZ_CHECK(stored == std::min(available, room));
        } else {
            stored = std::min(available, room);
            std::memcpy(m_buffer.WritePosition(), pNext, static_cast<size_t>(stored));
            m_buffer.Commit(stored);
        }
        m_fed += static_cast<size_t>(stored);
        // Only the new bytes: the rest was checked when it last moved.
        const int held = m_buffer.Held();
        FUZZ_CHECK(static_cast<size_t>(held) == m_fed - m_consumed && held <= kMaxHead);
        FUZZ_CHECK(std::memcmp(m_buffer.WritePosition() - stored, pNext, stored) == 0);
        FUZZ_CHECK(m_buffer.WritePosition()[0] == '\0');
    }

    const std::string& m_stream;
    CHeadBuffer m_buffer;
    size_t m_consumed = 0;  // stream bytes used by heads, dropped lines and bodies
    size_t m_fed = 0;       // stream bytes received so far
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    CPiecePlan plan;
    const size_t planLength = ReadPlan(pData, size, &plan);
    const std::string stream(reinterpret_cast<const char*>(pData) + planLength, size - planLength);

    const COutcome inPieces = CConnectionModel(stream).Serve(plan);

    // Whole reads must find the same heads, end the same way and use the same bytes.
    CPiecePlan wholeReads;
    wholeReads.m_sizes.push_back(0);
    const COutcome whole = CConnectionModel(stream).Serve(wholeReads);
    FUZZ_CHECK(inPieces.m_heads == whole.m_heads);
    FUZZ_CHECK(inPieces.m_chunkedBodies == whole.m_chunkedBodies);
    FUZZ_CHECK(inPieces.m_end == whole.m_end);
    FUZZ_CHECK(inPieces.m_consumed == whole.m_consumed);
    return 0;
}
