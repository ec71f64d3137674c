// Request heads as they arrive on one connection, and the request each one holds, read in
// one pass on a buffer so that tests and fuzzers need no socket.
#pragma once

#include <cstddef>

// Holds the bytes received on a connection that no head has used yet. A head ends at its
// first blank line (CR LF CR LF); bytes after it stay for the next head.
class CHeadBuffer {
public:
    static constexpr int kSize = 4096;  // room for 4095 bytes of head and a zero byte

    CHeadBuffer();
    CHeadBuffer(const CHeadBuffer&) = delete;
    CHeadBuffer& operator=(const CHeadBuffer&) = delete;

    // Where the next received bytes go, and how many fit (keeping room for the zero byte).
    char* WritePosition() { return m_data + m_nHeld; }
    int Room() const { return kSize - 1 - m_nHeld; }
    // Accounts for n bytes stored at WritePosition.
    void Commit(int n);
    // Copies up to Room() bytes in; returns how many were taken (for tests and fuzzers).
    int Feed(const char* pData, int n);

    int Held() const { return m_nHeld; }
    // The bytes held, zero-terminated: a complete head starts here until Discard takes it.
    const char* Data() const { return m_data; }
    // Length of the complete head at the front, blank line included; 0 when none yet.
    // Empty lines before a request line are dropped first, as HTTP clients may send them.
    int CompleteHeadLength();
    // The head at the front is unusable: it starts with a zero byte, or fills the whole
    // buffer without ending.
    bool IsHopeless();
    // Drops up to n bytes from the front (an answered head, or a request body); returns how
    // many it dropped.
    long long Discard(long long n);

private:
    void DropLeadingEmptyLines();

    char m_data[kSize];
    int m_nHeld;
};

// kNotAllowed: a method this server knows and does not allow on files (DELETE, ...).
enum class RequestMethod { kGet, kHead, kPut, kPost, kNotAllowed, kUnknown };

// What makes a head unanswerable as a request: a request line or header field line that
// does not parse, or a major version other than 1.
enum class RequestProblem { kNone, kBadRequest, kVersionNotSupported };

constexpr long long kUnknownBodyLength = -1;
// The body comes in chunks (Transfer-Encoding: chunked): its end is told by its last chunk.
constexpr long long kChunkedBodyLength = -2;

// One header field's value in a head: its bytes without the blanks around them, and how
// many lines of that field the head has (0 when none). The value kept is the first line's.
struct CHeaderValue {
    const char* m_p = nullptr;  // into the head; not terminated
    size_t m_n = 0;
    int m_nLines = 0;
};

// The header fields that make a GET of a file conditional or partial.
struct CFileRequestHeaders {
    CHeaderValue m_range;
    CHeaderValue m_ifRange;
    CHeaderValue m_ifNoneMatch;
    CHeaderValue m_ifModifiedSince;
};

// Everything the server uses of one request head. Pointers lead into the head.
struct CRequest {
    RequestProblem m_problem = RequestProblem::kNone;
    RequestMethod m_method = RequestMethod::kUnknown;
    const char* m_pLine = nullptr;  // the request line, without its line end
    size_t m_nLine = 0;
    // The target in origin form (path and query): an absolute-form target without its
    // scheme and authority. Zero bytes do not end it, so it can never be cut short into
    // another file's name.
    const char* m_pTarget = nullptr;
    size_t m_nTarget = 0;
    int m_nMinorVersion = 1;  // of HTTP/1.x
    CHeaderValue m_host;
    CFileRequestHeaders m_file;
    CHeaderValue m_authorization;
    CHeaderValue m_origin;
    CHeaderValue m_contentType;
    // Expect: 100-continue: the client waits for an interim answer before it sends the body.
    bool m_bExpectContinue = false;
    bool m_bConnectionClose = false;      // Connection lists "close"
    bool m_bConnectionKeepAlive = false;  // Connection lists "keep-alive"
    // The body's length: 0 when there is none, kChunkedBodyLength for a chunked body, or
    // kUnknownBodyLength when it cannot be told (a transfer coding other than chunked, both
    // a Transfer-Encoding and a Content-Length, or a Content-Length that is not one plain
    // number), in which case no later head on the connection can be found.
    long long m_nBodyLength = 0;
    bool m_bBodyLengthGiven = false;  // a Content-Length line was read
    bool m_bTransferCoded = false;    // a Transfer-Encoding line was read

    // Whether a body follows the head.
    bool HasBody() const { return m_nBodyLength != 0; }

    // Whether the client means to send another request on the connection after this one:
    // HTTP/1.1 unless it said close, HTTP/1.0 only when it asked for keep-alive.
    bool WantsPersistence() const {
        return m_nMinorVersion >= 1 ? !m_bConnectionClose
                                    : m_bConnectionKeepAlive && !m_bConnectionClose;
    }
};

// Reads the n-byte head (request line, header field lines, blank line) into a request in
// one pass: the request line must be method SP target SP HTTP/d.d, and each field line a
// token, a colon and a value; a folded line or a bare CR is refused.
CRequest ParseRequest(const char* pHead, size_t n);
