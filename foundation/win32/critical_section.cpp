// The critical section on Win32: the object is the system's record itself.
#include "foundation/critical_section.h"

CCriticalSection::CCriticalSection() {
    InitializeCriticalSection(this);
}

CCriticalSection::~CCriticalSection() {
    DeleteCriticalSection(this);
}

void CCriticalSection::Enter() {
    EnterCriticalSection(this);
}

void CCriticalSection::Leave() {
    LeaveCriticalSection(this);
}
