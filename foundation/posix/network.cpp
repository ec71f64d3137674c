// The socket library and the machine's addresses on POSIX: nothing to start, getifaddrs.
#include "foundation/network.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

bool InitSockets() {
    return true;
}

void CleanupSockets() {}

std::vector<uint32_t> GetNetworkAddresses() {
    std::vector<uint32_t> addresses;
    ifaddrs* pList = nullptr;
    if (getifaddrs(&pList) != 0) return addresses;
    for (const ifaddrs* p = pList; p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET) continue;
        if ((p->ifa_flags & IFF_UP) == 0 || (p->ifa_flags & IFF_LOOPBACK) != 0) continue;
        AddNetworkAddress(
            addresses, ntohl(reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr));
    }
    freeifaddrs(pList);
    return addresses;
}
