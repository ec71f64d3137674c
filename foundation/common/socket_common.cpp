// The CSocket members built on the host's own calls.
#include <algorithm>
#include <cstring>

#include "foundation/clock.h"
#include "foundation/file.h"
#include "foundation/socket.h"

namespace {

constexpr DWORD kFileChunk = 8192;

}  // namespace

CSocket::CSocket()
    : m_hSocket(INVALID_SOCKET), m_bListening(false), m_bNonBlocking(false), m_nListenError(0) {}

CSocket::CSocket(SOCKET s)
    : m_hSocket(s), m_bListening(false), m_bNonBlocking(false), m_nListenError(0) {}

CSocket::~CSocket() {
    Close();
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
