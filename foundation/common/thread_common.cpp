// The host-independent half of CThread: the stop request and the stop-and-wait.
#include "foundation/thread.h"

CThread::CThread() : m_hThread(ThreadHandle()) {}

void CThread::RequestStop() {
    m_hStopEvent.Set();
}

void CThread::StopThread() {
    m_hStopEvent.Set();
    WaitForEnd();
}
