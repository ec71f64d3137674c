// What a POSIX CEvent handle points to; shared by the event and the socket waits.
#pragma once

#include <pthread.h>

struct KovEventState {
    int m_fd;                 // eventfd: readable exactly while the event is set
    pthread_mutex_t m_mutex;  // orders Set before the waits that see it
    bool m_bSet;
};

// The descriptor that poll() watches for the event; -1 for a null handle.
inline int EventPollFd(const KovEventState* pState) {
    return pState ? pState->m_fd : -1;
}

// Whether the event is set, read under its mutex so that the setter's writes are visible.
bool EventStateIsSet(KovEventState* pState);
