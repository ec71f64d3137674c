// CCriticalSection on POSIX: a default pthread mutex.
#include "foundation/critical_section.h"

CCriticalSection::CCriticalSection() {
    pthread_mutex_init(&m_mutex, nullptr);
}

CCriticalSection::~CCriticalSection() {
    pthread_mutex_destroy(&m_mutex);
}

void CCriticalSection::Enter() {
    pthread_mutex_lock(&m_mutex);
}

void CCriticalSection::Leave() {
    pthread_mutex_unlock(&m_mutex);
}
