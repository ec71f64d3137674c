// Names of uploaded files: which are refused on every host and which only where the file
// system cannot hold them, the last segment of a browser's file name, and numbered names.
#include <gtest/gtest.h>

#include <string>

#include "server/upload_name.h"

namespace {

#ifdef _WIN32
constexpr bool kWin32 = true;
#else
constexpr bool kWin32 = false;
#endif

TEST(UploadName, AcceptsPlainNamesAndRefusesWhatCouldNotBeListedOrHeld) {
    struct Case {
        const char* m_pszName;
        bool m_bEverywhere;  // accepted on hosts whose file system holds any byte but '/'
        bool m_bOnWin32;
    };
    const Case kCases[] = {
        {"photo.jpg", true, true},
        {"r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.pdf", true, true},
        {"a b (1).txt", true, true},
        {"", false, false},
        {".", false, false},
        {"..", false, false},
        {".hidden", false, false},
        {"a/b", false, false},
        {"a\\b", false, false},
        {"a.txt:stream", false, false},
        {"tab\there", false, false},
        {"del\x7F", false, false},
        {"what?.txt", true, false},
        {"a<b>.txt", true, false},
        {"quote\"d", true, false},
        {"pipe|star*", true, false},
        {"CON", true, false},
        {"nul.txt", true, false},
        {"com1.log", true, false},
        {"trailing.", true, false},
        {"trailing ", true, false},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(IsAcceptableUploadName(c.m_pszName), kWin32 ? c.m_bOnWin32 : c.m_bEverywhere)
            << c.m_pszName;
    }
    EXPECT_TRUE(IsAcceptableUploadName(std::string(kMaxUploadNameLength, 'x')));
    EXPECT_FALSE(IsAcceptableUploadName(std::string(kMaxUploadNameLength + 1, 'x')));
    EXPECT_FALSE(IsAcceptableUploadName(std::string("a\0b", 3)));
}

TEST(UploadName, KeepsOnlyTheLastSegmentOfWhatABrowserSends) {
    EXPECT_EQ(LastNameSegment("C:\\Users\\me\\a.jpg"), "a.jpg");
    EXPECT_EQ(LastNameSegment("../a.jpg"), "a.jpg");
    EXPECT_EQ(LastNameSegment("a.jpg"), "a.jpg");
    EXPECT_EQ(LastNameSegment("dir/"), "");
}

TEST(UploadName, NumbersNamesBeforeTheirExtension) {
    EXPECT_EQ(NumberedName("photo.jpg", 0), "photo.jpg");
    EXPECT_EQ(NumberedName("photo.jpg", 1), "photo (1).jpg");
    EXPECT_EQ(NumberedName("archive.tar.gz", 12), "archive.tar (12).gz");
    EXPECT_EQ(NumberedName("README", 2), "README (2)");
    EXPECT_EQ(NumberedName(std::string(kMaxUploadNameLength - 3, 'x'), 1), "");
}

}  // namespace
