// The CSocket members that are the same on every host, on top of the host's socket calls.
#include <algorithm>
#include <cstring>

#include "foundation/common/socket_host.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/socket.h"

namespace {

// The system's most: a crowd that connects at once is queued, not refused and retried
// seconds later, while the listener takes it in.
constexpr int kListenBacklog = SOMAXCONN;

// Whether text is "localhost" in any case.
bool IsLocalhostName(const char* pszText) {
    const char kName[] = "localhost";
    for (size_t i = 0; i < sizeof kName; ++i) {
        const char c = pszText[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kName[i]) return false;
    }
    return true;
}

// Every local address of the kind's family: 0.0.0.0 for kIPv4, :: for kIPv6.
CListenAddress AnyAddress(CListenAddress::Kind kind) {
    CListenAddress address;
    address.m_kind = kind;
    return address;
}

// Sets an integer socket option; the hosts differ only in the pointer type they take.
bool SetSocketOption(SOCKET s, int level, int name, int value) {
    return setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// Binds s to address and port; false with *pError the host's error code.
bool BindTo(SOCKET s, const CListenAddress& address, unsigned short port, int* pError) {
    sockaddr_storage native;
    const socklen_t length = static_cast<socklen_t>(FillSocketAddress(address, port, &native));
    if (bind(s, reinterpret_cast<const SOCKADDR*>(&native), length) == 0) return true;
    *pError = LastSocketError();
    return false;
}

// A socket bound to port on every local address, IPv6 and IPv4 alike (IPv4 clients arrive as
// mapped addresses), or INVALID_SOCKET with *pError 0 where the host has no IPv6 to offer;
// with *pError the bind's error code when the port cannot be had.
SOCKET BindDualStack(unsigned short port, int* pError) {
    *pError = 0;
    const SOCKET s = OpenNativeSocket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    // Windows makes IPv6 sockets IPv6-only unless told otherwise, and Linux may be set to.
    if (!SetSocketOption(s, IPPROTO_IPV6, IPV6_V6ONLY, 0)) {
        CloseNativeSocket(s);
        return INVALID_SOCKET;
    }
    AllowQuickRebind(s);
    int error = 0;
    if (BindTo(s, AnyAddress(CListenAddress::Kind::kIPv6), port, &error)) return s;
    // An address family the host has switched off is no reason not to serve IPv4.
    if (!IsAddressFamilyMissing(error)) *pError = error;
    CloseNativeSocket(s);
    return INVALID_SOCKET;
}

// Binds s to port on every local IPv4 address; false with *pError the error code on failure.
bool BindIPv4(SOCKET s, unsigned short port, int* pError) {
    AllowQuickRebind(s);
    return BindTo(s, AnyAddress(CListenAddress::Kind::kIPv4), port, pError);
}

// A socket of the address's family bound to it and port (an IPv6 one takes IPv6 clients
// only), or INVALID_SOCKET with *pError the error code: IsAddressNotLocal for an address
// that is not this machine's.
SOCKET BindOne(const CListenAddress& address, unsigned short port, int* pError) {
    const bool bIPv6 = address.m_kind == CListenAddress::Kind::kIPv6;
    const SOCKET s = OpenNativeSocket(bIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *pError = LastSocketError();
        return INVALID_SOCKET;
    }
    AllowQuickRebind(s);
    if (bIPv6) SetSocketOption(s, IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (BindTo(s, address, port, pError)) return s;
    CloseNativeSocket(s);
    return INVALID_SOCKET;
}

// Fills *pOut with the IPv4 or IPv6 literal pszAddress and port; its length, 0 for anything
// else.
socklen_t FillLiteralAddress(const char* pszAddress, unsigned short port, sockaddr_storage* pOut) {
    CListenAddress address;
    if (inet_pton(AF_INET, pszAddress, address.m_bytes) == 1) {
        address.m_kind = CListenAddress::Kind::kIPv4;
    } else if (inet_pton(AF_INET6, pszAddress, address.m_bytes) == 1) {
        address.m_kind = CListenAddress::Kind::kIPv6;
    } else {
        return 0;
    }
    return static_cast<socklen_t>(FillSocketAddress(address, port, pOut));
}

// Makes a receive or send that must not wait on s, again while interrupted: its count,
// wouldBlock when it would have had to wait, SOCKET_ERROR on failure or for no socket.
template <typename Transfer>
int TransferNoWait(SOCKET s, Transfer transfer, int wouldBlock) {
    if (s == INVALID_SOCKET) return SOCKET_ERROR;
    for (;;) {
        const int count = transfer(s);
        if (count >= 0) return count;
        const int error = LastSocketError();
        if (!IsInterruptedCall(error)) return IsWouldBlock(error) ? wouldBlock : SOCKET_ERROR;
    }
}

// The 16 bytes of an AF_INET6 address.
const unsigned char* IPv6Bytes(const sockaddr_storage& address) {
    return reinterpret_cast<const unsigned char*>(
        &reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr);
}

// Whether the 16 bytes are ::ffff:a.b.c.d, how a dual-stack socket names an IPv4 client.
bool IsIPv4Mapped(const unsigned char* p6) {
    static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(p6, kMappedPrefix, sizeof(kMappedPrefix)) == 0;
}

// Whether address is one of the loopback ones: 127.0.0.0/8, ::1, or 127.x mapped to IPv6.
bool IsLoopbackAddress(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const unsigned char* p4 = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
        return p4[0] == 127;
    }
    if (address.ss_family != AF_INET6) return false;
    const unsigned char* p6 = IPv6Bytes(address);
    if (IsIPv4Mapped(p6)) return p6[12] == 127;
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(p6, kLoopback, sizeof kLoopback) == 0;
}

// Writes address as GetPeerAddress gives it into pText (n bytes, at least 2); false, and
// pText "-", when it is of no IP family or does not fit.
bool AddressText(const sockaddr_storage& address, char* pText, size_t n) {
    std::strcpy(pText, "-");
    const void* pBytes = nullptr;
    int family = address.ss_family;
    if (family == AF_INET) {
        pBytes = &reinterpret_cast<const sockaddr_in*>(&address)->sin_addr;
    } else if (family == AF_INET6) {
        const unsigned char* p6 = IPv6Bytes(address);
        const bool bMapped = IsIPv4Mapped(p6);
        family = bMapped ? AF_INET : AF_INET6;
        pBytes = bMapped ? p6 + 12 : p6;
    } else {
        return false;
    }
    // Every connection is named at its accept, and inet_ntop formats IPv4 through sprintf.
    if (family == AF_INET)
        return FormatIPv4Address(static_cast<const unsigned char*>(pBytes), pText, n);
    if (inet_ntop(family, pBytes, pText, n) == nullptr) {
        std::strcpy(pText, "-");
        return false;
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

bool FormatIPv4Address(const unsigned char* pBytes, char* pText, size_t n) {
    char text[16];
    size_t length = 0;
    for (int index = 0; index < 4; ++index) {
        const unsigned value = pBytes[index];
        if (index > 0) text[length++] = '.';
        if (value >= 100) text[length++] = static_cast<char>('0' + value / 100);
        if (value >= 10) text[length++] = static_cast<char>('0' + value / 10 % 10);
        text[length++] = static_cast<char>('0' + value % 10);
    }
    if (length >= n) return false;
    std::memcpy(pText, text, length);
    pText[length] = '\0';
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
            if (!FormatIPv4Address(address.m_bytes, szText, sizeof szText)) break;
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

CSocket::CSocket() : m_hSocket(INVALID_SOCKET), m_nListenError(0) {}

CSocket::CSocket(SOCKET s) : m_hSocket(s), m_nListenError(0) {}

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

int CSocket::ReceiveNoWait(char* pBuffer, int length) {
    return TransferNoWait(
        GetHandle(), [&](SOCKET s) { return ReceiveNative(s, pBuffer, length); }, kNothingYet);
}

int CSocket::SendNoWait(const char* pData, int length) {
    return TransferNoWait(
        GetHandle(), [&](SOCKET s) { return SendNative(s, pData, length); }, 0);
}

int CSocket::SendPairNoWait(const char* p1, int n1, const char* p2, int n2) {
    if (n2 == 0) return SendNoWait(p1, n1);
    return TransferNoWait(
        GetHandle(), [&](SOCKET s) { return SendPairNative(s, p1, n1, p2, n2); }, 0);
}

long long CSocket::SendFileNoWait(CFile& file, uint64_t offset, uint64_t length, char* pBuffer,
                                  size_t nBuffer) {
    long long nativeSent = 0;
    if (!m_bFilesByCopy && SendFileNative(GetHandle(), file, offset, length, &nativeSent)) {
        return nativeSent;
    }
    uint64_t sent = 0;
    while (sent < length) {
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(nBuffer, length - sent));
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

bool CSocket::HoldSendBuffer(int nBytes) {
    return SetSocketOption(GetHandle(), SOL_SOCKET, SO_SNDBUF, nBytes);
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
    return AddressText(address, pText, n);
}

bool CSocket::Create(int addressFamily, int type, int protocol) {
    const SOCKET s = OpenNativeSocket(addressFamily, type, protocol);
    m_hSocket.store(s, std::memory_order_release);
    if (s != INVALID_SOCKET) return true;
    const int error = LastSocketError();
    m_nListenError.store(error, std::memory_order_release);
    Log(L"CS:Create: socket failed: %d\r\n", error);
    return false;
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
        CloseNativeSocket(s);
        s = own;
    } else if (error != 0 || !bEvery || !BindIPv4(s, port, &error)) {
        m_nListenError.store(error, std::memory_order_release);
        Log(L"CS:Listen: bind failed: %d\r\n", error);
        return false;
    }
    if (listen(s, kListenBacklog) != 0) {
        error = LastSocketError();
        m_nListenError.store(error, std::memory_order_release);
        Log(L"CS:Listen: listen failed: %d\r\n", error);
        return false;
    }
    return true;
}

AcceptResult CSocket::AcceptNoWait(CSocket& client, char* pPeerText, size_t n) {
    const SOCKET s = GetHandle();
    if (s == INVALID_SOCKET) return AcceptResult::kFailed;
    SOCKET accepted = INVALID_SOCKET;
    sockaddr_storage peer;
    std::memset(&peer, 0, sizeof peer);
    const AcceptResult result = AcceptNative(s, &accepted, &peer);
    if (result != AcceptResult::kAccepted) return result;
    // An occupied client object is not overwritten: the connection is lost, not leaked.
    if (!client.Attach(accepted)) {
        CloseNativeSocket(accepted);
        return AcceptResult::kFailed;
    }
    if (pPeerText != nullptr && n >= 2) AddressText(peer, pPeerText, n);
    client.m_bLoopbackPeer = IsLoopbackAddress(peer);
    return AcceptResult::kAccepted;
}

void CSocket::ReportConnectionsWithData() {
    const SOCKET s = GetHandle();
    if (s != INVALID_SOCKET) ReportConnectionsWithDataNative(s);
}

bool CSocket::Connect(const char* pszAddress, unsigned short port) {
    sockaddr_storage address;
    const socklen_t length = FillLiteralAddress(pszAddress, port, &address);
    if (length == 0) return false;
    const bool bCreated = IsEmpty();
    if (bCreated) {
        const SOCKET s = OpenNativeSocket(address.ss_family, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET) return false;
        m_hSocket.store(s, std::memory_order_release);
    }
    int result;
    do {
        result = connect(GetHandle(), reinterpret_cast<const SOCKADDR*>(&address), length);
    } while (result != 0 && IsInterruptedCall(LastSocketError()));
    if (result == 0) return true;
    // A socket made for this attempt is not kept: the object stays as it was.
    if (bCreated) Close();
    return false;
}

unsigned short CSocket::GetLocalPort() const {
    sockaddr_storage address;
    socklen_t length = sizeof address;
    std::memset(&address, 0, sizeof address);
    if (getsockname(GetHandle(), reinterpret_cast<SOCKADDR*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    }
    return 0;
}
