// CSocketPoller on Linux: edge-triggered epoll registrations and an eventfd to wake the wait.
#include "foundation/socket_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "foundation/event.h"

struct KovPollerState {
    int m_epoll = -1;
    int m_wake = -1;
    std::vector<epoll_event> m_events;
    // By descriptor, what it was last registered with: a change of interest registers the
    // same key anew.
    struct CRegistration {
        void* m_pKey = nullptr;
        bool m_bSendWatched = false;  // reports sending room (EPOLLOUT)
        bool m_bListening = false;    // level-triggered: reported while clients wait
    };
    std::vector<CRegistration> m_registrations;
};

namespace {

// The key that marks the wake descriptor among the ready ones.
char g_wakeKey;

// Descriptors a server needs beside its connections: standard streams, events, the
// listening socket, the poller, the document root and the files being served.
constexpr int kDescriptorReserve = 48;

}  // namespace

// On a few cores, the more workers are awake the more they and the clients take turns on
// them; docs/architecture.md (the placement rule) has the figures.
const int CSocketPoller::kConnectionsPerWakeUp = 256;
// About what a client on another core takes to read an answer and send its next request.
const uint32_t CSocketPoller::kLookBeforeSleepMicros = 30;
const int CSocketPoller::kAcceptsPerReport = 1;

CSocketPoller::CSocketPoller() : m_pState(new KovPollerState) {
    m_pState->m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_pState->m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_pState->m_epoll < 0 || m_pState->m_wake < 0) return;
    epoll_event event = {};
    // Edge-triggered, every write to the eventfd reports it anew however high its count, so
    // that a wake costs the woken thread no read.
    event.events = EPOLLIN | EPOLLET;
    event.data.ptr = &g_wakeKey;
    if (epoll_ctl(m_pState->m_epoll, EPOLL_CTL_ADD, m_pState->m_wake, &event) != 0) {
        close(m_pState->m_wake);
        m_pState->m_wake = -1;
    }
}

CSocketPoller::~CSocketPoller() {
    if (m_pState->m_epoll >= 0) close(m_pState->m_epoll);
    if (m_pState->m_wake >= 0) close(m_pState->m_wake);
    delete m_pState;
}

bool CSocketPoller::IsValid() const {
    return m_pState->m_epoll >= 0 && m_pState->m_wake >= 0;
}

namespace {

// The events a socket is registered for: the end and what arrives always, sending room only
// once the socket is to send. A socket that is writable when registered for it is reported at
// the next wait, and a reader reported for that room would wake its thread for nothing.
uint32_t EventsFor(SocketInterest interest) {
    const uint32_t events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    return interest == SocketInterest::kWrite ? events | EPOLLOUT : events;
}

// Registers s with the key and events, or changes its registration, and notes what it is
// watched for.
bool Register(KovPollerState& state, SOCKET s, uint32_t events, void* pKey,
              const KovPollerState::CRegistration& registration) {
    epoll_event event = {};
    event.events = events;
    event.data.ptr = pKey;
    if (epoll_ctl(state.m_epoll, EPOLL_CTL_ADD, s, &event) != 0 &&
        (errno != EEXIST || epoll_ctl(state.m_epoll, EPOLL_CTL_MOD, s, &event) != 0))
        return false;
    const size_t index = static_cast<size_t>(s);
    if (index >= state.m_registrations.size()) state.m_registrations.resize(index + 1);
    state.m_registrations[index] = registration;
    return true;
}

// Registers s with the key and the events for interest.
bool Register(KovPollerState& state, SOCKET s, SocketInterest interest, void* pKey) {
    const bool bSend = interest == SocketInterest::kWrite;
    return Register(state, s, EventsFor(interest), pKey, {pKey, bSend, false});
}

}  // namespace

bool CSocketPoller::Watch(SOCKET s, SocketInterest interest, void* pKey) {
    return Register(*m_pState, s, interest, pKey);
}

bool CSocketPoller::WatchListening(SOCKET s, void* pKey) {
    // Level-triggered: each wait reports it again while clients wait.
    return Register(*m_pState, s, EPOLLIN, pKey, {pKey, false, true});
}

void CSocketPoller::SetInterest(SOCKET s, SocketInterest interest) {
    // Sending room, once watched, stays watched: edge-triggered, it is reported only to a
    // socket whose send found the buffer full, and a connection that sent much once tends to
    // again. What arrives is always watched.
    if (interest != SocketInterest::kWrite) return;
    const size_t index = static_cast<size_t>(s);
    // A socket not watched yet gets its interest with its Watch.
    if (index >= m_pState->m_registrations.size() ||
        m_pState->m_registrations[index].m_pKey == nullptr)
        return;
    const KovPollerState::CRegistration& registration = m_pState->m_registrations[index];
    if (!registration.m_bSendWatched) Register(*m_pState, s, interest, registration.m_pKey);
}

void CSocketPoller::Forget(SOCKET s) {
    // Closing the socket removes its registration; a call now would cost one per connection
    // for nothing. Its number may come back for another socket, which is not watched yet.
    // A listening socket stays open while forgotten, and would be reported at every wait.
    const size_t index = static_cast<size_t>(s);
    if (index >= m_pState->m_registrations.size()) return;
    if (m_pState->m_registrations[index].m_bListening)
        epoll_ctl(m_pState->m_epoll, EPOLL_CTL_DEL, s, nullptr);
    m_pState->m_registrations[index] = {};
}

int CSocketPoller::Wait(uint32_t ms, CReadySocket* pReady, int capacity) {
    if (capacity <= 0) return 0;
    std::vector<epoll_event>& events = m_pState->m_events;
    events.resize(static_cast<size_t>(capacity));
    const int timeout =
        ms == kWaitInfinite ? -1 : static_cast<int>(std::min<uint32_t>(ms, INT_MAX));
    int ready = epoll_wait(m_pState->m_epoll, events.data(), capacity, timeout);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    int count = 0;
    for (int index = 0; index < ready; ++index) {
        if (events[index].data.ptr == &g_wakeKey) continue;
        const uint32_t what = events[index].events;
        pReady[count].m_pKey = events[index].data.ptr;
        pReady[count].m_bReadable = (what & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
        pReady[count].m_bEnded = (what & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
        ++count;
    }
    return count;
}

void CSocketPoller::Wake() {
    const uint64_t one = 1;
    while (write(m_pState->m_wake, &one, sizeof one) < 0) {
        if (errno == EINTR) continue;
        // The count is never read down; at its top a read empties it, and the write goes on.
        uint64_t count = 0;
        if (errno != EAGAIN || read(m_pState->m_wake, &count, sizeof count) < 0) return;
    }
}

int HostConnectionLimit(int wanted) {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
    // A server that holds many connections takes all the descriptors it is allowed.
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY) return wanted;
    // A connection with an answer in progress also holds its file.
    const long long room = (static_cast<long long>(limit.rlim_cur) - kDescriptorReserve) / 2;
    return static_cast<int>(std::max<long long>(1, std::min<long long>(wanted, room)));
}
