// CSocketPoller on Win32: WSAPoll over an array of the watched sockets, each for the interest
// last set, woken by a datagram that the poller sends to a loopback socket of its own.
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
    std::unordered_map<SOCKET, size_t> m_index;
    // Sockets to send on whose peer has ended its side: WSAPoll reports that end at every
    // call, so they are looked at apart, with a select that reports only room to send.
    std::unordered_map<SOCKET, void*> m_ended;
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
        state.m_index[state.m_watched[index].fd] = index;
    }
    state.m_watched.pop_back();
    state.m_keys.pop_back();
}

SHORT EventsFor(SocketInterest interest) {
    return interest == SocketInterest::kRead ? POLLRDNORM : POLLWRNORM;
}

// How often sockets in m_ended are looked at while they wait for room to send.
constexpr uint32_t kEndedLookMs = 10;

// Stores the sockets of state.m_ended that have room to send now, up to capacity; their count.
int TakeRoomToSend(KovPollerState& state, CReadySocket* pReady, int capacity) {
    int count = 0;
    auto next = state.m_ended.begin();
    while (next != state.m_ended.end() && count < capacity) {
        fd_set writable;
        FD_ZERO(&writable);
        for (auto it = next; it != state.m_ended.end() && writable.fd_count < FD_SETSIZE; ++it)
            FD_SET(it->first, &writable);
        timeval now = {0, 0};
        const u_int looked = writable.fd_count;
        if (select(0, nullptr, &writable, nullptr, &now) == SOCKET_ERROR) writable.fd_count = 0;
        for (u_int index = 0; index < looked; ++index, ++next) {
            if (count < capacity && FD_ISSET(next->first, &writable))
                pReady[count++] = CReadySocket{next->second, false, false};
        }
    }
    return count;
}

}  // namespace

// Under Wine every wait is a round trip to the wineserver, which only threads of their own
// overlap; docs/architecture.md (the placement rule) has the figures.
const int CSocketPoller::kConnectionsPerWakeUp = 1;
const uint32_t CSocketPoller::kLookBeforeSleepMicros = 0;
const int CSocketPoller::kAcceptsPerReport = INT_MAX;

CSocketPoller::CSocketPoller() : m_pState(new KovPollerState) {
    m_pState->m_wake = MakeWakeSocket(m_pState->m_wakeAddress);
    if (m_pState->m_wake == INVALID_SOCKET) return;
    WSAPOLLFD wake = {};
    wake.fd = m_pState->m_wake;
    wake.events = POLLRDNORM;
    m_pState->m_watched.push_back(wake);
    m_pState->m_keys.push_back(nullptr);
}

CSocketPoller::~CSocketPoller() {
    if (m_pState->m_wake != INVALID_SOCKET) closesocket(m_pState->m_wake);
    delete m_pState;
}

bool CSocketPoller::IsValid() const {
    return m_pState->m_wake != INVALID_SOCKET;
}

bool CSocketPoller::Watch(SOCKET s, SocketInterest interest, void* pKey) {
    m_pState->m_ended.erase(s);
    auto found = m_pState->m_index.find(s);
    if (found != m_pState->m_index.end()) {
        m_pState->m_watched[found->second].events = EventsFor(interest);
        m_pState->m_keys[found->second] = pKey;
        return true;
    }
    WSAPOLLFD entry = {};
    entry.fd = s;
    entry.events = EventsFor(interest);
    m_pState->m_index[s] = m_pState->m_watched.size();
    m_pState->m_watched.push_back(entry);
    m_pState->m_keys.push_back(pKey);
    return true;
}

bool CSocketPoller::WatchListening(SOCKET s, void* pKey) {
    // WSAPoll reports a socket at every wait while it is ready.
    return Watch(s, SocketInterest::kRead, pKey);
}

void CSocketPoller::SetInterest(SOCKET s, SocketInterest interest) {
    auto ended = m_pState->m_ended.find(s);
    if (ended != m_pState->m_ended.end()) {
        // Reading finds the end at once.
        if (interest == SocketInterest::kRead) Watch(s, interest, ended->second);
        return;
    }
    auto found = m_pState->m_index.find(s);
    if (found != m_pState->m_index.end())
        m_pState->m_watched[found->second].events = EventsFor(interest);
}

void CSocketPoller::Forget(SOCKET s) {
    m_pState->m_ended.erase(s);
    auto found = m_pState->m_index.find(s);
    if (found != m_pState->m_index.end()) RemoveAt(*m_pState, found->second);
}

int CSocketPoller::Wait(uint32_t ms, CReadySocket* pReady, int capacity) {
    KovPollerState& state = *m_pState;
    if (!state.m_ended.empty()) ms = std::min(ms, kEndedLookMs);
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
    int count = TakeRoomToSend(state, pReady, capacity);
    for (size_t index = state.m_watched.size(); index-- > 1 && count < capacity;) {
        const WSAPOLLFD entry = state.m_watched[index];
        if (entry.revents == 0) continue;
        pReady[count].m_pKey = state.m_keys[index];
        pReady[count].m_bReadable = (entry.revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
        pReady[count].m_bEnded = (entry.revents & (POLLHUP | POLLERR)) != 0;
        ++count;
        if (entry.events == POLLWRNORM && (entry.revents & POLLHUP) != 0 &&
            (entry.revents & POLLERR) == 0) {
            // Reported once; from now on only room to send counts, or the wait would spin.
            state.m_ended[entry.fd] = state.m_keys[index];
            RemoveAt(state, index);
        }
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
