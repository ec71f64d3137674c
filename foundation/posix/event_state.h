// What a POSIX CEvent handle points to.
#pragma once

#include <pthread.h>

struct KovEventState {
    int m_fd;                 // eventfd: readable exactly while the event is set
    pthread_mutex_t m_mutex;  // orders Set before the waits that see it
    bool m_bSet;
};

// Whether the event is set, read under its mutex so that the setter's writes are visible.
bool EventStateIsSet(KovEventState* pState);
