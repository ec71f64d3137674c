// Every response's status line and header fields, built as bytes in one place (CReply, then
// AppendReplyHead), and the responses that carry a page: 404, 301 and the refusals of
// requests that cannot be served.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/file_answer.h"

// What the Connection header field of a response says.
enum class ConnectionOption { kNone, kClose, kKeepAlive };

// One response's status line and header fields. Fields left empty are not sent; those given
// go out in a fixed order: location, content-length, content-type, content-disposition,
// content-range, accept-ranges, allow, www-authenticate, retry-after, last-modified, etag,
// date, connection.
struct CReply {
    const char* m_pszStatus = nullptr;  // code and reason phrase, e.g. "200 Sending file"
    const char* m_pLocation = nullptr;  // already escaped for a header field
    size_t m_nLocation = 0;
    bool m_bHasLength = false;
    uint64_t m_nLength = 0;
    const char* m_pszContentType = nullptr;
    const char* m_pDisposition = nullptr;  // content-disposition, already fit for a head
    size_t m_nDisposition = 0;
    // content-range: the bytes [m_nRangeFirst, m_nRangeEnd) of m_nRangeSize, or "*" when
    // the range is empty (an unsatisfiable one).
    bool m_bHasRange = false;
    uint64_t m_nRangeFirst = 0;
    uint64_t m_nRangeEnd = 0;
    uint64_t m_nRangeSize = 0;
    bool m_bAcceptRanges = false;
    const char* m_pszAllow = nullptr;
    const char* m_pszChallenge = nullptr;        // www-authenticate
    uint32_t m_nRetryAfterSeconds = 0;           // retry-after; 0: not sent
    const CValidators* m_pValidators = nullptr;  // last-modified and etag
    const char* m_pEtag = nullptr;               // an etag alone, when there are no validators
    size_t m_nEtag = 0;
    const char* m_pszDate = nullptr;
    ConnectionOption m_connection = ConnectionOption::kNone;
};

// Appends the response head, blank line included, to *pOut.
void AppendReplyHead(std::string* pOut, const CReply& reply);

// The reply for a file response of this version, on top of reply (its date and connection):
// 200 (whole), 206 (partial content), 304 or 416, with the validators. A HEAD gets the same fields
// under its own reason phrase for 200.
CReply FileReply(CReply reply, const CFileAnswer& answer, const CFileVersion& version,
                 const CValidators& validators, const char* pszContentType, bool bHead);

// Appends the response head of an HTML page of length bytes.
void AppendPageHead(std::string* pOut, CReply reply, uint64_t length);

// The reply and page of a response that carries a short HTML page: appends the response head
// with the page's length and type, then the page itself unless bHead.
void AppendPageAnswer(std::string* pOut, CReply reply, const std::string& page, bool bHead);

// The 404 response for a target that names no file: the page shows the path (escaped here).
void AppendNotFoundAnswer(std::string* pOut, const std::string& display, CReply reply, bool bHead);

// The 301 response that redirects a client to location (already escaped for a header field), with a
// short page that links there.
void AppendMovedAnswer(std::string* pOut, const std::string& location, CReply reply, bool bHead);

// A response that refuses the request itself: pszStatus is "400 Bad Request", "405 Method
// Not Allowed" (with allow: GET, HEAD), "501 Not Implemented" or "505 HTTP Version Not
// Supported"; the page names the status.
void AppendRefusal(std::string* pOut, const char* pszStatus, CReply reply);

// The 401 response to a request without the right credentials, with the Basic challenge of
// the realm; the page says nothing of the share.
void AppendUnauthorized(std::string* pOut, CReply reply, bool bHead);

// The 429 response to a request from an address whose tries are refused for retryAfter
// more seconds.
void AppendTooManyTries(std::string* pOut, uint32_t retryAfter, CReply reply, bool bHead);
