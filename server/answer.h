// The seam between moving bytes and deciding what they say: a handler turns a request into
// a CAnswer (a response head and a body of one of a few kinds, or a sink for the request's
// body that gives the answer once the body is in); the connection sends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class CFile;
struct CAnswer;
struct CCachedFile;

// What one step of a connection sends of a body, or works toward sending it, before the
// connection lets its worker's others go first.
constexpr uint64_t kBodyBytesPerStep = 4 << 20;

// Where a body's next bytes lie unchanged in an open file, so that they can be sent from
// the file itself rather than copied through a buffer.
struct CFileSpan {
    CFile* m_pFile = nullptr;  // kept open by the body's source
    uint64_t m_nPosition = 0;  // where in the file the bytes start
    uint64_t m_nLength = 0;    // how many of the body's bytes lie there
};

// A body made as it goes out, which the connection pulls from as the socket takes it (an
// archive written while it is sent). Positional, so that bytes the socket did not take are
// asked for again rather than kept.
class CBodySource {
public:
    // ReadAt's answer when the body cannot go on as announced.
    static constexpr long long kCutShort = -1;
    // ReadAt's answer when it did a bounded piece of the work that the bytes at its offset
    // wait on (reading about kBodyBytesPerStep of a file for its CRC-32) and has none of them
    // yet: the caller asks again, after serving others if it likes.
    static constexpr long long kNotYet = -2;

    virtual ~CBodySource() = default;
    // Copies up to n of the body's bytes from offset on into p; returns how many (fewer than
    // n only at the body's end or where more would wait on work, 0 past the end), kNotYet,
    // or kCutShort (the connection is then cut short, so the client sees an incomplete
    // answer).
    virtual long long ReadAt(uint64_t offset, char* p, size_t n) = 0;
    // Whether the body's bytes at offset lie as they are in an open file, and where
    // (*pSpan): the caller may send them from the file in place of ReadAt. A file that ends
    // before the span does means the body cannot go on as announced.
    virtual bool FileSpanAt(uint64_t /*offset*/, CFileSpan* /*pSpan*/) { return false; }
};

// Where a request's body goes as it arrives, chosen by the handler in place of an answer.
// A sink destroyed before Finish (a cut connection, a timeout, a malformed body) undoes
// whatever it had begun.
class CRequestSink {
public:
    virtual ~CRequestSink() = default;
    // Takes the next n bytes of the body, as decoded from its framing; false when it takes no
    // more (too large, a write failed), and Finish(false) follows at once.
    virtual bool Take(const char* p, size_t n) = 0;
    // Puts the answer into pAnswer: bWhole when the body arrived whole, false after Take
    // refused. Called once.
    virtual void Finish(bool bWhole, CAnswer* pAnswer) = 0;
};

enum class BodyKind {
    kNone,    // nothing follows the head (or all of it is in CAnswer::m_out)
    kBytes,   // bytes held and shared, sent from where they are kept
    kFile,    // a range of an open file
    kStream,  // a CBodySource
};

// What follows the bytes of CAnswer::m_out: [m_nOffset, m_nEnd) of one of the kinds.
struct CAnswerBody {
    // m_nEnd of a stream whose length is not known up front: it ends where ReadAt gives 0,
    // and the connection ends with it.
    static constexpr uint64_t kUnknownEnd = ~uint64_t{0};

    BodyKind m_kind = BodyKind::kNone;
    std::shared_ptr<const std::string> m_pBytes;  // kBytes
    std::shared_ptr<CCachedFile> m_pFile;         // kFile
    std::shared_ptr<CBodySource> m_pSource;       // kStream
    uint64_t m_nOffset = 0;                       // the next byte to send
    uint64_t m_nEnd = 0;
    // The body ended before the length its head announced: the connection ends after it.
    bool m_bCutShort = false;
};

// One answer as the handler decides it. The connection keeps one and clears it for every
// request, so that its buffers are reused.
struct CAnswer {
    // The response head, blank line included, and the body's first bytes when they travel
    // with it. Empty while a sink is to give the answer.
    std::string m_out;
    CAnswerBody m_body;
    // Where the request's body goes; null: it is read and dropped after the answer.
    std::unique_ptr<CRequestSink> m_pSink;
    // The connection ends after this answer, whatever the client asked.
    bool m_bClose = false;
    // The user the request's credentials named, for the request log; empty when none.
    std::string m_user;

    // Room for a response head and a small file's bytes, taken at once: built up by appends,
    // a new connection's first answer would grow the string step by step.
    static constexpr size_t kOutRoom = 2048;

    void Clear() {
        m_out.clear();
        if (m_out.capacity() < kOutRoom) m_out.reserve(kOutRoom);
        m_body = CAnswerBody();
        m_pSink.reset();
        m_bClose = false;
        m_user.clear();
    }
};
