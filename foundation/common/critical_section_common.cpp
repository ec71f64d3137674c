// CCriticalLock: holds its section for the scope it lives in.
#include "foundation/critical_section.h"

CCriticalLock::CCriticalLock(CCriticalSection* pSection) : m_pSection(pSection) {
    m_pSection->Enter();
}

CCriticalLock::~CCriticalLock() {
    m_pSection->Leave();
}
