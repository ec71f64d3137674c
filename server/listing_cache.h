// The folder listings one worker has built, kept while its change watch can tell that
// nothing they show has changed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "server/folder_listing.h"

// One built listing: the page's body and tag, and what it was built from.
struct CListingPage {
    std::string m_folder;  // below the root, as ListFolderBelow takes it
    CListingOrder m_order;
    uint64_t m_nGeneration = 0;  // of the change watch, when its folder was watched
    // The page, shared with the answers that are still sending it.
    std::shared_ptr<const std::string> m_pBody;
    std::string m_etag;

    size_t BodySize() const { return m_pBody ? m_pBody->size() : 0; }
};

// A few pages, the most recently used kept when the cap is reached, so that a worker's
// memory stays bounded whatever folders are listed.
class CListingCache {
public:
    static constexpr size_t kMostPages = 8;
    static constexpr size_t kMostBytes = 4 << 20;

    // The page kept for folder in order, built under generation: nothing it shows has
    // changed since. Null when none.
    const CListingPage* Find(const std::string& folder, const CListingOrder& order,
                             uint64_t generation);
    // Keeps page, in place of an older one of the same folder and order, and returns the
    // page kept; a page larger than the cap is not kept (nor moved from): null.
    const CListingPage* Keep(CListingPage&& page);
    // Drops every page (their root is no longer the one served).
    void Clear() {
        m_pages.clear();
        m_nBytes = 0;
    }
    size_t GetPageCount() const { return m_pages.size(); }

private:
    std::vector<CListingPage> m_pages;  // the most recently used last
    size_t m_nBytes = 0;
};
