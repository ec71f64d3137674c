// The CSocket members that are the same on every host.
#include "foundation/socket.h"

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
