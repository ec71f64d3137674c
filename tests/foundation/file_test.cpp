// CFile and FileExists on real files in a temporary folder.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "foundation/file.h"
#include "tests/support/temp_dir.h"

namespace {

bool OpenForReading(CFile& file, const std::wstring& path) {
    return file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     0);
}

// Seconds since 1970 for a FILETIME (100 ns units since 1601).
long long UnixSeconds(const FILETIME& time) {
    const unsigned long long ticks =
        (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<long long>(ticks / 10000000ull) - 11644473600LL;
}

}  // namespace

TEST(File, MissingFileAndDirectoryDoNotOpen) {
    CTempDir dir;
    CFile file;
    EXPECT_FALSE(OpenForReading(file, dir.WidePath("missing.txt")));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(FileExists(dir.WidePath("missing.txt").c_str()));

    EXPECT_FALSE(OpenForReading(file, dir.Path().wstring()));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(FileExists(dir.Path().wstring().c_str()));
}

TEST(File, ReadsWhatWasWrittenAndReportsItsFacts) {
    CTempDir dir;
    const std::wstring path = dir.WidePath("data.bin");
    {
        CFile out;
        ASSERT_TRUE(out.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
        EXPECT_EQ(10u, out.Write("0123456789", 10));
    }
    EXPECT_TRUE(FileExists(path.c_str()));

    CFile in;
    ASSERT_TRUE(OpenForReading(in, path));
    EXPECT_TRUE(in.IsOpen());
    EXPECT_TRUE(in.IsRegularFile());
    EXPECT_EQ(10u, in.GetSize());
    EXPECT_EQ(10u, in.GetSize64());
    const FILETIME lastWrite = in.GetLastWriteTime();
    const long long written = UnixSeconds(lastWrite);
    EXPECT_LT(std::llabs(written - static_cast<long long>(std::time(nullptr))), 3600);
    // What opening read of the write time is what the host gives when asked again.
    EXPECT_EQ(in.GetOpenedWriteTime(),
              (static_cast<uint64_t>(lastWrite.dwHighDateTime) << 32) | lastWrite.dwLowDateTime);

    char buffer[8];
    EXPECT_EQ(8u, in.Read(buffer, 8));
    EXPECT_EQ(std::string("01234567"), std::string(buffer, 8));
    EXPECT_EQ(2u, in.Read(buffer, 8));
    EXPECT_EQ(0u, in.Read(buffer, 8));  // end of file

    EXPECT_TRUE(in.Close());
    EXPECT_FALSE(in.IsOpen());
    EXPECT_TRUE(in.Close());
    EXPECT_EQ(0u, in.Read(buffer, 8));
    EXPECT_EQ(0u, in.GetSize64());
    EXPECT_EQ(0u, in.GetOpenedWriteTime());
    const FILETIME none = in.GetLastWriteTime();
    EXPECT_EQ(0u, none.dwLowDateTime | none.dwHighDateTime);
}

TEST(File, CreateAlwaysEmptiesAnExistingFile) {
    CTempDir dir;
    dir.WriteFile("old.txt", "a long old content");
    CFile out;
    ASSERT_TRUE(out.Open(dir.WidePath("old.txt").c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
    EXPECT_EQ(3u, out.Write("new", 3));
    out.Close();
    CFile in;
    ASSERT_TRUE(OpenForReading(in, dir.WidePath("old.txt")));
    EXPECT_EQ(3u, in.GetSize());
}

TEST(File, RequestPathsSeparatedByBackslashesOpenOnEveryHost) {
    CTempDir dir;
    std::filesystem::create_directory(dir.Path() / "sub");
    dir.WriteFile("sub/inner.txt", "inner");
    const std::wstring path =
        dir.Path().wstring() + kPathSeparator + PathTextFromBytes("sub\\inner.txt", 13).GetString();
    EXPECT_TRUE(FileExists(path.c_str()));
    CFile file;
    ASSERT_TRUE(OpenForReading(file, path));
    EXPECT_EQ(5u, file.GetSize());
}

TEST(File, PathTextOfPlainBytesIsTheSameText) {
    const CString text = PathTextFromBytes("index.html", 10);
    EXPECT_STREQ(L"index.html", text.GetString());
    EXPECT_STREQ(L"ab", PathTextFromBytes("abc", 2).GetString());
    EXPECT_FALSE(IsReservedPathSegment("index.html", 10));
}
