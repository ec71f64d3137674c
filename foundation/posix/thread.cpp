// CThread on POSIX: a pthread whose end and exit code live in a shared, counted state.
#include "foundation/thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

// Shared by the object and its thread: an auto-deleting object is gone before its
// thread records the exit code, so neither owns the state alone.
struct KovThreadState {
    pthread_t m_thread;
    pthread_mutex_t m_mutex;  // guards everything below, and m_thread while Start writes it
    bool m_bEnded;
    DWORD m_nExitCode;
    CThread* m_pObject;
    std::atomic<int> m_nReferences;
};

namespace {

void ReleaseState(KovThreadState* pState) {
    if (pState->m_nReferences.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    pthread_mutex_destroy(&pState->m_mutex);
    delete pState;
}

// The pthread start routine: the body, then the exit code for those who ask.
void* ThreadMain(void* pParameter) {
    KovThreadState* pState = static_cast<KovThreadState*>(pParameter);
    const DWORD code = CThread::ThreadProc(pState->m_pObject);
    pthread_mutex_lock(&pState->m_mutex);
    pState->m_nExitCode = code;
    pState->m_bEnded = true;
    pthread_mutex_unlock(&pState->m_mutex);
    ReleaseState(pState);
    return nullptr;
}

}  // namespace

CThread::CThread(bool bAutoDelete) : m_hThread(nullptr), m_bAutoDelete(bAutoDelete) {}

CThread::~CThread() {
    KovThreadState* pState = m_hThread;
    if (pState == nullptr) return;
    // Waits, if need be, until Start has stored the pthread id.
    pthread_mutex_lock(&pState->m_mutex);
    const bool bOwnThread = pthread_equal(pState->m_thread, pthread_self()) != 0;
    const bool bEnded = pState->m_bEnded;
    const pthread_t thread = pState->m_thread;
    pthread_mutex_unlock(&pState->m_mutex);
    // A thread that has ended is reaped now; one still running (or deleting its own
    // object) cleans up after itself.
    if (bEnded && !bOwnThread)
        pthread_join(thread, nullptr);
    else
        pthread_detach(thread);
    ReleaseState(pState);
}

bool CThread::Start() {
    KovThreadState* pState = new KovThreadState;
    pthread_mutex_init(&pState->m_mutex, nullptr);
    pState->m_bEnded = false;
    pState->m_nExitCode = STILL_ACTIVE;
    pState->m_pObject = this;
    pState->m_nReferences.store(2, std::memory_order_relaxed);  // this object and the thread
    m_hThread = pState;
    // Held across pthread_create: an auto-deleting object is not destroyed (its
    // destructor takes this mutex) before the id is stored.
    pthread_mutex_lock(&pState->m_mutex);
    const int error = pthread_create(&pState->m_thread, nullptr, ThreadMain, pState);
    pthread_mutex_unlock(&pState->m_mutex);
    if (error == 0) return true;
    m_hThread = nullptr;
    pthread_mutex_destroy(&pState->m_mutex);
    delete pState;
    return false;
}

bool CThread::QueryExitCode(DWORD& code) const {
    KovThreadState* pState = m_hThread;
    if (pState == nullptr) return false;
    pthread_mutex_lock(&pState->m_mutex);
    code = pState->m_bEnded ? pState->m_nExitCode : STILL_ACTIVE;
    pthread_mutex_unlock(&pState->m_mutex);
    return true;
}

void CThread::GiveWayToOtherThreads() {
    // Linux keeps a niceness per thread, set through its thread id; a host that refuses
    // leaves the thread as it was, which only costs the others a little waiting.
    constexpr int kGivingWayNiceness = 10;
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kGivingWayNiceness);
}
