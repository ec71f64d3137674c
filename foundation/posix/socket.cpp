// CSocket on POSIX: non-blocking BSD sockets that never raise SIGPIPE.
#include "foundation/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "foundation/log.h"

namespace {

// The system's most: a crowd that connects at once is queued, not dropped and retried seconds
// later, while the listener takes it in.
constexpr int kListenBacklog = SOMAXCONN;

// A socket bound to port on every local address, IPv6 and IPv4 alike (IPv4 clients arrive as
// mapped addresses), or INVALID_SOCKET with *pError 0 where the host has no IPv6 to offer;
// with *pError the bind's errno when the port cannot be had.
SOCKET BindDualStack(unsigned short port, int* pError) {
    *pError = 0;
    const SOCKET s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return INVALID_SOCKET;
    const int off = 0;
    const int on = 1;
    if (setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
        close(s);
        return INVALID_SOCKET;
    }
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 address;
    memset(&address, 0, sizeof address);
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_any;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return s;
    // An address family the host has switched off is no reason not to serve IPv4.
    if (errno != EADDRNOTAVAIL && errno != EAFNOSUPPORT) *pError = errno;
    close(s);
    return INVALID_SOCKET;
}

// Binds s to port on every local IPv4 address; false with *pError the errno on failure.
bool BindIPv4(SOCKET s, unsigned short port, int* pError) {
    // Without it a restart fails while old connections sit in TIME_WAIT; a port that a
    // live listener holds still fails to bind.
    const int bReuse = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &bReuse, sizeof bReuse);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
    *pError = errno;
    return false;
}

// A socket of the address's family bound to it and port (an IPv6 one takes IPv6 clients
// only), or INVALID_SOCKET with *pError the errno: EADDRNOTAVAIL for an address that is not
// this machine's.
SOCKET BindOne(const CListenAddress& listenAddress, unsigned short port, int* pError) {
    sockaddr_storage address;
    const socklen_t length =
        static_cast<socklen_t>(FillSocketAddress(listenAddress, port, &address));
    const SOCKET s = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *pError = errno;
        return INVALID_SOCKET;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.ss_family == AF_INET6) setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0) return s;
    *pError = errno;
    close(s);
    return INVALID_SOCKET;
}

}  // namespace

bool IsAddressFamilyMissing(int error) {
    return error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

bool IsAddressNotLocal(int error) {
    return error == EADDRNOTAVAIL;
}

void CSocket::Close() {
    const SOCKET s = m_hSocket.exchange(INVALID_SOCKET, std::memory_order_acq_rel);
    if (s == INVALID_SOCKET) return;
    m_bNonBlocking = false;
    // Every socket is made close-on-exec and never shared, so the close alone sends the end.
    close(s);
}

bool CSocket::ShutdownSend() {
    const SOCKET s = GetHandle();
    return s != INVALID_SOCKET && shutdown(s, SHUT_WR) == 0;
}

int CSocket::ReceiveNoWait(char* pBuffer, int length) {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return SOCKET_ERROR;
    for (;;) {
        const ssize_t count = recv(s, pBuffer, static_cast<size_t>(length), MSG_DONTWAIT);
        if (count >= 0) return static_cast<int>(count);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? kNothingYet : SOCKET_ERROR;
    }
}

int CSocket::SendNoWait(const char* pData, int length) {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return SOCKET_ERROR;
    for (;;) {
        const ssize_t count =
            send(s, pData, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (count >= 0) return static_cast<int>(count);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : SOCKET_ERROR;
    }
}

bool CSocket::SetNonBlocking() {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return false;
    const int flags = fcntl(s, F_GETFL);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return false;
    m_bNonBlocking = true;
    return true;
}

bool CSocket::IoControl(long command, u_long* pArgument) {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return false;
    // ioctl takes an int where ioctlsocket takes a u_long.
    int value = static_cast<int>(*pArgument);
    if (ioctl(s, static_cast<unsigned long>(command), &value) != 0) return false;
    *pArgument = static_cast<u_long>(value);
    return true;
}

bool CSocket::Create(int addressFamily, int type, int protocol) {
    const SOCKET s = socket(addressFamily, type | SOCK_CLOEXEC, protocol);
    m_hSocket.store(s < 0 ? INVALID_SOCKET : s, std::memory_order_release);
    if (s < 0) {
        m_nListenError.store(errno, std::memory_order_release);
        Log(L"CS:Create: socket failed: %d\r\n", errno);
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
        close(s);
        s = own;
    } else if (error != 0 || !bEvery || !BindIPv4(s, port, &error)) {
        m_nListenError.store(error, std::memory_order_release);
        Log(L"CS:Listen: bind failed: %d\r\n", error);
        return false;
    }
    if (listen(s, kListenBacklog) != 0) {
        m_nListenError.store(errno, std::memory_order_release);
        Log(L"CS:Listen: listen failed: %d\r\n", errno);
        return false;
    }
    return true;
}

AcceptResult CSocket::AcceptNoWait(CSocket& client) {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return AcceptResult::kFailed;
    for (;;) {
        const SOCKET accepted = accept4(s, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (accepted >= 0) {
            if (!client.Attach(accepted)) {
                close(accepted);
                return AcceptResult::kFailed;
            }
            client.m_bNonBlocking = true;
            return AcceptResult::kAccepted;
        }
        switch (errno) {
            case EINTR:
            case ECONNABORTED:
                continue;  // a client that left before it was taken
            case EAGAIN:
#if EAGAIN != EWOULDBLOCK
            case EWOULDBLOCK:
#endif
                return AcceptResult::kNothingYet;
            case EMFILE:
            case ENFILE:
            case ENOBUFS:
            case ENOMEM:
                return AcceptResult::kOutOfHandles;
            default:
                return AcceptResult::kFailed;
        }
    }
}

bool CSocket::SendSmallWritesAtOnce() {
    const SOCKET s = GetHandle();
    const int noDelay = 1;
    return s != INVALID_SOCKET &&
           setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) == 0;
}

bool CSocket::Connect(const char* pszAddress, unsigned short port) {
    sockaddr_storage address;
    memset(&address, 0, sizeof address);
    socklen_t length = 0;
    sockaddr_in* pV4 = reinterpret_cast<sockaddr_in*>(&address);
    sockaddr_in6* pV6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, pszAddress, &pV4->sin_addr) == 1) {
        pV4->sin_family = AF_INET;
        pV4->sin_port = htons(port);
        length = sizeof *pV4;
    } else if (inet_pton(AF_INET6, pszAddress, &pV6->sin6_addr) == 1) {
        pV6->sin6_family = AF_INET6;
        pV6->sin6_port = htons(port);
        length = sizeof *pV6;
    } else {
        return false;
    }
    const bool bCreated = IsEmpty();
    if (bCreated) {
        const SOCKET s = socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) return false;
        m_hSocket.store(s, std::memory_order_release);
    }
    int result;
    do {
        result = connect(GetHandle(), reinterpret_cast<sockaddr*>(&address), length);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    if (bCreated) Close();
    return false;
}

unsigned short CSocket::GetLocalPort() const {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    memset(&address, 0, sizeof address);
    if (getsockname(GetHandle(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return 0;
}
