// The listings a worker keeps.
#include "server/listing_cache.h"

#include <algorithm>

const CListingPage* CListingCache::Find(const std::string& folder, const CListingOrder& order,
                                        uint64_t generation) {
    for (size_t i = 0; i < m_pages.size(); ++i) {
        CListingPage& page = m_pages[i];
        if (page.m_folder != folder || !(page.m_order == order)) continue;
        if (page.m_nGeneration != generation) return nullptr;
        std::rotate(m_pages.begin() + static_cast<std::ptrdiff_t>(i),
                    m_pages.begin() + static_cast<std::ptrdiff_t>(i) + 1, m_pages.end());
        return &m_pages.back();
    }
    return nullptr;
}

const CListingPage* CListingCache::Keep(CListingPage&& page) {
    for (size_t i = 0; i < m_pages.size(); ++i) {
        if (m_pages[i].m_folder == page.m_folder && m_pages[i].m_order == page.m_order) {
            m_nBytes -= m_pages[i].BodySize();
            m_pages.erase(m_pages.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (page.BodySize() > kMostBytes) return nullptr;
    while (!m_pages.empty() &&
           (m_pages.size() >= kMostPages || m_nBytes + page.BodySize() > kMostBytes)) {
        m_nBytes -= m_pages.front().BodySize();
        m_pages.erase(m_pages.begin());
    }
    m_nBytes += page.BodySize();
    m_pages.push_back(std::move(page));
    return &m_pages.back();
}
