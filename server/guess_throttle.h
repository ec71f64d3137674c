// The limit on guessing a password: an address whose tries were wrong too often within a
// minute has its further tries refused, without any worker waiting for it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

#include "foundation/critical_section.h"

// The wrong tries of the addresses that made any lately, shared by every worker. Every
// IPv6 address of one /64 network counts as one, as a single host may hold all of them.
class CGuessThrottle {
public:
    static constexpr uint32_t kWrongTriesAllowed = 5;
    static constexpr uint64_t kWindowMs = 60 * 1000;
    static constexpr size_t kDefaultCapacity = 4096;

    // Remembers at most capacity addresses; when full, the one whose window began first is
    // forgotten.
    explicit CGuessThrottle(size_t capacity = kDefaultCapacity);
    CGuessThrottle(const CGuessThrottle&) = delete;
    CGuessThrottle& operator=(const CGuessThrottle&) = delete;

    // The milliseconds the address must still wait until a try of its is checked at
    // monotonic time now; 0 when it may try now. Takes no lock while no address is
    // remembered.
    uint64_t WaitLeft(const char* pszAddress, uint64_t now);
    // Records a wrong try of the address at now. Returns the wait the address was already
    // under (the try is then refused as if it had not been checked), or 0.
    uint64_t CountWrong(const char* pszAddress, uint64_t now);
    // How many addresses are remembered.
    size_t Size() const { return m_nEntries.load(); }

private:
    struct CEntry {
        std::string m_key;
        uint64_t m_nWindowStart;  // the first wrong try of the window
        uint32_t m_nWrong;        // wrong tries since
    };
    typedef std::list<CEntry> CEntryList;

    // Forgets the addresses whose window is over; under the lock.
    void ForgetExpired(uint64_t now);
    // Whether an entry's window is over at now.
    static bool IsOver(const CEntry& entry, uint64_t now);
    // The wait of an entry at now; 0 when it may try.
    static uint64_t WaitOf(const CEntry& entry, uint64_t now);

    const size_t m_nCapacity;
    CCriticalSection m_lock;
    // Oldest window first, so that the expired and the one to drop are at the front.
    CEntryList m_entries;
    std::unordered_map<std::string, CEntryList::iterator> m_index;
    std::atomic<size_t> m_nEntries;  // m_entries' size, read without the lock
};

// The key an address is remembered by: an IPv4 address as it is, an IPv6 address as its
// /64 network ("2001:db8:0:1::/64"). Text that is neither stays as it is.
std::string ThrottleKeyOf(const char* pszAddress);
