// A worker's connections filed by deadline, so that the next one due and the one that has
// waited longest are found without looking at the others.
#include "server/waiting_connections.h"

#include <algorithm>

namespace {

// How far the search for a keep-alive connection looks before it takes the oldest reader.
constexpr int kLookAhead = 64;

}  // namespace

void CWaitingConnections::Add(std::unique_ptr<CConnection> pConnection) {
    CConnection* p = pConnection.get();
    CEntry* pEntry = nullptr;
    if (m_spareOwned) {
        m_spareOwned.key() = p;
        pEntry = &m_owned.insert(std::move(m_spareOwned)).position->second;
    } else {
        pEntry = &m_owned[p];
    }
    pEntry->m_pConnection = std::move(pConnection);
    File(p, *pEntry);
}

void CWaitingConnections::File(CConnection* p, CEntry& entry) {
    const CConnectionWait& wait = p->GetWait();
    entry.m_pList = ListFor(wait.m_want);
    entry.m_deadline = wait.m_deadline;
    if (!m_spareFiled) {
        entry.m_pList->insert({entry.m_deadline, p});
        return;
    }
    m_spareFiled.value() = {entry.m_deadline, p};
    entry.m_pList->insert(std::move(m_spareFiled));
}

CWaitingConnections::CByDeadline* CWaitingConnections::ListFor(ConnectionWant want) {
    return want == ConnectionWant::kWrite  ? &m_writers
           : want == ConnectionWant::kGoOn ? &m_goingOn
                                           : &m_readers;
}

void CWaitingConnections::Refile(CConnection* p) {
    CEntry& entry = m_owned.at(p);
    // The node moves to its new place instead of being freed and allocated again: a
    // kept-alive connection is refiled at every request.
    CByDeadline::node_type node = entry.m_pList->extract({entry.m_deadline, p});
    const CConnectionWait& wait = p->GetWait();
    entry.m_pList = ListFor(wait.m_want);
    entry.m_deadline = wait.m_deadline;
    node.value().first = entry.m_deadline;
    entry.m_pList->insert(std::move(node));
}

std::unique_ptr<CConnection> CWaitingConnections::Take(CConnection* p) {
    auto found = m_owned.find(p);
    if (found == m_owned.end()) return nullptr;
    std::unique_ptr<CConnection> pConnection = std::move(found->second.m_pConnection);
    m_spareFiled = found->second.m_pList->extract({found->second.m_deadline, p});
    m_spareOwned = m_owned.extract(found);
    return pConnection;
}

CConnection* CWaitingConnections::FirstDue(uint64_t now) const {
    for (const CByDeadline* pList : {&m_readers, &m_writers}) {
        if (!pList->empty() && pList->begin()->first <= now) return pList->begin()->second;
    }
    return nullptr;
}

const std::pair<uint64_t, CConnection*>* CWaitingConnections::FirstKeepAliveReader() const {
    // Readers' deadlines lie about the same span after their wait began, so the earliest
    // deadline marks the longest wait.
    int looked = 0;
    for (const auto& entry : m_readers) {
        if (++looked > kLookAhead) break;
        if (entry.second->GetAnswerCount() > 0) return &entry;
    }
    return nullptr;
}

std::unique_ptr<CConnection> CWaitingConnections::TakeLongestWaitingReader(uint64_t dueBy) {
    // A keep-alive connection that has had its responses goes first, as long as one is found
    // soon; a new one only once its first request is overdue.
    if (const auto* pKeepAlive = FirstKeepAliveReader()) return Take(pKeepAlive->second);
    if (m_readers.empty() || m_readers.begin()->first > dueBy) return nullptr;
    return Take(m_readers.begin()->second);
}

uint64_t CWaitingConnections::LongestWaitingReaderDeadline(bool bKeepAlive) const {
    if (bKeepAlive) {
        const auto* pKeepAlive = FirstKeepAliveReader();
        return pKeepAlive ? pKeepAlive->first : kNoDeadline;
    }
    return m_readers.empty() ? kNoDeadline : m_readers.begin()->first;
}

std::vector<CConnection*> CWaitingConnections::GoingOn() const {
    std::vector<CConnection*> list;
    list.reserve(m_goingOn.size());
    for (const auto& entry : m_goingOn) list.push_back(entry.second);
    return list;
}

std::vector<CConnection*> CWaitingConnections::All() const {
    std::vector<CConnection*> list;
    list.reserve(m_owned.size());
    for (const auto& entry : m_owned) list.push_back(entry.first);
    return list;
}

uint64_t CWaitingConnections::NextDeadline() const {
    uint64_t next = kNoDeadline;
    if (!m_readers.empty()) next = m_readers.begin()->first;
    if (!m_writers.empty()) next = std::min(next, m_writers.begin()->first);
    return next;
}
