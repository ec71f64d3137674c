// Request heads as they arrive on one connection, parsed on a buffer so that tests and
// fuzzers need no socket.
#pragma once

#include <cstddef>
#include <memory>

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
    // Length of the complete head at the front, blank line included; 0 when none yet.
    // Empty lines before a request line are dropped first, as HTTP clients may send them.
    int CompleteHeadLength();
    // The head at the front is unusable: it starts with a zero byte, or fills the whole
    // buffer without ending.
    bool IsHopeless();
    // Takes the first length bytes out as a new zero-terminated head; the rest moves up.
    std::unique_ptr<char[]> TakeHead(int length);
    // Drops up to n bytes from the front (a request body); returns how many it dropped.
    long long Discard(long long n);

private:
    void DropLeadingEmptyLines();

    char m_data[kSize];
    int m_nHeld;
};

enum class RequestMethod { kGet, kHead, kOther };

// The method and the raw target of a head's request line.
struct CRequestLine {
    RequestMethod m_method;
    const char* m_pTarget;  // into the head; not terminated
    size_t m_nTargetLength;
};

// Reads the method ("GET " or "HEAD ", case-sensitive) and the target of the n-byte head,
// which ends at the first space, CR or LF, or at the end of the head. Zero bytes do not end
// it, so that a target can never be cut short into another file's name.
CRequestLine ParseRequestLine(const char* pHead, size_t n);

// Whether the client of this n-byte head expects the connection to end with the answer:
// an HTTP/1.0 request line, or a "Connection" header that lists "close". Such clients
// (HTTP/1.0 tools, load generators without keep-alive) read until the server closes.
bool AsksToCloseAfterAnswer(const char* pHead, size_t n);

constexpr long long kUnknownBodyLength = -1;

// The length of the body that follows the n-byte head: 0 when there is none, or
// kUnknownBodyLength when it cannot be told (a Transfer-Encoding, or a Content-Length that
// is not one plain number), in which case no later head on the connection can be found.
long long RequestBodyLength(const char* pHead, size_t n);

// One header's value in a head: its bytes without the blanks around them, and how many
// lines of that header the head has (0 when none).
struct CHeaderValue {
    const char* m_p = nullptr;  // into the head; not terminated
    size_t m_n = 0;
    int m_nLines = 0;
};

// The headers that make a GET of a file conditional or partial.
struct CFileRequestHeaders {
    CHeaderValue m_range;
    CHeaderValue m_ifRange;
    CHeaderValue m_ifNoneMatch;
    CHeaderValue m_ifModifiedSince;
};

// Finds the headers of the n-byte head that ask for part of a file or only a newer one, in
// one pass over its lines; the value kept is the first line's.
CFileRequestHeaders ReadFileRequestHeaders(const char* pHead, size_t n);
