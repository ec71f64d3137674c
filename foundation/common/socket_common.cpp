// The CSocket members that are the same on every host.
#include "foundation/socket.h"

#include <algorithm>

#include "foundation/file.h"

namespace {

// A file goes out in pieces of this much, read into a buffer of the thread's own: on loopback
// this beat handing the file's pages to the socket (sendfile) by a third, and larger pieces
// cost more reading where a socket has little room.
constexpr uint64_t kFilePiece = 256 * 1024;

char* FilePieceBuffer() {
    // Kept for the thread's life: a worker that sent one large file will likely send more.
    static thread_local char t_buffer[kFilePiece];
    return t_buffer;
}

}  // namespace

CSocket::CSocket() : m_hSocket(INVALID_SOCKET), m_bNonBlocking(false), m_nListenError(0) {}

CSocket::CSocket(SOCKET s) : m_hSocket(s), m_bNonBlocking(false), m_nListenError(0) {}

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

long long CSocket::SendFileNoWait(CFile& file, uint64_t offset, uint64_t length) {
    char* pBuffer = FilePieceBuffer();
    uint64_t sent = 0;
    while (sent < length) {
        const DWORD wanted = static_cast<DWORD>(std::min(kFilePiece, length - sent));
        const DWORD count = file.ReadAt(pBuffer, wanted, offset + sent);
        // The file ended before the length announced for it.
        if (count == 0) return sent > 0 ? static_cast<long long>(sent) : SOCKET_ERROR;
        const int taken = SendNoWait(pBuffer, static_cast<int>(count));
        if (taken == SOCKET_ERROR) return SOCKET_ERROR;
        sent += static_cast<uint64_t>(taken);
        // The socket is full; what it did not take is read again when it has room.
        if (static_cast<DWORD>(taken) < count) break;
    }
    return static_cast<long long>(sent);
}
