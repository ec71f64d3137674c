// Sending hostile bytes to a server and judging whatever comes back: every answer must be
// whole and well formed, a 404 page must show no markup, and a secret must never appear.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_client.h"

// What came back for one exchange.
struct CWire {
    std::string m_bytes;     // all the server sent
    bool m_bClosed = false;  // the server closed the connection within the bound
    bool m_bSent = false;    // every byte was sent (a server may close before taking them all)
    std::deque<bool> m_headRequests;  // per request sent: whether a HEAD, answered bodiless
};

// One answer cut out of a CWire.
struct CWireAnswer {
    int m_nStatus = 0;
    std::string m_head;
    std::string m_body;  // content-length bytes; none when the head has no content-length
};

// Opens a connection to port, sends bytes, ends the sending side (so that the server
// answers what it has and then sees the end) and collects everything until the server
// closes, for at most ms.
CWire SendAndCollect(unsigned short port, const std::string& bytes,
                     uint32_t ms = kTestReadTimeoutMs);

// Cuts the wire into answers; false when some part is not a whole HTTP/1.1 answer.
bool SplitAnswers(const CWire& wire, std::vector<CWireAnswer>* pAnswers);

// The statuses of the answers on wire, after checking (as test failures that name context)
// that the server closed, that the secret's bytes are nowhere, that every answer is whole
// and that each 404 page shows its target without markup or control characters.
std::vector<int> CheckedStatuses(const CWire& wire, const std::string& secret,
                                 const std::string& context);

// Target bytes as %XX escapes, every byte, so that nothing in them is read as syntax.
std::string PercentEncodeAll(const std::string& bytes);

// A GET request head for target of exactly total bytes, blank line included, padded with
// one header field.
std::string RequestHeadOfLength(const std::string& target, size_t total);
