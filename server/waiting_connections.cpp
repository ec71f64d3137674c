// Waiting connections filed by deadline, so that the next one due and the one that has
// waited longest are found without looking at the others.
#include "server/waiting_connections.h"

#include <algorithm>

void CWaitingConnections::Add(std::unique_ptr<CConnection> pConnection) {
    CConnection* p = pConnection.get();
    const CConnectionWait& wait = p->GetWait();
    CByDeadline* pList = wait.m_want == ConnectionWant::kWrite ? &m_writers : &m_readers;
    pList->insert({wait.m_deadline, p});
    m_owned[p] = CEntry{std::move(pConnection), pList, wait.m_deadline};
}

std::unique_ptr<CConnection> CWaitingConnections::Take(CConnection* p) {
    auto found = m_owned.find(p);
    if (found == m_owned.end()) return nullptr;
    std::unique_ptr<CConnection> pConnection = std::move(found->second.m_pConnection);
    found->second.m_pList->erase({found->second.m_deadline, p});
    m_owned.erase(found);
    return pConnection;
}

std::unique_ptr<CConnection> CWaitingConnections::TakeFirst(CByDeadline& list) {
    if (list.empty()) return nullptr;
    return Take(list.begin()->second);
}

std::unique_ptr<CConnection> CWaitingConnections::TakeExpired(uint64_t now) {
    for (CByDeadline* pList : {&m_readers, &m_writers}) {
        if (!pList->empty() && pList->begin()->first <= now) return TakeFirst(*pList);
    }
    return nullptr;
}

std::unique_ptr<CConnection> CWaitingConnections::TakeLongestWaitingReader(uint64_t dueBy) {
    // Readers' deadlines lie about the same span after their wait began, so the earliest
    // deadline marks the longest wait. A kept-alive connection that has had its answers goes
    // first, as long as one is found soon; a new one only once its first request is overdue.
    constexpr int kLookAhead = 64;
    int looked = 0;
    for (const auto& entry : m_readers) {
        if (++looked > kLookAhead) break;
        if (entry.second->GetAnswerCount() > 0) return Take(entry.second);
    }
    if (m_readers.empty() || m_readers.begin()->first > dueBy) return nullptr;
    return TakeFirst(m_readers);
}

std::vector<std::unique_ptr<CConnection>> CWaitingConnections::TakeAll() {
    std::vector<std::unique_ptr<CConnection>> all;
    all.reserve(m_owned.size());
    for (auto& entry : m_owned) all.push_back(std::move(entry.second.m_pConnection));
    m_owned.clear();
    m_readers.clear();
    m_writers.clear();
    return all;
}

uint64_t CWaitingConnections::NextDeadline() const {
    uint64_t next = kNoDeadline;
    if (!m_readers.empty()) next = m_readers.begin()->first;
    if (!m_writers.empty()) next = std::min(next, m_writers.begin()->first);
    return next;
}
