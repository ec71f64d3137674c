// A critical section, the scoped lock that holds it, and the log's one lock.
#pragma once

#include "foundation/platform_types.h"

class CCriticalSection : public CriticalSectionRecord {
public:
    CCriticalSection();
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter();
    void Leave();
};

// Holds its section from construction to the end of the enclosing scope.
class CCriticalLock {
public:
    explicit CCriticalLock(CCriticalSection* pSection);
    ~CCriticalLock();
    CCriticalLock(const CCriticalLock&) = delete;
    CCriticalLock& operator=(const CCriticalLock&) = delete;

private:
    CCriticalSection* m_pSection;
};

// Serialises every Log call; ready before main/WinMain runs.
extern CCriticalSection g_logLock;
