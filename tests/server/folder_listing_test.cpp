// The folder listing page on buffers: what each name becomes, the orders, the units, and
// the tag that must follow every change.
#include "server/folder_listing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

// 2026-12-08 17:16:03.5 UTC in 100 ns units since 1601.
constexpr uint64_t kWritten = 134412237635000000ull;
constexpr uint64_t kMinute = 600000000ull;

// Shows dates in UTC while it lives, so that they can be compared.
class CUtcZone {
public:
    CUtcZone() {
        const char* pszOld = std::getenv("TZ");
        m_bHadZone = pszOld != nullptr;
        if (m_bHadZone) m_old = pszOld;
        Set("UTC0");
    }
    ~CUtcZone() { Set(m_bHadZone ? m_old.c_str() : nullptr); }

private:
    static void Set(const char* pszZone) {
#ifdef _WIN32
        _putenv_s("TZ", pszZone != nullptr ? pszZone : "");
        _tzset();
#else
        if (pszZone != nullptr)
            setenv("TZ", pszZone, 1);
        else
            unsetenv("TZ");
        tzset();
#endif
    }
    bool m_bHadZone;
    std::string m_old;
};

struct CRow {
    std::string m_href;
    std::string m_text;
    std::string m_date;
    std::string m_size;
};

// The entry rows of a page, parent link included, in page order.
std::vector<CRow> RowsOf(const std::string& page) {
    std::vector<CRow> rows;
    const std::string start = "<tr><td><a href=\"";
    for (size_t at = page.find(start); at != std::string::npos; at = page.find(start, at + 1)) {
        const size_t end = page.find('\n', at);
        const std::string line = page.substr(at + start.size(), end - at - start.size());
        CRow row;
        const size_t hrefEnd = line.find("\">");
        const size_t textEnd = line.find("</a><td>");
        const size_t dateEnd = line.find("<td>", textEnd + 8);
        row.m_href = line.substr(0, hrefEnd);
        row.m_text = line.substr(hrefEnd + 2, textEnd - hrefEnd - 2);
        row.m_date = line.substr(textEnd + 8, dateEnd - textEnd - 8);
        row.m_size = line.substr(dateEnd + 4);
        rows.push_back(row);
    }
    return rows;
}

// The page of the entries in the order the query asks for.
std::string PageOf(const std::string& path, const std::string& query,
                   std::vector<CListingEntry> entries) {
    const CListingOrder order = ListingOrderFromQuery(query.data(), query.size());
    SortListing(&entries, order);
    std::string page;
    AppendListingPage(&page, path, order, entries);
    return page;
}

std::vector<CListingEntry> Sample() {
    return {
        {"file10.txt", false, 1536, kWritten + 3 * kMinute},
        {"File3.txt", false, 999, kWritten + 1 * kMinute},
        {"file2.txt", false, 10 * 1024 * 1024, kWritten + 2 * kMinute},
        {"<b>bold.txt", false, 0, kWritten + 5 * kMinute},
        {"a b#?%&+'\".txt", false, 5, kWritten + 4 * kMinute},
        {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", false, 7, kWritten},
        {"bad\xFF\xFEname", false, 8, kWritten + 6 * kMinute},
        {"Zeta", true, 0, kWritten + 7 * kMinute},
        {"alpha", true, 0, kWritten + 8 * kMinute},
    };
}

}  // namespace

TEST(FolderListingTest, NamesAreLinkedByteExactlyAndShownEscaped) {
    CUtcZone utc;
    const std::string page = PageOf("/Music/", "", Sample());
    const std::vector<CRow> rows = RowsOf(page);
    const CRow expected[] = {
        {"../", "../", "", "-"},
        {"alpha/", "alpha/", "2026-12-08 17:24", "-"},
        {"Zeta/", "Zeta/", "2026-12-08 17:23", "-"},
        {"%3Cb%3Ebold.txt", "&lt;b&gt;bold.txt", "2026-12-08 17:21", "0 B"},
        {"a%20b%23%3F%25%26%2B%27%22.txt", "a b#?%&amp;+&#39;&quot;.txt", "2026-12-08 17:20",
         "5 B"},
        {"bad%FF%FEname", "bad\xEF\xBF\xBD\xEF\xBF\xBDname", "2026-12-08 17:22", "8 B"},
        {"caf%C3%A9%20%E6%97%A5%E6%9C%AC%E8%AA%9E.txt",
         "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt", "2026-12-08 17:16", "7 B"},
        {"file2.txt", "file2.txt", "2026-12-08 17:18", "10 MB"},
        {"File3.txt", "File3.txt", "2026-12-08 17:17", "999 B"},
        {"file10.txt", "file10.txt", "2026-12-08 17:19", "1.5 KB"},
    };
    ASSERT_EQ(rows.size(), sizeof expected / sizeof expected[0]) << page;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].m_href, expected[i].m_href) << i;
        EXPECT_EQ(rows[i].m_text, expected[i].m_text) << i;
        EXPECT_EQ(rows[i].m_date, expected[i].m_date) << i;
        EXPECT_EQ(rows[i].m_size, expected[i].m_size) << i;
    }
    EXPECT_NE(page.find("<title>Index of /Music/</title>"), std::string::npos);
    EXPECT_NE(page.find("<h1>Index of /Music/</h1>"), std::string::npos);
    EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    // Nothing is fetched from elsewhere.
    EXPECT_EQ(page.find("src="), std::string::npos);
    EXPECT_EQ(page.find("//"), std::string::npos);

    // The top folder has no parent; a hostile folder path is shown escaped.
    const std::string top = PageOf("/", "", {{"a", false, 1, kWritten}});
    EXPECT_EQ(top.find("href=\"../\""), std::string::npos);
    ASSERT_EQ(RowsOf(top).size(), 1u);
    const std::string odd = PageOf("/<i>&\xFF/", "", {});
    EXPECT_NE(odd.find("<h1>Index of /&lt;i&gt;&amp;\xEF\xBF\xBD/</h1>"), std::string::npos);
    EXPECT_EQ(RowsOf(odd).size(), 1u);
}

TEST(FolderListingTest, EachQueryGivesItsOrderAndItsColumnLinks) {
    struct {
        const char* m_pszQuery;
        std::vector<size_t> m_order;  // positions in Sample()
        const char* m_heads[3];       // the order each column header link asks for
    } const cases[] = {
        {"", {8, 7, 3, 4, 6, 5, 2, 1, 0}, {"desc", "desc", "desc"}},
        {"sort=name&order=desc", {7, 8, 0, 1, 2, 5, 6, 4, 3}, {"asc", "desc", "desc"}},
        {"order=asc&sort=date", {7, 8, 5, 1, 2, 0, 4, 3, 6}, {"asc", "desc", "desc"}},
        {"sort=size&order=desc", {7, 8, 2, 0, 1, 6, 5, 4, 3}, {"asc", "desc", "asc"}},
        // Unknown names and values are passed over.
        {"sort=SIZE&order=up&x=1&sort", {8, 7, 3, 4, 6, 5, 2, 1, 0}, {"desc", "desc", "desc"}},
    };
    const std::vector<CListingEntry> sample = Sample();
    for (const auto& c : cases) {
        const std::string query = c.m_pszQuery;
        const CListingOrder order = ListingOrderFromQuery(query.data(), query.size());
        std::vector<CListingEntry> entries = sample;
        SortListing(&entries, order);
        ASSERT_EQ(entries.size(), c.m_order.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(entries[i].m_name, sample[c.m_order[i]].m_name) << query << " at " << i;
        }
        std::string page;
        AppendListingPage(&page, "/Music/", order, entries);
        std::string heads;
        for (size_t at = page.find("<th><a href=\"?sort="); at != std::string::npos;
             at = page.find("<th><a href=\"?sort=", at + 1)) {
            const size_t start = at + 19;
            heads += (heads.empty() ? "" : " ") + page.substr(start, page.find('"', start) - start);
        }
        const std::string expected = std::string("name&amp;order=") + c.m_heads[0] +
                                     " date&amp;order=" + c.m_heads[1] +
                                     " size&amp;order=" + c.m_heads[2];
        EXPECT_EQ(heads, expected) << query;
    }
}

TEST(FolderListingTest, NaturalOrderIgnoresCaseAndReadsNumbers) {
    struct {
        const char* m_pszA;
        const char* m_pszB;
        int m_nOrder;
    } const cases[] = {
        {"file2", "File3", -1},
        {"File3", "file10", -1},
        {"file2", "file10", -1},
        {"a", "B", -1},
        {"ABC", "abc", 0},
        {"x01", "x1", 0},
        {"x1y", "x01z", -1},
        {"10", "9", 1},
        {"a", "a0", -1},
        {"track 2.mp3", "track 10.mp3", -1},
        {"99999999999999999999999", "100000000000000000000000", -1},
        {"1.10", "1.9", 1},
        {"\xC3\xA9", "z", 1},
        {"", "", 0},
        {"", "0", -1},
    };
    for (const auto& c : cases) {
        const std::string a = c.m_pszA;
        const std::string b = c.m_pszB;
        const int order = CompareNaturally(a.data(), a.size(), b.data(), b.size());
        const int back = CompareNaturally(b.data(), b.size(), a.data(), a.size());
        EXPECT_EQ((order > 0) - (order < 0), c.m_nOrder) << a << " vs " << b;
        EXPECT_EQ((back > 0) - (back < 0), -c.m_nOrder) << b << " vs " << a;
    }
    // Names equal but for case still get one order, their bytes'.
    std::vector<CListingEntry> entries = {
        {"b", false, 0, 0}, {"B", false, 0, 0}, {"a", false, 0, 0}};
    SortListing(&entries, CListingOrder());
    EXPECT_EQ(entries[0].m_name + entries[1].m_name + entries[2].m_name, "aBb");
}

TEST(FolderListingTest, SizesInUnitsOf1024) {
    struct {
        uint64_t m_nSize;
        const char* m_pszText;
    } const cases[] = {
        {0, "0 B"},
        {999, "999 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {10188, "9.9 KB"},
        {10189, "10 KB"},
        {1048575, "1.0 MB"},
        {1024 * 1024 * 15 + 1024 * 512, "16 MB"},
        {uint64_t{1} << 30, "1.0 GB"},
        {(uint64_t{1} << 40) * 3 / 2, "1.5 TB"},
        {~uint64_t{0}, "16777216 TB"},
    };
    for (const auto& c : cases) {
        char text[24];
        const size_t length = FormatListingSize(c.m_nSize, text);
        EXPECT_EQ(std::string(text, length), c.m_pszText) << c.m_nSize;
    }
}

TEST(FolderListingTest, TheTagFollowsEveryChange) {
    const CListingOrder byName;
    CListingOrder bySize;
    bySize.m_key = EListingKey::kSize;
    const std::vector<CListingEntry> base = Sample();
    std::vector<std::string> tags = {ListingEntityTag("/m/", byName, base)};
    EXPECT_EQ(ListingEntityTag("/m/", byName, base), tags[0]);
    EXPECT_EQ(tags[0].front(), '"');
    EXPECT_EQ(tags[0].back(), '"');
    tags.push_back(ListingEntityTag("/n/", byName, base));
    tags.push_back(ListingEntityTag("/m/", bySize, base));
    for (int change = 0; change < 5; ++change) {
        std::vector<CListingEntry> entries = base;
        CListingEntry& entry = entries[2];
        switch (change) {
            case 0:
                ++entry.m_nSize;
                break;
            case 1:
                ++entry.m_nWriteTime;  // 100 ns later: the page shows the same minute
                break;
            case 2:
                entry.m_bFolder = !entry.m_bFolder;
                break;
            case 3:
                entry.m_name += "x";
                break;
            default:
                entries.pop_back();
        }
        tags.push_back(ListingEntityTag("/m/", byName, entries));
    }
    for (size_t i = 0; i < tags.size(); ++i) {
        for (size_t j = i + 1; j < tags.size(); ++j) EXPECT_NE(tags[i], tags[j]) << i << " " << j;
    }
}

TEST(FolderListingTest, AnUploadFormIsAddedOnlyWhenAskedAndChangesTheTag) {
    std::string plain;
    std::string withForm;
    AppendListingPage(&plain, "/in/", CListingOrder(), Sample());
    AppendListingPage(&withForm, "/in/", CListingOrder(), Sample(), true);
    const size_t form =
        withForm.find("<form method=\"post\" action=\"./\" enctype=\"multipart/form-data\"");
    ASSERT_NE(form, std::string::npos);
    EXPECT_EQ(withForm.find(" accept="), std::string::npos) << "phones offer every source";
    EXPECT_EQ(withForm.substr(0, form), plain.substr(0, plain.find("</body>")));
    EXPECT_NE(ListingEntityTag("/in/", CListingOrder(), Sample(), true),
              ListingEntityTag("/in/", CListingOrder(), Sample()));
}
