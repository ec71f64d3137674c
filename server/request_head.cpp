// Request heads on a buffer: finding the blank line, pipelining, the request line.
#include "server/request_head.h"

#include <algorithm>
#include <cstring>

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
