// Fuzzes the folder listing page with hostile folder paths, queries and names. Whatever
// they hold, the page is well-formed UTF-8 whose markup is the template's alone (no name
// adds a '<' of its own), every link leads back to exactly its entry's bytes in the order
// the query asks for, and the column heads' links ask for the orders they stand for.
//
// Input: the folder path, a zero byte, the query, then entries separated by zero bytes,
// each a flags byte (bit 0: a folder; the rest picks a size and a date) and the name; a
// name given again is passed over, as a folder holds each once.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "server/folder_listing.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// 2026-12-08 17:16:03.5 UTC in 100 ns units since 1601.
constexpr uint64_t kWritten = 134412237635000000ull;

// The pieces of the input between zero bytes.
std::vector<std::string> Split(const uint8_t* pData, size_t size) {
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; ++i) {
        if (pData[i] == 0)
            parts.emplace_back();
        else
            parts.back().push_back(static_cast<char>(pData[i]));
    }
    return parts;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes a link stands for; false when it holds anything but unreserved bytes and
// upper-case %XX escapes.
bool DecodeLink(const std::string& href, std::string* pBytes) {
    pBytes->clear();
    for (size_t i = 0; i < href.size(); ++i) {
        const char c = href[i];
        if (c == '%') {
            if (i + 2 >= href.size()) return false;
            const int high = HexDigit(href[i + 1]);
            const int low = HexDigit(href[i + 2]);
            if (high < 0 || low < 0) return false;
            pBytes->push_back(static_cast<char>(high * 16 + low));
            i += 2;
            continue;
        }
        const bool bUnreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                 (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                 c == '~';
        if (!bUnreserved) return false;
        pBytes->push_back(c);
    }
    return true;
}

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or code points
// past U+10FFFF).
bool IsUtf8(const std::string& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        size_t length = 1;
        uint32_t value = c;
        if (c >= 0xF0)
            length = 4, value = c & 0x07;
        else if (c >= 0xE0)
            length = 3, value = c & 0x0F;
        else if (c >= 0xC0)
            length = 2, value = c & 0x1F;
        else if (c >= 0x80)
            return false;
        if (i + length > n) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            value = (value << 6) | (p[i + k] & 0x3F);
        }
        static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kSmallest[length] || value > 0x10FFFF) return false;
        if (value >= 0xD800 && value <= 0xDFFF) return false;
        i += length;
    }
    return true;
}

size_t CountOf(const std::string& text, char c) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

// The links of the entry rows, in page order, the parent's (the first, when there is one)
// left out.
std::vector<std::string> EntryLinks(const std::string& page, bool bParent) {
    std::vector<std::string> links;
    const std::string start = "<tr><td><a href=\"";
    for (size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1)) {
        const size_t from = at + start.size();
        const size_t end = page.find('"', from);
        FUZZ_CHECK(end != std::string::npos);
        links.push_back(page.substr(from, end - from));
    }
    if (bParent) {
        FUZZ_CHECK(!links.empty() && links.front() == "../");
        links.erase(links.begin());
    }
    return links;
}

// Each column head links to the order it is named for.
void CheckHeads(const std::string& page, const CListingOrder& current) {
    const EListingKey keys[] = {EListingKey::kName, EListingKey::kDate, EListingKey::kSize};
    const std::string start = "<th><a href=\"?";
    size_t at = 0;
    for (const EListingKey key : keys) {
        at = page.find(start, at);
        FUZZ_CHECK(at != std::string::npos);
        at += start.size();
        std::string query = page.substr(at, page.find('"', at) - at);
        const size_t amp = query.find("&amp;");
        FUZZ_CHECK(amp != std::string::npos);
        query.replace(amp, 5, "&");
        const CListingOrder linked = ListingOrderFromQuery(query.data(), query.size());
        FUZZ_CHECK(linked.m_key == key);
        if (key == current.m_key) FUZZ_CHECK(linked.m_bDescending != current.m_bDescending);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    const std::vector<std::string> parts = Split(pData, size);
    std::string path = parts[0];
    if (path.empty() || path[0] != '/') path.insert(0, 1, '/');
    if (path.back() != '/') path += '/';
    const std::string query = parts.size() > 1 ? parts[1] : std::string();
    std::vector<CListingEntry> entries;
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i].size() < 2) continue;  // a flags byte and at least one byte of name
        // A folder holds each name once.
        const std::string name = parts[i].substr(1);
        if (std::any_of(entries.begin(), entries.end(),
                        [&name](const CListingEntry& entry) { return entry.m_name == name; })) {
            continue;
        }
        const uint8_t flags = static_cast<uint8_t>(parts[i][0]);
        CListingEntry entry;
        entry.m_name = name;
        entry.m_bFolder = (flags & 1) != 0;
        entry.m_nSize = (uint64_t{flags} * 0x9E3779B97F4A7C15ull) >> (flags & 63);
        entry.m_nWriteTime = kWritten + static_cast<uint64_t>(flags >> 1) * 6000000000ull;
        entries.push_back(entry);
    }

    const CListingOrder order = ListingOrderFromQuery(query.data(), query.size());
    std::vector<CListingEntry> sorted = entries;
    SortListing(&sorted, order);
    // The order is total: the same entries given the other way round sort alike.
    std::vector<CListingEntry> reversed(entries.rbegin(), entries.rend());
    SortListing(&reversed, order);
    for (size_t i = 0; i < sorted.size(); ++i) {
        FUZZ_CHECK(sorted[i].m_name == reversed[i].m_name);
        FUZZ_CHECK(sorted[i].m_bFolder == reversed[i].m_bFolder);
        if (i > 0) FUZZ_CHECK(sorted[i - 1].m_bFolder || !sorted[i].m_bFolder);
    }

    std::string page;
    AppendListingPage(&page, path, order, sorted);
    FUZZ_CHECK(IsUtf8(page));
    // Names and the path add no markup: each row adds what an empty folder's page lacks.
    std::string empty;
    AppendListingPage(&empty, path == "/" ? "/" : "/x/", order, {});
    FUZZ_CHECK(CountOf(page, '<') == CountOf(empty, '<') + 6 * sorted.size());
    FUZZ_CHECK(CountOf(page, '>') == CountOf(empty, '>') + 6 * sorted.size());
    FUZZ_CHECK(CountOf(page, '"') == CountOf(empty, '"') + 2 * sorted.size());

    const std::vector<std::string> links = EntryLinks(page, path != "/");
    FUZZ_CHECK(links.size() == sorted.size());
    for (size_t i = 0; i < links.size(); ++i) {
        const bool bFolderLink = !links[i].empty() && links[i].back() == '/';
        FUZZ_CHECK(bFolderLink == sorted[i].m_bFolder);
        std::string bytes;
        FUZZ_CHECK(DecodeLink(links[i].substr(0, links[i].size() - (bFolderLink ? 1 : 0)), &bytes));
        FUZZ_CHECK(bytes == sorted[i].m_name);
    }
    CheckHeads(page, order);
    FUZZ_CHECK(ListingEntityTag(path, order, sorted) == ListingEntityTag(path, order, reversed));
    return 0;
}
