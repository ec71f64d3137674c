// Request heads on a buffer: finding the blank line, pipelining, and reading the request
// line and header fields in one pass.
#include "server/request_head.h"

#include <algorithm>
#include <cstring>

#include "server/ascii.h"

namespace {

const char kBlankLine[] = "\r\n\r\n";
constexpr int kBlankLineLength = 4;

// Length of the empty line at the front of data: 2 for CR LF, 1 for a bare LF, 0 otherwise
// (also when a CR is the last byte held and its LF has not arrived yet).
int EmptyLineLength(const char* pData, int n) {
    if (n >= 1 && pData[0] == '\n') return 1;
    if (n >= 2 && pData[0] == '\r' && pData[1] == '\n') return 2;
    return 0;
}

}  // namespace

CHeadBuffer::CHeadBuffer() : m_nHeld(0) {
    m_data[0] = '\0';
}

void CHeadBuffer::Commit(int n) {
    m_nHeld += std::max(0, std::min(n, Room()));
    m_data[m_nHeld] = '\0';
}

int CHeadBuffer::Feed(const char* pData, int n) {
    int taken = std::max(0, std::min(n, Room()));
    std::memcpy(WritePosition(), pData, static_cast<size_t>(taken));
    Commit(taken);
    return taken;
}

void CHeadBuffer::DropLeadingEmptyLines() {
    int dropped = 0;
    for (int line = EmptyLineLength(m_data, m_nHeld); line > 0;
         line = EmptyLineLength(m_data + dropped, m_nHeld - dropped)) {
        dropped += line;
    }
    if (dropped == 0) return;
    std::memmove(m_data, m_data + dropped, static_cast<size_t>(m_nHeld - dropped));
    m_nHeld -= dropped;
    m_data[m_nHeld] = '\0';
}

int CHeadBuffer::CompleteHeadLength() {
    DropLeadingEmptyLines();
    // Searched as bytes: a zero byte inside a head must not hide its end.
    const char* pEnd = m_data + m_nHeld;
    const char* pFound = std::search(static_cast<const char*>(m_data), pEnd, kBlankLine,
                                     kBlankLine + kBlankLineLength);
    if (pFound == pEnd) return 0;
    return static_cast<int>(pFound - m_data) + kBlankLineLength;
}

bool CHeadBuffer::IsHopeless() {
    DropLeadingEmptyLines();
    if (m_nHeld > 0 && m_data[0] == '\0') return true;
    return Room() == 0 && CompleteHeadLength() == 0;
}

long long CHeadBuffer::Discard(long long n) {
    const int dropped = static_cast<int>(std::min<long long>(std::max<long long>(n, 0), m_nHeld));
    std::memmove(m_data, m_data + dropped, static_cast<size_t>(m_nHeld - dropped));
    m_nHeld -= dropped;
    m_data[m_nHeld] = '\0';
    return dropped;
}

namespace {

// Whether c may appear in a token (a method or a field name).
bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c)) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// The methods that have a meaning for a resource but are not offered on files.
bool IsKnownOtherMethod(const char* p, size_t n) {
    static const char* const kMethods[] = {"DELETE", "PATCH", "OPTIONS", "TRACE", "CONNECT"};
    for (const char* pszMethod : kMethods) {
        if (std::strlen(pszMethod) == n && std::memcmp(p, pszMethod, n) == 0) return true;
    }
    return false;
}

RequestMethod MethodOf(const char* p, size_t n) {
    // Methods are case-sensitive: "get" is a method of its own, which is not implemented.
    if (n == 3 && std::memcmp(p, "GET", 3) == 0) return RequestMethod::kGet;
    if (n == 4 && std::memcmp(p, "HEAD", 4) == 0) return RequestMethod::kHead;
    if (n == 3 && std::memcmp(p, "PUT", 3) == 0) return RequestMethod::kPut;
    if (n == 4 && std::memcmp(p, "POST", 4) == 0) return RequestMethod::kPost;
    return IsKnownOtherMethod(p, n) ? RequestMethod::kNotAllowed : RequestMethod::kUnknown;
}

// Reduces an absolute-form target (scheme "://" authority, then the path) to its path and
// query; an origin-form target is left as it is.
void TakeOriginForm(CRequest& request) {
    const char* p = request.m_pTarget;
    const size_t n = request.m_nTarget;
    size_t scheme = 0;
    if (n > 7 && EqualsIgnoringCase(p, 7, "http://")) scheme = 7;
    if (n > 8 && EqualsIgnoringCase(p, 8, "https://")) scheme = 8;
    if (scheme == 0) return;
    size_t path = scheme;
    while (path < n && p[path] != '/' && p[path] != '?' && p[path] != '#') ++path;
    if (path < n && p[path] == '/') {
        request.m_pTarget = p + path;
        request.m_nTarget = n - path;
    } else {
        // No path: the authority's root, which a query after it does not change.
        request.m_pTarget = "/";
        request.m_nTarget = 1;
    }
}

// Reads "HTTP/d.d" at [p, p + n) into the request's version; false when it is not that form.
bool ReadVersion(const char* p, size_t n, CRequest& request) {
    if (n != 8 || std::memcmp(p, "HTTP/", 5) != 0 || !IsDigit(p[5]) || p[6] != '.' ||
        !IsDigit(p[7])) {
        return false;
    }
    if (p[5] != '1') request.m_problem = RequestProblem::kVersionNotSupported;
    request.m_nMinorVersion = p[7] - '0';
    return true;
}

// Reads the request line [p, p + n): method SP target SP version.
bool ReadRequestLine(const char* p, size_t n, CRequest& request) {
    request.m_pLine = p;
    request.m_nLine = n;
    size_t method = 0;
    while (method < n && IsTokenChar(p[method])) ++method;
    if (method == 0 || method == n || p[method] != ' ') return false;
    const size_t targetStart = method + 1;
    const char* pSpace =
        static_cast<const char*>(std::memchr(p + targetStart, ' ', n - targetStart));
    if (pSpace == nullptr || pSpace == p + targetStart) return false;
    request.m_method = MethodOf(p, method);
    request.m_pTarget = p + targetStart;
    request.m_nTarget = static_cast<size_t>(pSpace - request.m_pTarget);
    const size_t versionStart = static_cast<size_t>(pSpace - p) + 1;
    if (!ReadVersion(p + versionStart, n - versionStart, request)) return false;
    TakeOriginForm(request);
    return true;
}

// The decimal value of [p, p + n); -1 when it is not one plain number or is too large to
// be a real body.
long long PlainNumber(const char* p, size_t n) {
    if (n == 0 || n > 18) return -1;
    long long value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!IsDigit(p[i])) return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

// Notes the tokens "close" and "keep-alive" of a Connection value.
void ReadConnectionOptions(const char* p, size_t n, CRequest& request) {
    size_t start = 0;
    while (start < n) {
        size_t stop = start;
        while (stop < n && p[stop] != ',') ++stop;
        size_t first = start;
        size_t last = stop;
        while (first < last && IsBlank(p[first])) ++first;
        while (last > first && IsBlank(p[last - 1])) --last;
        if (EqualsIgnoringCase(p + first, last - first, "close")) request.m_bConnectionClose = true;
        if (EqualsIgnoringCase(p + first, last - first, "keep-alive")) {
            request.m_bConnectionKeepAlive = true;
        }
        start = stop + 1;
    }
}

// Takes a field's value unless an earlier line of the same field already gave one.
void NoteValue(const char* p, size_t n, CHeaderValue& value) {
    if (value.m_nLines++ > 0) return;
    value.m_p = p;
    value.m_n = n;
}

// Takes a Content-Length value: two lengths that disagree, or a length beside a transfer
// coding, leave the body's end unknown (a request that could be read two ways is not read).
void ReadContentLength(const char* p, size_t n, CRequest& request) {
    if (request.m_nBodyLength == kUnknownBodyLength) return;
    if (request.m_bTransferCoded) {
        request.m_nBodyLength = kUnknownBodyLength;
        return;
    }
    const long long length = PlainNumber(p, n);
    const bool bAgrees = !request.m_bBodyLengthGiven || request.m_nBodyLength == length;
    request.m_nBodyLength = length >= 0 && bAgrees ? length : kUnknownBodyLength;
    request.m_bBodyLengthGiven = true;
}

// Takes a Transfer-Encoding value: only chunked alone can be read (a body with another coding
// has no end this server can find), and never beside a Content-Length.
void ReadTransferEncoding(const char* p, size_t n, CRequest& request) {
    const bool bFirst = !request.m_bTransferCoded;
    request.m_bTransferCoded = true;
    const bool bChunked = EqualsIgnoringCase(p, n, "chunked");
    request.m_nBodyLength =
        bFirst && bChunked && !request.m_bBodyLengthGiven ? kChunkedBodyLength : kUnknownBodyLength;
}

// Takes one header field into the request when it is one the server uses.
void ReadField(const char* pName, size_t nName, const char* pValue, size_t nValue,
               CRequest& request) {
    // The fields whose first value the server keeps as it is.
    const struct {
        const char* m_pszName;
        CHeaderValue& m_value;
    } kept[] = {
        {"host", request.m_host},
        {"range", request.m_file.m_range},
        {"if-range", request.m_file.m_ifRange},
        {"if-none-match", request.m_file.m_ifNoneMatch},
        {"if-modified-since", request.m_file.m_ifModifiedSince},
        {"authorization", request.m_authorization},
        {"origin", request.m_origin},
        {"content-type", request.m_contentType},
    };
    for (const auto& field : kept) {
        if (EqualsIgnoringCase(pName, nName, field.m_pszName)) {
            NoteValue(pValue, nValue, field.m_value);
            return;
        }
    }
    if (EqualsIgnoringCase(pName, nName, "connection")) {
        ReadConnectionOptions(pValue, nValue, request);
    } else if (EqualsIgnoringCase(pName, nName, "content-length")) {
        ReadContentLength(pValue, nValue, request);
    } else if (EqualsIgnoringCase(pName, nName, "transfer-encoding")) {
        ReadTransferEncoding(pValue, nValue, request);
    } else if (EqualsIgnoringCase(pName, nName, "expect")) {
        request.m_bExpectContinue = EqualsIgnoringCase(pValue, nValue, "100-continue");
    }
}

// Reads one header field line [p, p + n): a token, a colon, the value between blanks.
bool ReadFieldLine(const char* p, size_t n, CRequest& request) {
    size_t name = 0;
    while (name < n && IsTokenChar(p[name])) ++name;
    // A blank before the colon, or a line that starts with one (a folded line), would let
    // another reader see a different field.
    if (name == 0 || name == n || p[name] != ':') return false;
    size_t first = name + 1;
    size_t last = n;
    while (first < last && IsBlank(p[first])) ++first;
    while (last > first && IsBlank(p[last - 1])) --last;
    ReadField(p, name, p + first, last - first, request);
    return true;
}

}  // namespace

CRequest ParseRequest(const char* pHead, size_t n) {
    CRequest request;
    size_t start = 0;
    bool bFirst = true;
    while (start < n) {
        const char* pLineEnd =
            static_cast<const char*>(std::memchr(pHead + start, '\n', n - start));
        size_t end = pLineEnd != nullptr ? static_cast<size_t>(pLineEnd - pHead) : n;
        const size_t next = end + 1;
        if (end > start && pHead[end - 1] == '\r') --end;
        if (std::memchr(pHead + start, '\r', end - start) != nullptr) {
            request.m_problem = RequestProblem::kBadRequest;  // a bare CR
            return request;
        }
        if (end == start) break;  // the blank line that ends the head
        const bool bRead = bFirst ? ReadRequestLine(pHead + start, end - start, request)
                                  : ReadFieldLine(pHead + start, end - start, request);
        if (!bRead) {
            request.m_problem = RequestProblem::kBadRequest;
            return request;
        }
        bFirst = false;
        start = next;
    }
    if (bFirst) request.m_problem = RequestProblem::kBadRequest;
    return request;
}
