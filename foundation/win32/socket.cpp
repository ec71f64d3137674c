// The host half of CSocket on Win32: Windows Sockets calls without waiting, and the listening
// operations. The portable members live in foundation/common.
#include "foundation/socket.h"

#include <algorithm>

#include "foundation/file.h"
#include "foundation/log.h"

namespace {

// Switches the socket between blocking and non-blocking mode.
bool SetSocketMode(SOCKET s, bool bNonBlocking) {
    u_long mode = bNonBlocking ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

}  // namespace

void CSocket::Close() {
    // The exchange makes a concurrent Close or Accept see the object empty at once.
    SOCKET s = m_hSocket.exchange(INVALID_SOCKET, std::memory_order_acq_rel);
    if (s == INVALID_SOCKET) return;
    m_bNonBlocking = false;
    shutdown(s, SD_SEND);
    closesocket(s);
}

bool CSocket::ShutdownSend() {
    const SOCKET s = GetHandle();
    return s != INVALID_SOCKET && shutdown(s, SD_SEND) == 0;
}

int CSocket::ReceiveNoWait(char* pBuffer, int length) {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return SOCKET_ERROR;
    if (m_bNonBlocking) {
        const int count = recv(s, pBuffer, length, 0);
        if (count != SOCKET_ERROR) return count;
        return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingYet : SOCKET_ERROR;
    }
    // Asking is cheaper than switching the socket's mode twice; an end of stream shows as
    // nothing here and is found by the next wait.
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) != 0) return SOCKET_ERROR;
    if (waiting == 0) return kNothingYet;
    return recv(s, pBuffer,
                static_cast<int>(std::min<u_long>(waiting, static_cast<u_long>(length))), 0);
}

bool CSocket::SetNonBlocking() {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET || !SetSocketMode(s, true)) return false;
    m_bNonBlocking = true;
    return true;
}

long long CSocket::SendFileNoWait(CFile& file, uint64_t offset, uint64_t length) {
    char buffer[8192];
    const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(sizeof buffer, length));
    const DWORD count = file.ReadAt(buffer, wanted, offset);
    // The file ended before the length announced for it.
    if (count == 0) return SOCKET_ERROR;
    return SendNoWait(buffer, static_cast<int>(count));
}

bool CSocket::IoControl(long command, u_long* pArgument) {
    return ioctlsocket(GetHandle(), command, pArgument) == 0;
}

int CSocket::SendNoWait(const char* pData, int length) {
    SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return SOCKET_ERROR;
    if (length == 0) return 0;
    if (m_bNonBlocking) {
        const int sent = send(s, pData, length, 0);
        if (sent != SOCKET_ERROR) return sent;
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : SOCKET_ERROR;
    }
    // A blocking send waits until the whole buffer is taken, so the socket is switched to
    // non-blocking mode for this one call.
    if (!SetSocketMode(s, true)) return SOCKET_ERROR;
    int sent = send(s, pData, length, 0);
    int error = sent == SOCKET_ERROR ? WSAGetLastError() : 0;
    SetSocketMode(s, false);
    if (sent == SOCKET_ERROR) return error == WSAEWOULDBLOCK ? 0 : SOCKET_ERROR;
    return sent;
}

bool CSocket::Create(int addressFamily, int type, int protocol) {
    SOCKET s = socket(addressFamily, type, protocol);
    m_hSocket.store(s, std::memory_order_release);
    if (s == INVALID_SOCKET) {
        m_nListenError.store(WSAGetLastError(), std::memory_order_release);
        Log(L"CS:Create: socket failed: %d\r\n", static_cast<int>(WSAGetLastError()));
        return false;
    }
    return true;
}

bool CSocket::Listen(unsigned short port) {
    sockaddr_in address;
    ZeroMemory(&address, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    SOCKET s = GetHandle();
    if (bind(s, reinterpret_cast<const SOCKADDR*>(&address), sizeof(address)) == SOCKET_ERROR) {
        m_nListenError.store(WSAGetLastError(), std::memory_order_release);
        Log(L"CS:Listen: bind failed: %d\r\n", static_cast<int>(WSAGetLastError()));
        return false;
    }
    // The system's most: a crowd that connects at once is queued, not refused.
    if (listen(s, SOMAXCONN) == SOCKET_ERROR) {
        m_nListenError.store(WSAGetLastError(), std::memory_order_release);
        Log(L"CS:Listen: listen failed: %d\r\n", static_cast<int>(WSAGetLastError()));
        return false;
    }
    return true;
}

AcceptResult CSocket::AcceptNoWait(CSocket& client) {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return AcceptResult::kFailed;
    for (;;) {
        SOCKET accepted = accept(s, nullptr, nullptr);
        if (accepted != INVALID_SOCKET) {
            // Accepted sockets take the listening socket's mode, but that is not relied on.
            if (!SetSocketMode(accepted, true) || !client.Attach(accepted)) {
                closesocket(accepted);
                return AcceptResult::kFailed;
            }
            client.m_bNonBlocking = true;
            return AcceptResult::kAccepted;
        }
        switch (WSAGetLastError()) {
            case WSAECONNRESET:
            case WSAEINTR:
                continue;  // a client that left before it was taken
            case WSAEWOULDBLOCK:
                return AcceptResult::kNothingYet;
            case WSAEMFILE:
            case WSAENOBUFS:
                return AcceptResult::kOutOfHandles;
            default:
                return AcceptResult::kFailed;
        }
    }
}

bool CSocket::SendSmallWritesAtOnce() {
    // Left to the system here: under Wine, every small answer of a pipelined batch then
    // became a segment of its own, and such batches went markedly slower.
    return GetHandle() != INVALID_SOCKET;
}

bool CSocket::Connect(const char* pszAddress, unsigned short port) {
    sockaddr_in address;
    ZeroMemory(&address, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, pszAddress, &address.sin_addr) != 1) return false;
    bool bCreated = IsEmpty();
    if (bCreated) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return false;
        m_hSocket.store(s, std::memory_order_release);
    }
    if (connect(GetHandle(), reinterpret_cast<const SOCKADDR*>(&address), sizeof(address)) == 0) {
        return true;
    }
    // A socket made for this attempt is not kept: the object stays as it was.
    if (bCreated) Close();
    return false;
}

unsigned short CSocket::GetLocalPort() const {
    sockaddr_in address;
    int length = sizeof(address);
    ZeroMemory(&address, sizeof(address));
    if (getsockname(GetHandle(), reinterpret_cast<SOCKADDR*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}
