// The CSocket members built on the host's own calls, and the send budget.
#include <algorithm>
#include <cstring>

#include "foundation/clock.h"
#include "foundation/file.h"
#include "foundation/socket.h"

namespace {

constexpr DWORD kFileChunk = 8192;

}  // namespace

CSendBudget::CSendBudget(const CEvent* pStopEvent, uint32_t stallMs, uint32_t stopGraceMs)
    : m_pStopEvent(pStopEvent),
      m_nStallMs(stallMs),
      m_nStopGraceMs(stopGraceMs),
      m_bStopping(false),
      m_nStopDeadline(0) {}

uint32_t CSendBudget::NextWaitMs() const {
    if (!m_bStopping) return m_nStallMs;
    const uint64_t now = GetTickCount64Ms();
    return now < m_nStopDeadline ? static_cast<uint32_t>(m_nStopDeadline - now) : 0;
}

const CEvent* CSendBudget::WakeEvent() const {
    return m_bStopping ? nullptr : m_pStopEvent;
}

void CSendBudget::NoteStop() {
    if (m_bStopping) return;
    m_bStopping = true;
    m_nStopDeadline = GetTickCount64Ms() + m_nStopGraceMs;
}

CSocket::CSocket()
    : m_hSocket(INVALID_SOCKET), m_bListening(false), m_bNonBlocking(false), m_nListenError(0) {}

CSocket::CSocket(SOCKET s)
    : m_hSocket(s), m_bListening(false), m_bNonBlocking(false), m_nListenError(0) {}

CSocket::~CSocket() {
    Close();
}

bool CSendBudget::IsSpent() {
    if (!m_bStopping && m_pStopEvent != nullptr && m_pStopEvent->IsSet()) NoteStop();
    return m_bStopping && GetTickCount64Ms() >= m_nStopDeadline;
}

bool CSocket::Attach(SOCKET s) {
    SOCKET expected = INVALID_SOCKET;
    return m_hSocket.compare_exchange_strong(expected, s, std::memory_order_acq_rel);
}

SOCKET CSocket::Detach() {
    return m_hSocket.exchange(INVALID_SOCKET, std::memory_order_acq_rel);
}

bool CSocket::ReceiveLine(char* pBuffer, int size) {
    if (size < 2) return false;  // no room for a byte and its terminator
    int index = 0;
    for (;;) {
        if (Receive(pBuffer + index, 1) != 1) {
            pBuffer[0] = '\0';
            return false;
        }
        const char last = pBuffer[index];
        ++index;
        if (index >= size - 1 || last == '\n') {
            pBuffer[index] = '\0';
            return true;
        }
    }
}

bool CSocket::SendString(const char* pszText) {
    const int length = static_cast<int>(strlen(pszText));
    return Send(pszText, length) == length;
}

bool CSocket::SendFile(CFile& file) {
    char buffer[kFileChunk];
    for (;;) {
        const DWORD count = file.Read(buffer, kFileChunk);
        // A chunk that did not leave whole ends the transfer; so does a short read.
        if (Send(buffer, static_cast<int>(count)) != static_cast<int>(count)) return false;
        if (count < kFileChunk) return true;
    }
}

bool CSocket::WaitForRoom(CSendBudget& budget) {
    for (;;) {
        const uint32_t ms = budget.NextWaitMs();
        if (budget.IsStopping() && ms == 0) return false;
        switch (WaitWritable(ms, budget.WakeEvent())) {
            case WaitResult::kReady:
                return true;
            case WaitResult::kWoken:
                // From now on only the grace remains, and the stop no longer wakes us.
                budget.NoteStop();
                break;
            case WaitResult::kTimeout:
            case WaitResult::kFailed:
                return false;
        }
    }
}

bool CSocket::SendAll(const char* pData, int length, CSendBudget& budget) {
    int sent = 0;
    while (sent < length) {
        if (budget.IsSpent()) return false;
        const int count = SendNoWait(pData + sent, length - sent);
        if (count == SOCKET_ERROR) return false;
        sent += count;
        if (sent < length && !WaitForRoom(budget)) return false;
    }
    return true;
}

bool CSocket::SendFile(CFile& file, uint64_t length, CSendBudget& budget, const char* pHead,
                       int headLength) {
    char buffer[kFileChunk];
    DWORD filled = 0;
    if (headLength > static_cast<int>(kFileChunk)) {
        // Larger than any head we build; it simply goes on its own.
        if (!SendAll(pHead, headLength, budget)) return false;
    } else if (headLength > 0) {
        memcpy(buffer, pHead, static_cast<size_t>(headLength));
        filled = static_cast<DWORD>(headLength);
    }
    // The first bytes of the file fill the head's buffer, so that a small response is one send.
    const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(kFileChunk - filled, length));
    const DWORD count = wanted > 0 ? file.ReadAt(buffer + filled, wanted, 0) : 0;
    filled += count;
    if (filled > 0 && !SendAll(buffer, static_cast<int>(filled), budget)) return false;
    if (count == length) return true;
    // The file ended before the length announced for it.
    if (count < wanted) return false;
    return SendFileRest(file, count, length - count, budget);
}

bool CSocket::SendFileThroughBuffer(CFile& file, uint64_t offset, uint64_t length,
                                    CSendBudget& budget) {
    char buffer[kFileChunk];
    while (length > 0) {
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(kFileChunk, length));
        const DWORD count = file.ReadAt(buffer, wanted, offset);
        if (count > 0 && !SendAll(buffer, static_cast<int>(count), budget)) return false;
        offset += count;
        length -= count;
        // The file ended before the length announced for it.
        if (count < wanted) return false;
    }
    return true;
}
