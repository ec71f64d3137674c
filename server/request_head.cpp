// Request heads on a buffer: finding the blank line, pipelining, the request line.
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

std::unique_ptr<char[]> CHeadBuffer::TakeHead(int length) {
    length = std::max(0, std::min(length, m_nHeld));
    std::unique_ptr<char[]> head(new char[static_cast<size_t>(length) + 1]);
    std::memcpy(head.get(), m_data, static_cast<size_t>(length));
    head[length] = '\0';
    std::memmove(m_data, m_data + length, static_cast<size_t>(m_nHeld - length));
    m_nHeld -= length;
    m_data[m_nHeld] = '\0';
    return head;
}

long long CHeadBuffer::Discard(long long n) {
    const int dropped = static_cast<int>(std::min<long long>(std::max<long long>(n, 0), m_nHeld));
    std::memmove(m_data, m_data + dropped, static_cast<size_t>(m_nHeld - dropped));
    m_nHeld -= dropped;
    m_data[m_nHeld] = '\0';
    return dropped;
}

CRequestLine ParseRequestLine(const char* pHead, size_t n) {
    CRequestLine line{RequestMethod::kOther, pHead, 0};
    size_t start = 0;
    if (n >= 4 && std::memcmp(pHead, "GET ", 4) == 0) {
        line.m_method = RequestMethod::kGet;
        start = 4;
    } else if (n >= 5 && std::memcmp(pHead, "HEAD ", 5) == 0) {
        line.m_method = RequestMethod::kHead;
        start = 5;
    } else {
        return line;
    }
    size_t end = start;
    while (end < n && pHead[end] != ' ' && pHead[end] != '\r' && pHead[end] != '\n') ++end;
    line.m_pTarget = pHead + start;
    line.m_nTargetLength = end - start;
    return line;
}

namespace {

// The end of the line that starts at start: the index of its CR or LF, or n.
size_t LineEnd(const char* pHead, size_t n, size_t start) {
    size_t end = start;
    while (end < n && pHead[end] != '\r' && pHead[end] != '\n') ++end;
    return end;
}

// Whether the request line [0, end) ends with the version HTTP/1.0.
bool IsHttp10RequestLine(const char* pHead, size_t end) {
    const size_t kVersionLength = 8;
    return end > kVersionLength && pHead[end - kVersionLength - 1] == ' ' &&
           std::memcmp(pHead + end - kVersionLength, "HTTP/1.0", kVersionLength) == 0;
}

// Whether the comma-separated value [start, end) has the token "close".
bool ListsClose(const char* pHead, size_t start, size_t end) {
    while (start < end) {
        size_t stop = start;
        while (stop < end && pHead[stop] != ',') ++stop;
        size_t first = start;
        size_t last = stop;
        while (first < last && (pHead[first] == ' ' || pHead[first] == '\t')) ++first;
        while (last > first && (pHead[last - 1] == ' ' || pHead[last - 1] == '\t')) --last;
        if (EqualsIgnoringCase(pHead + first, last - first, "close")) return true;
        start = stop + 1;
    }
    return false;
}

// Steps from the line that ends at end to the next one: [start, end) on return. False at
// the end of the head.
bool NextHeaderLine(const char* pHead, size_t n, size_t& start, size_t& end) {
    if (end >= n) return false;
    start = end + (pHead[end] == '\r' && end + 1 < n && pHead[end + 1] == '\n' ? 2 : 1);
    end = LineEnd(pHead, n, start);
    return true;
}

// Whether the line [start, end) is a header with the given lower-case name (colon
// included); its value then starts at start + the name's length.
bool IsHeader(const char* pHead, size_t start, size_t end, const char* pszName) {
    const size_t length = std::strlen(pszName);
    return end - start >= length && EqualsIgnoringCase(pHead + start, length, pszName);
}

// The decimal value of [start, end) between optional blanks; -1 when it is not one plain
// number or is too large to be a real body.
long long PlainNumber(const char* pHead, size_t start, size_t end) {
    while (start < end && (pHead[start] == ' ' || pHead[start] == '\t')) ++start;
    while (end > start && (pHead[end - 1] == ' ' || pHead[end - 1] == '\t')) --end;
    if (start == end || end - start > 18) return -1;
    long long value = 0;
    for (size_t i = start; i < end; ++i) {
        if (pHead[i] < '0' || pHead[i] > '9') return -1;
        value = value * 10 + (pHead[i] - '0');
    }
    return value;
}

}  // namespace

bool AsksToCloseAfterAnswer(const char* pHead, size_t n) {
    size_t end = LineEnd(pHead, n, 0);
    if (IsHttp10RequestLine(pHead, end)) return true;
    size_t start = 0;
    while (NextHeaderLine(pHead, n, start, end)) {
        const char kName[] = "connection:";
        if (IsHeader(pHead, start, end, kName) &&
            ListsClose(pHead, start + sizeof kName - 1, end)) {
            return true;
        }
    }
    return false;
}

long long RequestBodyLength(const char* pHead, size_t n) {
    long long length = 0;
    bool bHaveLength = false;
    size_t start = 0;
    size_t end = LineEnd(pHead, n, 0);
    while (NextHeaderLine(pHead, n, start, end)) {
        if (IsHeader(pHead, start, end, "transfer-encoding:")) return kUnknownBodyLength;
        const char kName[] = "content-length:";
        if (!IsHeader(pHead, start, end, kName)) continue;
        const long long value = PlainNumber(pHead, start + sizeof kName - 1, end);
        // Two lengths that disagree leave the body's end unknown.
        if (value < 0 || (bHaveLength && value != length)) return kUnknownBodyLength;
        length = value;
        bHaveLength = true;
    }
    return length;
}

namespace {

// Takes the value of the header line [start, end) whose name is nameLength bytes long
// (colon included) into value, unless an earlier line already gave one.
void NoteHeaderValue(const char* pHead, size_t start, size_t end, size_t nameLength,
                     CHeaderValue& value) {
    if (value.m_nLines++ > 0) return;
    start += nameLength;
    while (start < end && (pHead[start] == ' ' || pHead[start] == '\t')) ++start;
    while (end > start && (pHead[end - 1] == ' ' || pHead[end - 1] == '\t')) --end;
    value.m_p = pHead + start;
    value.m_n = end - start;
}

}  // namespace

CFileRequestHeaders ReadFileRequestHeaders(const char* pHead, size_t n) {
    static const char kRange[] = "range:";
    static const char kIfRange[] = "if-range:";
    static const char kIfNoneMatch[] = "if-none-match:";
    static const char kIfModifiedSince[] = "if-modified-since:";
    CFileRequestHeaders headers;
    size_t start = 0;
    size_t end = LineEnd(pHead, n, 0);
    while (NextHeaderLine(pHead, n, start, end)) {
        // Most heads have none of them: a look at the first letter passes the others by.
        if (start == end) continue;
        const char first = static_cast<char>(pHead[start] | 0x20);
        if (first != 'r' && first != 'i') continue;
        if (IsHeader(pHead, start, end, kRange)) {
            NoteHeaderValue(pHead, start, end, sizeof kRange - 1, headers.m_range);
        } else if (IsHeader(pHead, start, end, kIfRange)) {
            NoteHeaderValue(pHead, start, end, sizeof kIfRange - 1, headers.m_ifRange);
        } else if (IsHeader(pHead, start, end, kIfNoneMatch)) {
            NoteHeaderValue(pHead, start, end, sizeof kIfNoneMatch - 1, headers.m_ifNoneMatch);
        } else if (IsHeader(pHead, start, end, kIfModifiedSince)) {
            NoteHeaderValue(pHead, start, end, sizeof kIfModifiedSince - 1,
                            headers.m_ifModifiedSince);
        }
    }
    return headers;
}
