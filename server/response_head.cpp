// Response heads as bytes.
#include "server/response_head.h"

#include <cstring>

#include "server/ascii.h"
#include "server/credentials.h"

namespace {

const char kHtmlType[] = "text/html; charset=utf-8";

// Appends one header field line; pszName is given with its colon and space.
void AppendField(std::string* pOut, const char* pszName, const char* pValue, size_t n) {
    pOut->append(pszName);
    pOut->append(pValue, n);
    pOut->append("\r\n");
}

void AppendField(std::string* pOut, const char* pszName, const char* pszValue) {
    AppendField(pOut, pszName, pszValue, std::strlen(pszValue));
}

// Appends value in decimal.
void AppendNumber(std::string* pOut, uint64_t value) {
    char digits[20];
    pOut->append(digits, FormatDecimal(value, digits));
}

// content-range: bytes FIRST-LAST/SIZE, or bytes */SIZE for an empty range.
void AppendContentRange(std::string* pOut, const CReply& reply) {
    pOut->append("content-range: bytes ");
    if (reply.m_nRangeEnd > reply.m_nRangeFirst) {
        AppendNumber(pOut, reply.m_nRangeFirst);
        pOut->push_back('-');
        AppendNumber(pOut, reply.m_nRangeEnd - 1);
    } else {
        pOut->push_back('*');
    }
    pOut->push_back('/');
    AppendNumber(pOut, reply.m_nRangeSize);
    pOut->append("\r\n");
}

}  // namespace

void AppendReplyHead(std::string* pOut, const CReply& reply) {
    pOut->append("HTTP/1.1 ");
    pOut->append(reply.m_pszStatus);
    pOut->append("\r\n");
    if (reply.m_pLocation != nullptr) {
        AppendField(pOut, "location: ", reply.m_pLocation, reply.m_nLocation);
    }
    if (reply.m_bHasLength) {
        pOut->append("content-length: ");
        AppendNumber(pOut, reply.m_nLength);
        pOut->append("\r\n");
    }
    if (reply.m_pszContentType != nullptr) {
        AppendField(pOut, "content-type: ", reply.m_pszContentType);
    }
    if (reply.m_pDisposition != nullptr) {
        AppendField(pOut, "content-disposition: ", reply.m_pDisposition, reply.m_nDisposition);
    }
    if (reply.m_bHasRange) AppendContentRange(pOut, reply);
    if (reply.m_bAcceptRanges) AppendField(pOut, "accept-ranges: ", "bytes");
    if (reply.m_pszAllow != nullptr) AppendField(pOut, "allow: ", reply.m_pszAllow);
    if (reply.m_pszChallenge != nullptr) {
        AppendField(pOut, "www-authenticate: ", reply.m_pszChallenge);
    }
    if (reply.m_nRetryAfterSeconds != 0) {
        pOut->append("retry-after: ");
        AppendNumber(pOut, reply.m_nRetryAfterSeconds);
        pOut->append("\r\n");
    }
    if (reply.m_pValidators != nullptr) {
        AppendField(pOut, "last-modified: ", reply.m_pValidators->m_szLastModified);
        AppendField(pOut, "etag: ", reply.m_pValidators->m_szEtag,
                    reply.m_pValidators->m_nEtagLength);
    }
    if (reply.m_pValidators == nullptr && reply.m_pEtag != nullptr) {
        AppendField(pOut, "etag: ", reply.m_pEtag, reply.m_nEtag);
    }
    if (reply.m_pszDate != nullptr) AppendField(pOut, "date: ", reply.m_pszDate);
    if (reply.m_connection == ConnectionOption::kClose) {
        AppendField(pOut, "connection: ", "close");
    } else if (reply.m_connection == ConnectionOption::kKeepAlive) {
        AppendField(pOut, "connection: ", "keep-alive");
    }
    pOut->append("\r\n");
}

CReply FileReply(CReply reply, const CFileAnswer& answer, const CFileVersion& version,
                 const CValidators& validators, const char* pszContentType, bool bHead) {
    reply.m_pValidators = &validators;
    switch (answer.m_kind) {
        case FileAnswerKind::kNotModified:
            // No body follows, whatever a content-length would say.
            reply.m_pszStatus = "304 Not Modified";
            return reply;
        case FileAnswerKind::kUnsatisfiable:
            reply.m_pszStatus = "416 Range Not Satisfiable";
            reply.m_pValidators = nullptr;
            reply.m_bHasLength = true;
            reply.m_bHasRange = true;
            reply.m_nRangeSize = version.m_nSize;
            return reply;
        case FileAnswerKind::kPart:
            reply.m_pszStatus = "206 Partial Content";
            reply.m_bHasRange = true;
            reply.m_nRangeFirst = answer.m_nFirst;
            reply.m_nRangeEnd = answer.m_nEnd;
            reply.m_nRangeSize = version.m_nSize;
            break;
        case FileAnswerKind::kWhole:
            reply.m_pszStatus = bHead ? "200 File Exists" : "200 Sending file";
            break;
    }
    reply.m_bHasLength = true;
    reply.m_nLength = answer.m_nEnd - answer.m_nFirst;
    reply.m_pszContentType = pszContentType;
    reply.m_bAcceptRanges = true;
    return reply;
}

void AppendPageHead(std::string* pOut, CReply reply, uint64_t length) {
    reply.m_bHasLength = true;
    reply.m_nLength = length;
    reply.m_pszContentType = kHtmlType;
    AppendReplyHead(pOut, reply);
}

void AppendPageAnswer(std::string* pOut, CReply reply, const std::string& page, bool bHead) {
    AppendPageHead(pOut, reply, page.size());
    if (!bHead) pOut->append(page);
}

void AppendNotFoundAnswer(std::string* pOut, const std::string& display, CReply reply, bool bHead) {
    const std::string page =
        "<html><body><h1>404</h1><b>Couldn't find file: " + EscapeHtml(display) +
        "</b></body></html>\r\n";
    reply.m_pszStatus = bHead ? "404 File not found" : "404 File not found!";
    AppendPageAnswer(pOut, reply, page, bHead);
}

void AppendMovedAnswer(std::string* pOut, const std::string& location, CReply reply, bool bHead) {
    const std::string link = EscapeHtml(location);
    const std::string page = "<html><body><h1>301</h1><b>Moved to <a href=\"" + link + "\">" +
                             link + "</a></b></body></html>\r\n";
    reply.m_pszStatus = "301 Moved Permanently";
    reply.m_pLocation = location.data();
    reply.m_nLocation = location.size();
    AppendPageAnswer(pOut, reply, page, bHead);
}

void AppendRefusal(std::string* pOut, const char* pszStatus, CReply reply) {
    const char* pszReason = std::strchr(pszStatus, ' ');
    const std::string code(pszStatus, pszReason != nullptr ? pszReason : pszStatus);
    const std::string page = "<html><body><h1>" + code + "</h1><b>" +
                             (pszReason != nullptr ? pszReason + 1 : "") + "</b></body></html>\r\n";
    reply.m_pszStatus = pszStatus;
    if (code == "405") reply.m_pszAllow = "GET, HEAD";
    AppendPageAnswer(pOut, reply, page, false);
}

void AppendUnauthorized(std::string* pOut, CReply reply, bool bHead) {
    static const std::string challenge =
        std::string("Basic realm=\"") + kAuthRealm + "\", charset=\"UTF-8\"";
    reply.m_pszStatus = "401 Unauthorized";
    reply.m_pszChallenge = challenge.c_str();
    AppendPageAnswer(pOut, reply,
                     "<html><body><h1>401</h1><b>A user name and password are needed."
                     "</b></body></html>\r\n",
                     bHead);
}

void AppendTooManyTries(std::string* pOut, uint32_t retryAfter, CReply reply, bool bHead) {
    reply.m_pszStatus = "429 Too Many Requests";
    reply.m_nRetryAfterSeconds = retryAfter > 0 ? retryAfter : 1;
    AppendPageAnswer(pOut, reply,
                     "<html><body><h1>429</h1><b>Too many wrong passwords: try again later."
                     "</b></body></html>\r\n",
                     bHead);
}
