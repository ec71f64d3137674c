// The folder listings one worker has built, kept while its change watch can tell that
// nothing they show has changed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "server/folder_listing.h"

// One built listing: the page's body and tag, and what it was built from.
struct CListingPage {
    std::string m_folder;  // below the root, as ListFolderBelow takes it
    CListingOrder m_order;
    std::shared_ptr<CFolder> m_pRoot;  // the root it was read below
    uint64_t m_nGeneration = 0;        // of the change watch, when its folder was watched
    std::string m_body;
    std::string m_etag;
};

// A few pages, the most recently used kept when the cap is reached, so that a worker's
// memory stays bounded whatever folders are listed.
class CListingCache {
public:
    static constexpr size_t kMostPages = 8;
    static constexpr size_t kMostBytes = 4 << 20;

    // The page kept for folder in order, built under generation: nothing it shows has
    // changed since (the caller still asks whether its root is current). Null when none.
    const CListingPage* Find(const std::string& folder, const CListingOrder& order,
                             uint64_t generation);
    // Keeps page (moved in), in place of an older one of the same folder and order; a page
    // larger than the cap is not kept.
    void Keep(CListingPage&& page);
    size_t GetPageCount() const { return m_pages.size(); }

private:
    std::vector<CListingPage> m_pages;  // the most recently used last
    size_t m_nBytes = 0;
};
