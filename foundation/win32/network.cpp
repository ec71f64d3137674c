// The socket library and the machine's addresses on Win32: Windows Sockets 1.1, and the
// adapters' unicast addresses from the IP helper.
#include "foundation/network.h"

// The socket headers come first: iphlpapi.h needs their types.
#include "foundation/platform_types.h"

#include <iphlpapi.h>

#include <memory>

#include "foundation/log.h"

bool InitSockets() {
    WSADATA data;
    int result = WSAStartup(0x0101, &data);
    if (result != 0) {
        Log(L"WSAStartup failed: %d\n", result);
        return false;
    }
    return true;
}

void CleanupSockets() {
    WSACleanup();
}

namespace {

// The adapters' list as GetAdaptersAddresses fills it, grown until it fits; null on failure.
std::unique_ptr<char[]> ReadAdapters() {
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                        GAA_FLAG_SKIP_FRIENDLY_NAME;
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::unique_ptr<char[]> buffer(new char[size]);
        ULONG result = GetAdaptersAddresses(
            AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
        if (result == ERROR_SUCCESS) return buffer;
        if (result != ERROR_BUFFER_OVERFLOW) return nullptr;
    }
    return nullptr;
}

}  // namespace

std::vector<uint32_t> GetNetworkAddresses() {
    std::vector<uint32_t> addresses;
    std::unique_ptr<char[]> buffer = ReadAdapters();
    if (!buffer) return addresses;
    for (const IP_ADAPTER_ADDRESSES* pAdapter =
             reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.get());
         pAdapter != nullptr; pAdapter = pAdapter->Next) {
        if (pAdapter->OperStatus != IfOperStatusUp ||
            pAdapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
            continue;
        }
        for (const IP_ADAPTER_UNICAST_ADDRESS* pUnicast = pAdapter->FirstUnicastAddress;
             pUnicast != nullptr; pUnicast = pUnicast->Next) {
            const SOCKADDR* pAddress = pUnicast->Address.lpSockaddr;
            if (pAddress == nullptr || pAddress->sa_family != AF_INET) continue;
            AddNetworkAddress(
                addresses, ntohl(reinterpret_cast<const sockaddr_in*>(pAddress)->sin_addr.s_addr));
        }
    }
    return addresses;
}
