// What the listener tells its owner about its start: listening on a port, or failed with
// the host's error code. Front ends learn the server's state here, never from the log.
#pragma once

#include <atomic>

enum class ListenState { kStarting, kListening, kFailed };

// Called once, on the listener's thread, as soon as the outcome can be read.
typedef void (*ListenOutcomeCallback)(void* pContext);

class CListenStatus {
public:
    CListenStatus();
    CListenStatus(const CListenStatus&) = delete;
    CListenStatus& operator=(const CListenStatus&) = delete;

    // Names who is told of the outcome; set before the listener starts.
    void SetCallback(ListenOutcomeCallback pfnCallback, void* pContext);
    // The listener's set-up is over: at most one of the two, once.
    void ReportListening(unsigned short port);
    void ReportFailed(int error);

    ListenState GetState() const { return m_state.load(std::memory_order_acquire); }
    // The port listened on; 0 until kListening.
    unsigned short GetPort() const;
    // The host's error code once kFailed (errno, or the Windows Sockets error); 0 when the
    // host gave none.
    int GetError() const;

private:
    void Publish(ListenState state);

    std::atomic<ListenState> m_state;
    // Written before m_state is published and read only after it has been seen.
    unsigned short m_nPort;
    int m_nError;
    ListenOutcomeCallback m_pfnCallback;
    void* m_pContext;
};
