// Names of uploaded files: which are refused on every host and which only where the file
// system cannot hold them, the last segment of a browser's file name, and numbered names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/upload_name.h"

namespace {

#ifdef _WIN32
constexpr bool kWin32 = true;
#else
constexpr bool kWin32 = false;
#endif

TEST(UploadName, PlainNamesPassAndWhatCouldNotBeListedOrHeldIsRefused) {
    for (const std::string& name :
         std::vector<std::string>{"r\xC3\xA9sum\xC3\xA9 (1).pdf", std::string(255, 'x')}) {
        EXPECT_TRUE(IsAcceptableUploadName(name)) << name;
    }
    for (const std::string& name :
         std::vector<std::string>{"", "..", ".hidden", "a/b", "a\\b", "a.txt:stream", "tab\there",
                                  std::string("a\0b", 3), std::string(256, 'x')}) {
        EXPECT_FALSE(IsAcceptableUploadName(name)) << name;
    }
    // What only Windows cannot hold.
    for (const char* pszName : {"what?.txt", "a<b>|\"*", "nul.txt", "COM1", "dot.", "blank "}) {
        EXPECT_EQ(IsAcceptableUploadName(pszName), !kWin32) << pszName;
    }
}

TEST(UploadName, OnlyTheLastSegmentCountsAndTakenNamesAreNumbered) {
    EXPECT_EQ(LastNameSegment("C:\\Users\\me\\a.jpg"), "a.jpg");
    EXPECT_EQ(LastNameSegment("../a.jpg"), "a.jpg");
    EXPECT_EQ(LastNameSegment("dir/"), "");
    EXPECT_EQ(NumberedName("photo.jpg", 0), "photo.jpg");
    EXPECT_EQ(NumberedName("archive.tar.gz", 12), "archive.tar (12).gz");
    EXPECT_EQ(NumberedName("README", 2), "README (2)");
    EXPECT_EQ(NumberedName(std::string(253, 'x'), 1), "") << "past the longest name";
}

}  // namespace
