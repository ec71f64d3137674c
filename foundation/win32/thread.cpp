// CThread on Win32: CreateThread with a trampoline into the body, a wait on its handle.
#include "foundation/thread.h"

namespace {

// The system calls thread routines with its own calling convention.
DWORD WINAPI ThreadTrampoline(LPVOID pParameter) {
    return static_cast<CThread*>(pParameter)->Run();
}

}  // namespace

CThread::~CThread() {
    // Closing the handle neither stops nor waits for the thread.
    if (m_hThread != nullptr) CloseHandle(m_hThread);
}

bool CThread::Start() {
    m_hThread = CreateThread(nullptr, 0, ThreadTrampoline, this, 0, nullptr);
    return m_hThread != nullptr;
}

void CThread::WaitForEnd() {
    if (m_hThread != nullptr) WaitForSingleObject(m_hThread, INFINITE);
}

bool CThread::QueryExitCode(DWORD& code) const {
    if (m_hThread == nullptr) return false;
    return GetExitCodeThread(m_hThread, &code) != FALSE;
}
