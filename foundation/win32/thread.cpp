// Threads on Win32: CreateThread with a trampoline into the portable entry point.
#include "foundation/thread.h"

namespace {

// The system calls thread routines with its own calling convention.
DWORD WINAPI ThreadTrampoline(LPVOID pParameter) {
    return CThread::ThreadProc(pParameter);
}

}  // namespace

CThread::CThread(bool bAutoDelete) : m_hThread(nullptr), m_bAutoDelete(bAutoDelete) {}

CThread::~CThread() {
    // Closing the handle neither stops nor waits for the thread; an auto-deleting object
    // runs this on its own thread, which may still be on its way out.
    if (m_hThread != nullptr) CloseHandle(m_hThread);
}

bool CThread::Start() {
    // Created suspended so that the handle is stored before Run can begin: an
    // auto-deleting object may be gone as soon as its thread has run.
    HANDLE hThread = CreateThread(nullptr, 0, ThreadTrampoline, this, CREATE_SUSPENDED, nullptr);
    if (hThread == nullptr) return false;
    m_hThread = hThread;
    ResumeThread(hThread);
    return true;
}

bool CThread::QueryExitCode(DWORD& code) const {
    if (m_hThread == nullptr) return false;
    return GetExitCodeThread(m_hThread, &code) != FALSE;
}

void CThread::GiveWayToOtherThreads() {
    // A thread that cannot be lowered only costs the others a little waiting.
    (void)SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}
