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
    // Read before Run: an owner may destroy an object that does not delete itself while
    // its body is finishing, after which nothing of the object may be touched.
    const bool bAutoDelete = pThread->m_bAutoDelete;
    const DWORD code = pThread->Run();
    if (bAutoDelete) delete pThread;
    return code;
}
