// Loopback helpers for tests: every read has a time-out, so no test can hang.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "foundation/socket.h"

constexpr uint32_t kTestReadTimeoutMs = 5000;

// Whether bytes (or the peer's end) arrive at s within ms.
bool WaitReadable(const CSocket& s, uint32_t ms);

// A listening socket on 127.0.0.1 (any free port) with one connection accepted from it:
// m_client is the connecting side, m_server the accepted side.
struct CLoopbackPair {
    CSocket m_client;
    CSocket m_server;
    // Builds the pair; false (and the reason in *pError when given) on failure.
    bool Open(std::string* pError = nullptr);
};

// One parsed HTTP response as it came over the wire.
struct CTestResponse {
    std::string m_head;  // status line and header lines, up to and including the blank line
    std::string m_body;  // content-length bytes (none for HEAD)
    int m_nStatus = 0;
    long long m_nContentLength = -1;  // -1 when the head has no content-length
};

// The bytes with the values of date, last-modified and etag lines replaced by "<date>" and
// "<etag>", where each is of its form; so that answers can be compared whole.
std::string StableBytes(const std::string& raw);
// The response's head and body with the values that move with the clock and the file's
// times (date, last-modified, etag) replaced by "<date>" and "<etag>", once each has been
// checked to be of its form; so that whole answers can be compared.
std::string StableAnswer(const CTestResponse& response);
// A whole file's head of length bytes (pszType null: no content-type), as StableBytes shows it.
std::string StableOkHead(uint64_t length, const char* pszType);
// The 404 answer whose page shows shownTarget, as StableBytes shows it.
std::string StableNotFound(const std::string& shownTarget);
// What a HEAD of the same target is answered, given the GET's answer as StableBytes shows
// it: the same head under HEAD's reason phrases, without the body.
std::string StableHeadAnswer(const std::string& getAnswer);
// How many answers the bytes hold.
int AnswerCount(const std::string& answers);

// A client connection with bounded reads.
class CTestClient {
public:
    // To 127.0.0.1, or the IPv4 address given as text.
    bool Connect(unsigned short port, const char* pszAddress = "127.0.0.1");
    bool SendText(const std::string& text);
    // Whatever arrives within ms (at least one byte unless the peer closed or ms passed).
    std::string ReadSome(uint32_t ms = kTestReadTimeoutMs);
    // Exactly n bytes, or fewer when the peer closed or ms passed in all.
    std::string ReadExactly(size_t n, uint32_t ms = kTestReadTimeoutMs);
    // One response: the head up to its blank line, then content-length bytes of body unless
    // bHeadOnly or the request it answers, as sent by SendText, was a HEAD. False when it
    // did not arrive whole within ms.
    bool ReadResponse(CTestResponse& response, bool bHeadOnly = false,
                      uint32_t ms = kTestReadTimeoutMs);
    // count responses, each as StableAnswer gives it, one after the other; what arrived of
    // them when they did not all arrive within ms each.
    std::string ReadStableAnswers(int count = 1, uint32_t ms = kTestReadTimeoutMs);
    // True when the peer closes (or resets) the connection within ms; unread bytes in
    // between are collected into *pRest when given.
    bool WaitClosed(uint32_t ms = kTestReadTimeoutMs, std::string* pRest = nullptr);
    CSocket& Socket() { return m_socket; }
    // Per request sent and not yet read as answered: whether it was a HEAD.
    const std::deque<bool>& UnansweredHeadRequests() const { return m_headRequests; }
    void Close() { m_socket.Close(); }

private:
    // One receive of what arrives within ms into buffer: the count, 0 at the peer's end,
    // SOCKET_ERROR on a reset, or CSocket::kNothingYet when nothing came in time.
    int Receive(std::string& buffer, uint32_t ms);

    // Notes which of the requests in the bytes sent so far are HEADs, whose answers carry no
    // body.
    void NoteSentRequests(const std::string& text);

    CSocket m_socket;
    std::string m_pending;            // bytes read past the last response
    std::string m_unsentHead;         // the start of a request head sent in pieces
    long long m_nSentBodyLeft = 0;    // body bytes of the last request still to be sent
    std::deque<bool> m_headRequests;  // per request not yet answered: whether a HEAD
};
