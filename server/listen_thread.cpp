// The listener thread: accepts connections and hands each to the first idle worker.
#include "server/listen_thread.h"

#include "foundation/critical_section.h"
#include "foundation/log.h"

namespace {

constexpr uint32_t kRetryMs = 100;

}  // namespace

CListenThread::CListenThread(unsigned short port)
    : CThread(false), m_nPort(port), m_nBoundPort(0), m_nAccepted(0) {
    for (CHttpThread& worker : m_workers) {
        worker.SetHandOffsEndedEvent(&m_hHandOffsEnded);
        worker.SetFreedEvent(&m_hWorkerFreed);
    }
}

CListenThread::~CListenThread() = default;

DWORD CListenThread::Run() {
    Log(L"Starting Threads\r\n");
    for (CHttpThread& worker : m_workers) worker.Start();
    switch (SetUpListening()) {
        case SetupResult::kListening:
            break;
        case SetupResult::kFailed:
            return 0;
        case SetupResult::kStopped:
            return 1;
    }
    CSocket client;
    Log(L"Listening...");
    while (!m_hStopEvent.IsSet()) {
        if (!m_listenSocket.Accept(client, nullptr, nullptr)) {
            // A closed listening socket fails at once; do not spin until the stop arrives.
            m_hStopEvent.Wait(kRetryMs);
            continue;
        }
        m_nAccepted.fetch_add(1, std::memory_order_release);
        Dispatch(client.Detach());
    }
    return 1;
}

CListenThread::SetupResult CListenThread::SetUpListening() {
    CCriticalLock lock(&m_setupLock);
    if (m_hStopEvent.IsSet()) return SetupResult::kStopped;
    if (!m_listenSocket.Create(AF_INET, SOCK_STREAM, 0)) {
        Log(L"Listen socket Create Failed\r\n");
        return SetupResult::kFailed;
    }
    if (!m_listenSocket.Listen(m_nPort)) {
        Log(L"Listen Failed\r\n");
        return SetupResult::kFailed;
    }
    m_nBoundPort.store(m_listenSocket.GetLocalPort(), std::memory_order_release);
    return SetupResult::kListening;
}

void CListenThread::Dispatch(SOCKET s) {
    for (;;) {
        // Reset before the offers: a worker freed after them sets it again, so the wait
        // below cannot miss it.
        m_hWorkerFreed.Reset();
        for (CHttpThread& worker : m_workers) {
            if (worker.Assign(s)) return;
        }
        m_hWorkerFreed.Wait(kRetryMs);
    }
}

void CListenThread::Stop() {
    // After this the listener sets up no socket; one it has already set up is closed here,
    // which releases an accept that it may be blocked in.
    RequestStop();
    {
        CCriticalLock lock(&m_setupLock);
        m_listenSocket.Close();
    }
    // All workers wind down their connections at the same time, within their grace.
    for (CHttpThread& worker : m_workers) worker.RequestStop();
    StopThread();
    m_hHandOffsEnded.Set();
    for (CHttpThread& worker : m_workers) worker.Shutdown();
}
