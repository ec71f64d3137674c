// Which of the host's addresses other machines may use.
#include <algorithm>

#include "foundation/network.h"

void AddNetworkAddress(std::vector<uint32_t>& addresses, uint32_t address) {
    const bool bLoopback = (address >> 24) == 127;
    // A link-local address is what a host gives itself when no network gave it one.
    const bool bLinkLocal = (address >> 16) == 0xA9FE;
    if (bLoopback || bLinkLocal) return;
    if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
        addresses.push_back(address);
    }
}
