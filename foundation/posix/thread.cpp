// CThread on POSIX: a pthread whose exit code is its result, read by joining it once it has
// ended.
#include <cstdint>

#include "foundation/thread.h"

// The object's record of its pthread; the thread itself never touches it, so an object may
// go while its thread is on its way out.
struct KovThreadState {
    pthread_t m_thread;
    bool m_bJoined;
    DWORD m_nExitCode;  // Run's result, once joined
};

namespace {

// The pthread start routine: the body, whose result the join hands back.
void* ThreadMain(void* pParameter) {
    const DWORD code = static_cast<CThread*>(pParameter)->Run();
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

// Records the result that pthread_join or pthread_tryjoin_np gave.
void NoteJoined(KovThreadState* pState, void* pResult) {
    pState->m_bJoined = true;
    pState->m_nExitCode = static_cast<DWORD>(reinterpret_cast<uintptr_t>(pResult));
}

}  // namespace

CThread::~CThread() {
    if (m_hThread == nullptr) return;
    // A thread not joined yet is left to clean up after itself when it ends.
    if (!m_hThread->m_bJoined) pthread_detach(m_hThread->m_thread);
    delete m_hThread;
}

bool CThread::Start() {
    KovThreadState* pState = new KovThreadState{pthread_t(), false, STILL_ACTIVE};
    if (pthread_create(&pState->m_thread, nullptr, ThreadMain, this) != 0) {
        delete pState;
        return false;
    }
    m_hThread = pState;
    return true;
}

void CThread::WaitForEnd() {
    if (m_hThread == nullptr || m_hThread->m_bJoined) return;
    void* pResult = nullptr;
    if (pthread_join(m_hThread->m_thread, &pResult) == 0) NoteJoined(m_hThread, pResult);
}

bool CThread::QueryExitCode(DWORD& code) const {
    if (m_hThread == nullptr) return false;
    void* pResult = nullptr;
    if (!m_hThread->m_bJoined && pthread_tryjoin_np(m_hThread->m_thread, &pResult) == 0)
        NoteJoined(m_hThread, pResult);
    code = m_hThread->m_bJoined ? m_hThread->m_nExitCode : STILL_ACTIVE;
    return true;
}
