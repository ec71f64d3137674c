// CSocketPoller on Win32: WSAPoll over an array of the watched sockets, woken by a datagram
// that the poller sends to a loopback socket of its own.
#include "foundation/socket_poller.h"

#include <algorithm>
#include <climits>
#include <unordered_map>
#include <vector>

#include "foundation/event.h"

struct KovPollerState {
    SOCKET m_wake = INVALID_SOCKET;  // a UDP socket bound to loopback that receives Wake
    sockaddr_in m_wakeAddress = {};
    std::vector<WSAPOLLFD> m_watched;  // [0] is the wake socket
    std::vector<void*> m_keys;
    std::vector<bool> m_forGood;  // stays watched after it is reported
    std::unordered_map<SOCKET, size_t> m_index;
};

namespace {

// A non-blocking UDP socket on a port of loopback that the system chooses.
SOCKET MakeWakeSocket(sockaddr_in& address) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return s;
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    u_long nonBlocking = 1;
    if (bind(s, reinterpret_cast<const SOCKADDR*>(&address), sizeof address) != 0 ||
        getsockname(s, reinterpret_cast<SOCKADDR*>(&address), &length) != 0 ||
        ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void RemoveAt(KovPollerState& state, size_t index) {
    state.m_index.erase(state.m_watched[index].fd);
    const size_t last = state.m_watched.size() - 1;
    if (index != last) {
        state.m_watched[index] = state.m_watched[last];
        state.m_keys[index] = state.m_keys[last];
        state.m_forGood[index] = state.m_forGood[last];
        state.m_index[state.m_watched[index].fd] = index;
    }
    state.m_watched.pop_back();
    state.m_keys.pop_back();
    state.m_forGood.pop_back();
}

}  // namespace

// The array that WSAPoll reads is the waiting thread's own.
const bool CSocketPoller::kWatchFromAnyThread = false;

CSocketPoller::CSocketPoller() : m_pState(new KovPollerState) {
    m_pState->m_wake = MakeWakeSocket(m_pState->m_wakeAddress);
    if (m_pState->m_wake == INVALID_SOCKET) return;
    WSAPOLLFD wake = {};
    wake.fd = m_pState->m_wake;
    wake.events = POLLRDNORM;
    m_pState->m_watched.push_back(wake);
    m_pState->m_keys.push_back(nullptr);
    m_pState->m_forGood.push_back(true);
}

CSocketPoller::~CSocketPoller() {
    if (m_pState->m_wake != INVALID_SOCKET) closesocket(m_pState->m_wake);
    delete m_pState;
}

bool CSocketPoller::IsValid() const {
    return m_pState->m_wake != INVALID_SOCKET;
}

bool CSocketPoller::Watch(SOCKET s, SocketInterest interest, void* pKey, bool bForGood) {
    const SHORT events = interest == SocketInterest::kRead ? POLLRDNORM : POLLWRNORM;
    auto found = m_pState->m_index.find(s);
    if (found != m_pState->m_index.end()) {
        m_pState->m_watched[found->second].events = events;
        m_pState->m_keys[found->second] = pKey;
        m_pState->m_forGood[found->second] = bForGood;
        return true;
    }
    WSAPOLLFD entry = {};
    entry.fd = s;
    entry.events = events;
    m_pState->m_index[s] = m_pState->m_watched.size();
    m_pState->m_watched.push_back(entry);
    m_pState->m_keys.push_back(pKey);
    m_pState->m_forGood.push_back(bForGood);
    return true;
}

void CSocketPoller::Forget(SOCKET s) {
    auto found = m_pState->m_index.find(s);
    if (found != m_pState->m_index.end()) RemoveAt(*m_pState, found->second);
}

int CSocketPoller::Wait(uint32_t ms, void** ppKeys, int capacity) {
    KovPollerState& state = *m_pState;
    const INT timeout =
        ms == kWaitInfinite ? -1 : static_cast<INT>(std::min<uint32_t>(ms, INT_MAX));
    for (WSAPOLLFD& entry : state.m_watched) entry.revents = 0;
    const int ready =
        WSAPoll(state.m_watched.data(), static_cast<ULONG>(state.m_watched.size()), timeout);
    if (ready == SOCKET_ERROR) return -1;
    if (state.m_watched[0].revents != 0) {
        char drain[64];
        while (recv(state.m_wake, drain, sizeof drain, 0) > 0) {
        }
    }
    int count = 0;
    // Reported sockets leave the array, so walk it from the end.
    for (size_t index = state.m_watched.size(); index-- > 1 && count < capacity;) {
        if (state.m_watched[index].revents == 0) continue;
        ppKeys[count++] = state.m_keys[index];
        if (!state.m_forGood[index]) RemoveAt(state, index);
    }
    return count;
}

void CSocketPoller::Wake() {
    const char one = 1;
    sendto(m_pState->m_wake, &one, 1, 0,
           reinterpret_cast<const SOCKADDR*>(&m_pState->m_wakeAddress),
           sizeof m_pState->m_wakeAddress);
}

int HostConnectionLimit(int wanted) {
    // Windows sockets are handles, and a process has far more of those than we hold.
    return wanted;
}
