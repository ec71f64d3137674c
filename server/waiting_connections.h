// The connections a worker holds, filed by what they wait for and until when.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/connection.h"

// Owns connections, each filed under what its GetWait said when it was last filed: readers
// and writers by deadline, and those that can go on at once apart. Used by one thread.
class CWaitingConnections {
public:
    static constexpr uint64_t kNoDeadline = UINT64_MAX;

    // Takes ownership of a connection and files it under what its GetWait says.
    void Add(std::unique_ptr<CConnection> pConnection);
    bool Holds(CConnection* p) const { return m_owned.count(p) != 0; }
    // Files p anew under what its GetWait says now; p must be held here.
    void Refile(CConnection* p);
    // Takes p out; null when it is not held here.
    std::unique_ptr<CConnection> Take(CConnection* p);
    // A connection whose deadline has passed by now, left in place; null when none has.
    CConnection* FirstDue(uint64_t now) const;
    // Takes out the connection that has waited longest for bytes from its client (no
    // response of it under way): keep-alive ones first, then one that has had no response
    // yet if its deadline is at dueBy or sooner. Null when there is none such.
    std::unique_ptr<CConnection> TakeLongestWaitingReader(uint64_t dueBy);
    // The deadline of the connection TakeLongestWaitingReader would take first among the
    // keep-alive ones (bKeepAlive) or among all; kNoDeadline when there is none.
    uint64_t LongestWaitingReaderDeadline(bool bKeepAlive) const;
    // Those that can go on at once, and all of them: to be stepped, which may refile them.
    std::vector<CConnection*> GoingOn() const;
    std::vector<CConnection*> All() const;

    // The earliest deadline of a reader or writer; kNoDeadline when nothing waits with one.
    uint64_t NextDeadline() const;
    bool HasGoingOn() const { return !m_goingOn.empty(); }
    size_t Count() const { return m_owned.size(); }

private:
    typedef std::set<std::pair<uint64_t, CConnection*>> CByDeadline;
    struct CEntry {
        std::unique_ptr<CConnection> m_pConnection;
        CByDeadline* m_pList;
        uint64_t m_deadline;
    };
    // The list a connection that waits for want is filed in.
    CByDeadline* ListFor(ConnectionWant want);
    // Files p under its current wait: among readers, writers or those that can go on.
    void File(CConnection* p, CEntry& entry);
    // The first reader among the keep-alive ones, within a short look ahead.
    const std::pair<uint64_t, CConnection*>* FirstKeepAliveReader() const;

    typedef std::unordered_map<CConnection*, CEntry> COwned;
    COwned m_owned;
    CByDeadline m_readers;  // by request head, body or linger deadline: the oldest first
    CByDeadline m_writers;  // by send-stall deadline
    CByDeadline m_goingOn;  // can go on at once
    // The nodes of the last connection taken out, for the next one added: a worker whose
    // clients come and go allocates nothing here for them.
    COwned::node_type m_spareOwned;
    CByDeadline::node_type m_spareFiled;
};
