// CEvent on POSIX: an eventfd that poll() can watch, plus a flag under a mutex.
#include "foundation/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "foundation/clock.h"

struct KovEventState {
    int m_fd;                 // eventfd: readable exactly while the event is set
    pthread_mutex_t m_mutex;  // orders Set before the waits that see it
    bool m_bSet;
};

namespace {

// Whether the event is set, read under its mutex so that the setter's writes are visible.
bool EventStateIsSet(KovEventState* pState) {
    pthread_mutex_lock(&pState->m_mutex);
    const bool bSet = pState->m_bSet;
    pthread_mutex_unlock(&pState->m_mutex);
    return bSet;
}

// Milliseconds to hand to poll() for what is left until deadline; -1 for ever.
int PollTimeout(uint32_t ms, uint64_t deadline) {
    if (ms == kWaitInfinite) return -1;
    const uint64_t now = GetTickCount64Ms();
    if (now >= deadline) return 0;
    const uint64_t left = deadline - now;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Drains the eventfd's counter so that it stops being readable.
void DrainEventFd(int fd) {
    uint64_t value = 0;
    while (read(fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

}  // namespace

CEvent::CEvent() : m_hEvent(nullptr) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return;
    KovEventState* pState = new KovEventState;
    pState->m_fd = fd;
    pthread_mutex_init(&pState->m_mutex, nullptr);
    pState->m_bSet = false;
    m_hEvent = pState;
}

CEvent::~CEvent() {
    if (m_hEvent == nullptr) return;
    close(m_hEvent->m_fd);
    pthread_mutex_destroy(&m_hEvent->m_mutex);
    delete m_hEvent;
}

void CEvent::Set() {
    if (m_hEvent == nullptr) return;
    pthread_mutex_lock(&m_hEvent->m_mutex);
    if (!m_hEvent->m_bSet) {
        m_hEvent->m_bSet = true;
        const uint64_t one = 1;
        while (write(m_hEvent->m_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    pthread_mutex_unlock(&m_hEvent->m_mutex);
}

void CEvent::Reset() {
    if (m_hEvent == nullptr) return;
    pthread_mutex_lock(&m_hEvent->m_mutex);
    if (m_hEvent->m_bSet) {
        m_hEvent->m_bSet = false;
        DrainEventFd(m_hEvent->m_fd);
    }
    pthread_mutex_unlock(&m_hEvent->m_mutex);
}

bool CEvent::IsSet() const {
    return m_hEvent != nullptr && EventStateIsSet(m_hEvent);
}

bool CEvent::Wait(uint32_t ms) const {
    if (m_hEvent == nullptr) return false;
    const uint64_t deadline = GetTickCount64Ms() + (ms == kWaitInfinite ? 0 : ms);
    for (;;) {
        // The flag decides; the descriptor only tells when to look again.
        if (EventStateIsSet(m_hEvent)) return true;
        pollfd watch = {m_hEvent->m_fd, POLLIN, 0};
        const int ready = poll(&watch, 1, PollTimeout(ms, deadline));
        if (ready < 0 && errno != EINTR) return false;
        if (ready == 0) return EventStateIsSet(m_hEvent);
    }
}
