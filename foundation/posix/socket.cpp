// The host half of CSocket on POSIX: BSD socket calls that never wait, never leak into a
// child process and never raise SIGPIPE. The portable members live in foundation/common.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/common/socket_host.h"

SOCKET OpenNativeSocket(int addressFamily, int type, int protocol) {
    const SOCKET s = socket(addressFamily, type | SOCK_CLOEXEC, protocol);
    return s < 0 ? INVALID_SOCKET : s;
}

void CloseNativeSocket(SOCKET s) {
    close(s);
}

int LastSocketError() {
    return errno;
}

bool IsInterruptedCall(int error) {
    return error == EINTR;
}

bool IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

void AllowQuickRebind(SOCKET s) {
    // Without it a restart fails while old connections sit in TIME_WAIT; a port that a live
    // listener holds still fails to bind.
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

int ReceiveNative(SOCKET s, char* pBuffer, int length) {
    return static_cast<int>(recv(s, pBuffer, static_cast<size_t>(length), MSG_DONTWAIT));
}

int SendNative(SOCKET s, const char* pData, int length) {
    return static_cast<int>(
        send(s, pData, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL));
}

int SendPairNative(SOCKET s, const char* p1, int n1, const char* p2, int n2) {
    iovec pieces[2] = {{const_cast<char*>(p1), static_cast<size_t>(n1)},
                       {const_cast<char*>(p2), static_cast<size_t>(n2)}};
    msghdr message = {};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    return static_cast<int>(sendmsg(s, &message, MSG_DONTWAIT | MSG_NOSIGNAL));
}

AcceptResult AcceptNative(SOCKET s, SOCKET* pAccepted) {
    for (;;) {
        *pAccepted = accept4(s, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (*pAccepted >= 0) return AcceptResult::kAccepted;
        *pAccepted = INVALID_SOCKET;
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

bool IsAddressFamilyMissing(int error) {
    return error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

bool IsAddressNotLocal(int error) {
    return error == EADDRNOTAVAIL;
}

void CSocket::Close() {
    const SOCKET s = m_hSocket.exchange(INVALID_SOCKET, std::memory_order_acq_rel);
    // Every socket is close-on-exec and never shared, so the close alone sends the end.
    if (s != INVALID_SOCKET) close(s);
}

bool CSocket::ShutdownSend() {
    const SOCKET s = GetHandle();
    return s != INVALID_SOCKET && shutdown(s, SHUT_WR) == 0;
}

bool CSocket::SetNonBlocking() {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return false;
    const int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
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

bool CSocket::SendSmallWritesAtOnce() {
    const SOCKET s = GetHandle();
    const int noDelay = 1;
    return s != INVALID_SOCKET &&
           setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) == 0;
}
