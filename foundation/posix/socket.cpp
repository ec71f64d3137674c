// The host half of CSocket on POSIX: BSD socket calls that never wait, never leak into a
// child process and never raise SIGPIPE. The portable members live in foundation/common.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "foundation/common/socket_host.h"
#include "foundation/file.h"

namespace {

// The most one sendfile call is asked for; the socket takes far less at a time.
constexpr uint64_t kMostPerCall = 1u << 30;

// Whether the process ignores SIGPIPE, as the server program does from its start: then a
// send to a peer that has gone needs no guard. Asked once per thread.
bool ProcessIgnoresBrokenPipes() {
    static thread_local const bool t_bIgnored = [] {
        struct sigaction action;
        return sigaction(SIGPIPE, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
    }();
    return t_bIgnored;
}

// Keeps SIGPIPE from the calling thread while it lives, where the process does not ignore it:
// sendfile, unlike send, cannot be told not to raise it. A SIGPIPE raised meanwhile is taken
// off the thread before the old mask returns.
class CBrokenPipeGuard {
public:
    CBrokenPipeGuard() : m_bBlocked(!ProcessIgnoresBrokenPipes()) {
        if (!m_bBlocked) return;
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        m_bBlocked = pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old) == 0;
    }
    ~CBrokenPipeGuard() {
        if (!m_bBlocked) return;
        const struct timespec now = {0, 0};
        sigset_t pending;
        if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            while (sigtimedwait(&m_pipe, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    CBrokenPipeGuard(const CBrokenPipeGuard&) = delete;
    CBrokenPipeGuard& operator=(const CBrokenPipeGuard&) = delete;

private:
    bool m_bBlocked;
    sigset_t m_pipe;
    sigset_t m_old;
};

}  // namespace

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

#ifdef TCP_DEFER_ACCEPT
const bool CSocket::kReportsConnectionsWithData = true;
#else
const bool CSocket::kReportsConnectionsWithData = false;
#endif

void ReportConnectionsWithDataNative(SOCKET s) {
#ifdef TCP_DEFER_ACCEPT
    // The seconds a silent client is held back before it is reported anyway, with nothing to
    // read yet: such a client then waits for its head deadline like any other.
    const int seconds = 1;
    setsockopt(s, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds, sizeof seconds);
#else
    (void)s;
#endif
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

bool SendFileNative(SOCKET s, CFile& file, uint64_t offset, uint64_t length, long long* pSent) {
    const int hFile = file.GetHandle();
    if (s == INVALID_SOCKET || hFile == kInvalidFileHandle) return false;
    CBrokenPipeGuard guard;
    uint64_t sent = 0;
    while (sent < length) {
        off_t from = static_cast<off_t>(offset + sent);
        const ssize_t count =
            sendfile(s, hFile, &from, static_cast<size_t>(std::min(length - sent, kMostPerCall)));
        if (count > 0) {
            sent += static_cast<uint64_t>(count);
            continue;
        }
        if (count == 0) {
            // The file ended before the length announced for it.
            *pSent = sent > 0 ? static_cast<long long>(sent) : SOCKET_ERROR;
            return true;
        }
        if (errno == EINTR) continue;
        if (IsWouldBlock(errno)) break;
        // A file system that cannot hand its pages to a socket is read and sent instead.
        if (sent == 0 && (errno == EINVAL || errno == ENOSYS)) return false;
        *pSent = sent > 0 ? static_cast<long long>(sent) : SOCKET_ERROR;
        return true;
    }
    *pSent = static_cast<long long>(sent);
    return true;
}

AcceptResult AcceptNative(SOCKET s, SOCKET* pAccepted, sockaddr_storage* pPeer) {
    for (;;) {
        socklen_t length = sizeof *pPeer;
        *pAccepted =
            accept4(s, reinterpret_cast<sockaddr*>(pPeer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
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
