// The listener's outcome, published once for the front ends.
#include "server/listen_status.h"

CListenStatus::CListenStatus()
    : m_state(ListenState::kStarting),
      m_nPort(0),
      m_nError(0),
      m_pfnCallback(nullptr),
      m_pContext(nullptr) {}

void CListenStatus::SetCallback(ListenOutcomeCallback pfnCallback, void* pContext) {
    m_pfnCallback = pfnCallback;
    m_pContext = pContext;
}

void CListenStatus::ReportListening(unsigned short port) {
    m_nPort = port;
    Publish(ListenState::kListening);
}

void CListenStatus::ReportFailed(int error) {
    m_nError = error;
    Publish(ListenState::kFailed);
}

unsigned short CListenStatus::GetPort() const {
    return GetState() == ListenState::kListening ? m_nPort : 0;
}

int CListenStatus::GetError() const {
    return GetState() == ListenState::kFailed ? m_nError : 0;
}

void CListenStatus::Publish(ListenState state) {
    m_state.store(state, std::memory_order_release);
    if (m_pfnCallback != nullptr) m_pfnCallback(m_pContext);
}
