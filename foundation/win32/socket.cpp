// The host half of CSocket on Win32: Windows Sockets calls without waiting, and the listening
// operations. The portable members live in foundation/common.
#include "foundation/socket.h"

#include <algorithm>
#include <cstring>

#include "foundation/log.h"

namespace {

// Switches the socket between blocking and non-blocking mode.
bool SetSocketMode(SOCKET s, bool bNonBlocking) {
    u_long mode = bNonBlocking ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

// A socket bound to port on every local address, IPv6 and IPv4 alike (IPv4 clients arrive as
// mapped addresses), or INVALID_SOCKET with *pError 0 where the host has no IPv6 to offer;
// with *pError the bind's error code when the port cannot be had.
SOCKET BindDualStack(unsigned short port, int* pError) {
    *pError = 0;
    const SOCKET s = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    // Windows makes IPv6 sockets IPv6-only unless told otherwise.
    const DWORD off = 0;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off) !=
        0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    sockaddr_in6 address;
    ZeroMemory(&address, sizeof(address));
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    if (bind(s, reinterpret_cast<const SOCKADDR*>(&address), sizeof(address)) == 0) return s;
    // An address family the host has switched off is no reason not to serve IPv4.
    const int error = WSAGetLastError();
    if (error != WSAEADDRNOTAVAIL && error != WSAEAFNOSUPPORT) *pError = error;
    closesocket(s);
    return INVALID_SOCKET;
}

// Binds s to port on every local IPv4 address; false with *pError the error code on failure.
bool BindIPv4(SOCKET s, unsigned short port, int* pError) {
    sockaddr_in address;
    ZeroMemory(&address, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<const SOCKADDR*>(&address), sizeof(address)) == 0) return true;
    *pError = WSAGetLastError();
    return false;
}

// A socket of the address's family bound to it and port (an IPv6 one takes IPv6 clients
// only), or INVALID_SOCKET with *pError the error code: WSAEADDRNOTAVAIL for an address that
// is not this machine's.
SOCKET BindOne(const CListenAddress& listenAddress, unsigned short port, int* pError) {
    sockaddr_storage address;
    const int length = FillSocketAddress(listenAddress, port, &address);
    const SOCKET s = socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *pError = WSAGetLastError();
        return INVALID_SOCKET;
    }
    if (address.ss_family == AF_INET6) {
        const DWORD on = 1;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    if (bind(s, reinterpret_cast<const SOCKADDR*>(&address), length) == 0) return s;
    *pError = WSAGetLastError();
    closesocket(s);
    return INVALID_SOCKET;
}

}  // namespace

bool IsAddressFamilyMissing(int error) {
    return error == WSAEADDRNOTAVAIL || error == WSAEAFNOSUPPORT;
}

bool IsAddressNotLocal(int error) {
    return error == WSAEADDRNOTAVAIL;
}

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

bool CSocket::Listen(unsigned short port, const CListenAddress& address) {
    SOCKET s = GetHandle();
    // Where the host has IPv6, one dual-stack socket takes the place of the IPv4 one; one
    // address gets a socket of its own family.
    const bool bEvery = address.m_kind == CListenAddress::Kind::kEvery;
    int error = 0;
    SOCKET own = INVALID_SOCKET;
    if (s != INVALID_SOCKET)
        own = bEvery ? BindDualStack(port, &error) : BindOne(address, port, &error);
    if (own != INVALID_SOCKET) {
        m_hSocket.store(own, std::memory_order_release);
        closesocket(s);
        s = own;
    } else if (error != 0 || !bEvery || !BindIPv4(s, port, &error)) {
        m_nListenError.store(error, std::memory_order_release);
        Log(L"CS:Listen: bind failed: %d\r\n", error);
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
    sockaddr_storage address;
    ZeroMemory(&address, sizeof(address));
    int length = 0;
    sockaddr_in* pV4 = reinterpret_cast<sockaddr_in*>(&address);
    sockaddr_in6* pV6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, pszAddress, &pV4->sin_addr) == 1) {
        pV4->sin_family = AF_INET;
        pV4->sin_port = htons(port);
        length = sizeof(*pV4);
    } else if (inet_pton(AF_INET6, pszAddress, &pV6->sin6_addr) == 1) {
        pV6->sin6_family = AF_INET6;
        pV6->sin6_port = htons(port);
        length = sizeof(*pV6);
    } else {
        return false;
    }
    bool bCreated = IsEmpty();
    if (bCreated) {
        SOCKET s = socket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return false;
        m_hSocket.store(s, std::memory_order_release);
    }
    if (connect(GetHandle(), reinterpret_cast<const SOCKADDR*>(&address), length) == 0) {
        return true;
    }
    // A socket made for this attempt is not kept: the object stays as it was.
    if (bCreated) Close();
    return false;
}

unsigned short CSocket::GetLocalPort() const {
    sockaddr_storage address;
    int length = sizeof(address);
    ZeroMemory(&address, sizeof(address));
    if (getsockname(GetHandle(), reinterpret_cast<SOCKADDR*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return 0;
}
