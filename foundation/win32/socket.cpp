// The host half of CSocket on Win32: Windows Sockets calls on sockets in non-blocking mode.
// The portable members live in foundation/common.
#include "foundation/common/socket_host.h"

namespace {

// Puts s in non-blocking mode, where recv, send and accept return at once.
bool SetNonBlockingMode(SOCKET s) {
    u_long mode = 1;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

}  // namespace

SOCKET OpenNativeSocket(int addressFamily, int type, int protocol) {
    return socket(addressFamily, type, protocol);
}

void CloseNativeSocket(SOCKET s) {
    closesocket(s);
}

int LastSocketError() {
    return WSAGetLastError();
}

bool IsInterruptedCall(int error) {
    return error == WSAEINTR;
}

bool IsWouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}

void AllowQuickRebind(SOCKET) {
    // Left alone: here SO_REUSEADDR would let a second socket take a port that a live
    // listener holds.
}

int ReceiveNative(SOCKET s, char* pBuffer, int length) {
    return recv(s, pBuffer, length, 0);
}

int SendNative(SOCKET s, const char* pData, int length) {
    return send(s, pData, length, 0);
}

int SendPairNative(SOCKET s, const char* p1, int n1, const char* p2, int n2) {
    WSABUF pieces[2] = {{static_cast<ULONG>(n1), const_cast<char*>(p1)},
                        {static_cast<ULONG>(n2), const_cast<char*>(p2)}};
    DWORD sent = 0;
    if (WSASend(s, pieces, 2, &sent, 0, nullptr, nullptr) != 0) return SOCKET_ERROR;
    return static_cast<int>(sent);
}

const bool CSocket::kReportsConnectionsWithData = false;

void ReportConnectionsWithDataNative(SOCKET) {
    // Windows Sockets has no such option: a connection is reported once it is made.
}

bool SendFileNative(SOCKET, CFile&, uint64_t, uint64_t, long long*) {
    // TransmitFile sends its whole range before it returns, or completes it later through
    // an overlapped wait: neither fits a step that takes only what the socket has room for.
    return false;
}

AcceptResult AcceptNative(SOCKET s, SOCKET* pAccepted, sockaddr_storage* pPeer) {
    for (;;) {
        int length = static_cast<int>(sizeof *pPeer);
        *pAccepted = accept(s, reinterpret_cast<sockaddr*>(pPeer), &length);
        if (*pAccepted != INVALID_SOCKET) {
            // Accepted sockets take the listening socket's mode, but that is not relied on.
            if (SetNonBlockingMode(*pAccepted)) return AcceptResult::kAccepted;
            closesocket(*pAccepted);
            *pAccepted = INVALID_SOCKET;
            return AcceptResult::kFailed;
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

bool IsAddressFamilyMissing(int error) {
    return error == WSAEADDRNOTAVAIL || error == WSAEAFNOSUPPORT;
}

bool IsAddressNotLocal(int error) {
    return error == WSAEADDRNOTAVAIL;
}

void CSocket::Close() {
    // The exchange makes a concurrent Close or Accept see the object empty at once.
    const SOCKET s = m_hSocket.exchange(INVALID_SOCKET, std::memory_order_acq_rel);
    if (s == INVALID_SOCKET) return;
    shutdown(s, SD_SEND);
    closesocket(s);
}

bool CSocket::ShutdownSend() {
    const SOCKET s = GetHandle();
    return s != INVALID_SOCKET && shutdown(s, SD_SEND) == 0;
}

bool CSocket::SetNonBlocking() {
    const SOCKET s = GetHandle();
    return s != INVALID_SOCKET && SetNonBlockingMode(s);
}

bool CSocket::IoControl(long command, u_long* pArgument) {
    return ioctlsocket(GetHandle(), command, pArgument) == 0;
}

bool CSocket::SendSmallWritesAtOnce() {
    // Left to the system here: under Wine, every small answer of a pipelined batch then
    // became a segment of its own, and such batches went slower.
    return GetHandle() != INVALID_SOCKET;
}
