// The host-independent half of CThread: the stop request, the stop-and-wait and the body.
#include "foundation/clock.h"
#include "foundation/thread.h"

namespace {

constexpr uint32_t kStopPollMs = 100;

}  // namespace

void CThread::RequestStop() {
    m_hStopEvent.Set();
}

void CThread::StopThread() {
    m_hStopEvent.Set();
    for (;;) {
        DWORD code = 0;
        // A failed query (no thread was ever created) counts as an ended thread.
        if (!QueryExitCode(code)) code = 0;
        if (code != STILL_ACTIVE) return;
        SleepMs(kStopPollMs);
    }
}

DWORD CThread::ThreadProc(void* pParameter) {
    CThread* pThread = static_cast<CThread*>(pParameter);
    const DWORD code = pThread->Run();
    if (pThread->m_bAutoDelete) delete pThread;
    return code;
}
