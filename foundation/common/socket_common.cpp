// The CSocket members that are the same on every host.
#include "foundation/socket.h"

#include <algorithm>
#include <cstring>

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

// Whether text is "localhost" in any case.
bool IsLocalhostName(const char* pszText) {
    const char kName[] = "localhost";
    for (size_t i = 0; i < sizeof kName; ++i) {
        const char c = pszText[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kName[i]) return false;
    }
    return true;
}

}  // namespace

CListenAddress CListenAddress::IPv6Loopback() {
    CListenAddress address;
    address.m_kind = Kind::kIPv6;
    address.m_bytes[15] = 1;
    return address;
}

bool ParseListenAddress(const char* pszText, CListenAddress& address) {
    CListenAddress parsed;
    std::string text = pszText;
    if (IsLocalhostName(pszText)) {
        parsed.m_kind = CListenAddress::Kind::kLoopback;
        parsed.m_bytes[0] = 127;
        parsed.m_bytes[3] = 1;
    } else if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        // Brackets are how a URL writes an IPv6 host; an IPv4 one has none.
        text = text.substr(1, text.size() - 2);
        if (inet_pton(AF_INET6, text.c_str(), parsed.m_bytes) != 1) return false;
        parsed.m_kind = CListenAddress::Kind::kIPv6;
    } else if (inet_pton(AF_INET, text.c_str(), parsed.m_bytes) == 1) {
        parsed.m_kind = CListenAddress::Kind::kIPv4;
    } else if (inet_pton(AF_INET6, text.c_str(), parsed.m_bytes) == 1) {
        parsed.m_kind = CListenAddress::Kind::kIPv6;
    } else {
        return false;
    }
    address = parsed;
    return true;
}

std::string ListenAddressHost(const CListenAddress& address) {
    char szText[64];
    switch (address.m_kind) {
        case CListenAddress::Kind::kEvery:
            return std::string();
        case CListenAddress::Kind::kLoopback:
            return "localhost";
        case CListenAddress::Kind::kIPv4:
            if (inet_ntop(AF_INET, address.m_bytes, szText, sizeof szText) == nullptr) break;
            return szText;
        case CListenAddress::Kind::kIPv6:
            if (inet_ntop(AF_INET6, address.m_bytes, szText, sizeof szText) == nullptr) break;
            return std::string("[") + szText + "]";
    }
    return std::string();
}

bool IsLoopbackOnly(const CListenAddress& address) {
    static const unsigned char kIPv6Loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    switch (address.m_kind) {
        case CListenAddress::Kind::kLoopback:
            return true;
        case CListenAddress::Kind::kIPv4:
            return address.m_bytes[0] == 127;
        case CListenAddress::Kind::kIPv6:
            return std::memcmp(address.m_bytes, kIPv6Loopback, 16) == 0;
        case CListenAddress::Kind::kEvery:
            break;
    }
    return false;
}

int FillSocketAddress(const CListenAddress& address, unsigned short port, sockaddr_storage* pOut) {
    std::memset(pOut, 0, sizeof *pOut);
    if (address.m_kind == CListenAddress::Kind::kIPv6) {
        sockaddr_in6* pV6 = reinterpret_cast<sockaddr_in6*>(pOut);
        pV6->sin6_family = AF_INET6;
        pV6->sin6_port = htons(port);
        std::memcpy(&pV6->sin6_addr, address.m_bytes, 16);
        return static_cast<int>(sizeof *pV6);
    }
    sockaddr_in* pV4 = reinterpret_cast<sockaddr_in*>(pOut);
    pV4->sin_family = AF_INET;
    pV4->sin_port = htons(port);
    std::memcpy(&pV4->sin_addr, address.m_bytes, 4);
    return static_cast<int>(sizeof *pV4);
}

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

bool CSocket::GetPeerAddress(char* pText, size_t n) const {
    if (n < 2) return false;
    std::strcpy(pText, "-");
    sockaddr_storage address;
    socklen_t length = sizeof(address);
    std::memset(&address, 0, sizeof(address));
    if (getpeername(GetHandle(), reinterpret_cast<SOCKADDR*>(&address), &length) != 0) {
        return false;
    }
    const void* pBytes = nullptr;
    int family = address.ss_family;
    if (family == AF_INET) {
        pBytes = &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr;
    } else if (family == AF_INET6) {
        const unsigned char* p6 = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
        // ::ffff:a.b.c.d is how a dual-stack socket names an IPv4 client.
        static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        const bool bMapped = std::memcmp(p6, kMappedPrefix, sizeof(kMappedPrefix)) == 0;
        family = bMapped ? AF_INET : AF_INET6;
        pBytes = bMapped ? p6 + 12 : p6;
    } else {
        return false;
    }
    if (inet_ntop(family, pBytes, pText, n) == nullptr) {
        std::strcpy(pText, "-");
        return false;
    }
    return true;
}
