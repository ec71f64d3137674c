// The connections the listener holds while they wait for their socket, with their deadlines.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "server/connection.h"

// Owns waiting connections, each filed under what its GetWait says at the time it comes in.
// Used by the listener thread alone.
class CWaitingConnections {
public:
    static constexpr uint64_t kNoDeadline = UINT64_MAX;

    void Add(std::unique_ptr<CConnection> pConnection);
    // Takes p out; null when it is not held here.
    std::unique_ptr<CConnection> Take(CConnection* p);
    // Takes out one connection whose deadline has passed by now; null when none has.
    std::unique_ptr<CConnection> TakeExpired(uint64_t now);
    // Takes out the connection that has waited longest for bytes from its client (nothing
    // of it is being answered): kept-alive ones first, then one that has had no answer yet
    // if its deadline is at dueBy or sooner. Null when there is none such.
    std::unique_ptr<CConnection> TakeLongestWaitingReader(uint64_t dueBy);
    std::vector<std::unique_ptr<CConnection>> TakeAll();

    uint64_t NextDeadline() const;  // kNoDeadline when nothing waits
    size_t Count() const { return m_owned.size(); }

private:
    typedef std::set<std::pair<uint64_t, CConnection*>> CByDeadline;
    struct CEntry {
        std::unique_ptr<CConnection> m_pConnection;
        CByDeadline* m_pList;
        uint64_t m_deadline;
    };
    std::unique_ptr<CConnection> TakeFirst(CByDeadline& list);

    std::unordered_map<CConnection*, CEntry> m_owned;
    CByDeadline m_readers;  // by head, body or linger deadline: the oldest first
    CByDeadline m_writers;  // by send-stall deadline
};
