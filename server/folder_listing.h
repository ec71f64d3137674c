// The page that lists a folder's entries, and its entity tag, built from what the folder
// holds without touching the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/file.h"

// One entry of a folder, as the listing shows it: what ListFolderBelow reads.
using CListingEntry = CFolderEntry;

// What a listing is sorted by; folders always come before files.
enum class EListingKey { kName, kDate, kSize };

struct CListingOrder {
    EListingKey m_key = EListingKey::kName;
    bool m_bDescending = false;

    bool operator==(const CListingOrder& other) const {
        return m_key == other.m_key && m_bDescending == other.m_bDescending;
    }
};

// The order a query asks for: "sort=name|date|size" and "order=asc|desc", joined by '&',
// in any order; any other pair or value is passed over, so an unknown query gives the
// default, name ascending. pQuery holds the bytes after '?'.
CListingOrder ListingOrderFromQuery(const char* pQuery, size_t n);

// Case-insensitive natural order of two names: runs of digits compare by their value
// ("file2" < "File3" < "file10"), other bytes by their ASCII lower case. Negative, zero or
// positive; zero only for names that differ in nothing but ASCII case and leading zeros.
int CompareNaturally(const char* pA, size_t nA, const char* pB, size_t nB);

// Sorts entries into the page's order: folders first, then by the key in its direction,
// ties by name, and names that compare equal naturally by their bytes, so that the order is
// total and one folder's entries always come out the same.
void SortListing(std::vector<CListingEntry>* pEntries, const CListingOrder& order);

// Appends the whole HTML page of a folder to *pOut: folderPath is the folder's decoded path
// as the client asked for it, ending in '/'; entries are in page order (SortListing). Each
// name is linked percent-encoded as one path segment and shown HTML-escaped; column headers
// link to the other orders; a parent link leads up unless folderPath is "/". With
// bUploadForm the page ends with a form that sends files to the folder (multipart/form-data,
// several at once, any type, working without scripts), and a script that sends them one
// request each with their progress shown and takes files dropped on the page.
void AppendListingPage(std::string* pOut, const std::string& folderPath, const CListingOrder& order,
                       const std::vector<CListingEntry>& entries, bool bUploadForm = false);

// The strong entity tag of the page AppendListingPage builds from the same arguments,
// quoted: a hash of the path, the order and every entry's name, kind, size and write time,
// so that any change of them changes it.
std::string ListingEntityTag(const std::string& folderPath, const CListingOrder& order,
                             const std::vector<CListingEntry>& entries, bool bUploadForm = false);

// The size as the listing shows it: bytes below 1 KB ("999 B"), then 1024-based units with
// one decimal under 10 ("1.5 MB", "15 MB", up to TB). Writes at most 16 bytes and a zero;
// returns the length.
size_t FormatListingSize(uint64_t size, char* pText);
