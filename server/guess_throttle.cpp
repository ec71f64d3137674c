// The wrong tries per address, kept in a bounded list by the start of their window.
#include "server/guess_throttle.h"

#include <cstring>
#include <vector>

namespace {

// Appends the colon-separated groups of an IPv6 text piece to groups; a dotted IPv4 tail
// counts as the two groups it stands for. The piece may be empty.
void AddGroups(const std::string& piece, std::vector<std::string>* pGroups) {
    size_t at = 0;
    while (at < piece.size()) {
        size_t end = piece.find(':', at);
        if (end == std::string::npos) end = piece.size();
        const std::string group = piece.substr(at, end - at);
        if (group.find('.') != std::string::npos) {
            pGroups->push_back(group);
            pGroups->push_back(std::string());
        } else {
            pGroups->push_back(group.empty() ? "0" : group);
        }
        at = end + 1;
    }
}

}  // namespace

std::string ThrottleKeyOf(const char* pszAddress) {
    const std::string address = pszAddress != nullptr ? pszAddress : "-";
    if (address.find(':') == std::string::npos) return address;
    std::vector<std::string> groups;
    const size_t gap = address.find("::");
    if (gap == std::string::npos) {
        AddGroups(address, &groups);
    } else {
        std::vector<std::string> tail;
        AddGroups(address.substr(0, gap), &groups);
        AddGroups(address.substr(gap + 2), &tail);
        while (groups.size() + tail.size() < 8) groups.push_back("0");
        groups.insert(groups.end(), tail.begin(), tail.end());
    }
    if (groups.size() != 8) return address;
    return groups[0] + ":" + groups[1] + ":" + groups[2] + ":" + groups[3] + "::/64";
}

CGuessThrottle::CGuessThrottle(size_t capacity)
    : m_nCapacity(capacity > 0 ? capacity : 1), m_nEntries(0) {}

bool CGuessThrottle::IsOver(const CEntry& entry, uint64_t now) {
    // Workers read the clock apart, so now may lie a little before a window's start.
    return now >= entry.m_nWindowStart + kWindowMs;
}

uint64_t CGuessThrottle::WaitOf(const CEntry& entry, uint64_t now) {
    if (entry.m_nWrong < kWrongTriesAllowed) return 0;
    const uint64_t end = entry.m_nWindowStart + kWindowMs;
    return end > now ? end - now : 0;
}

void CGuessThrottle::ForgetExpired(uint64_t now) {
    while (!m_entries.empty() && IsOver(m_entries.front(), now)) {
        m_index.erase(m_entries.front().m_key);
        m_entries.pop_front();
    }
    m_nEntries.store(m_entries.size());
}

uint64_t CGuessThrottle::WaitLeft(const char* pszAddress, uint64_t now) {
    // The common case, no wrong try lately, costs one load.
    if (m_nEntries.load() == 0) return 0;
    CCriticalLock lock(&m_lock);
    ForgetExpired(now);
    const auto found = m_index.find(ThrottleKeyOf(pszAddress));
    return found == m_index.end() ? 0 : WaitOf(*found->second, now);
}

uint64_t CGuessThrottle::CountWrong(const char* pszAddress, uint64_t now) {
    std::string key = ThrottleKeyOf(pszAddress);
    CCriticalLock lock(&m_lock);
    ForgetExpired(now);
    auto found = m_index.find(key);
    if (found != m_index.end() && IsOver(*found->second, now)) {
        m_entries.erase(found->second);
        m_index.erase(found);
        found = m_index.end();
    }
    if (found != m_index.end()) {
        CEntry& entry = *found->second;
        // Tries checked side by side with the one that reached the limit count as refused.
        const uint64_t wait = WaitOf(entry, now);
        if (entry.m_nWrong < kWrongTriesAllowed) ++entry.m_nWrong;
        return wait;
    }
    if (m_entries.size() >= m_nCapacity) {
        m_index.erase(m_entries.front().m_key);
        m_entries.pop_front();
    }
    m_entries.push_back(CEntry{key, now, 1});
    m_index.emplace(std::move(key), std::prev(m_entries.end()));
    m_nEntries.store(m_entries.size());
    return 0;
}
