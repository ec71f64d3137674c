// CFile and FileExists on real files in a temporary folder: what opening tells of a file,
// reads at an offset and from the current position, writes, and what a closed file answers.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "foundation/file.h"
#include "tests/support/temp_dir.h"

namespace {

// Seconds since 1970 for a time in 100 ns units since 1601.
long long UnixSeconds(uint64_t ticks) {
    return static_cast<long long>(ticks / 10000000ull) - 11644473600LL;
}

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

bool OpenForReading(CFile& file, const std::wstring& path) {
    return file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     0);
}

}  // namespace

TEST(File, ReadsAtAnyOffsetAndKeepsWhatOpeningTold) {
    CTempDir dir;
    dir.WriteFile("data.bin", "0123456789");
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    CFile file;
    ASSERT_TRUE(file.OpenBelow(folder, "data.bin"));
    EXPECT_TRUE(file.IsOpen());
    EXPECT_TRUE(file.IsRegularFile());
    EXPECT_EQ(10u, file.GetOpenedSize());
    const long long written = UnixSeconds(file.GetOpenedWriteTime());
    EXPECT_LT(std::llabs(written - static_cast<long long>(std::time(nullptr))), 3600);

    // Each read starts where it is asked to, whatever the one before left.
    char buffer[8];
    EXPECT_EQ(8u, file.ReadAt(buffer, 8, 0));
    EXPECT_EQ(std::string("01234567"), std::string(buffer, 8));
    EXPECT_EQ(3u, file.ReadAt(buffer, 3, 1));
    EXPECT_EQ(std::string("123"), std::string(buffer, 3));
    EXPECT_EQ(2u, file.ReadAt(buffer, 8, 8));
    EXPECT_EQ(std::string("89"), std::string(buffer, 2));
    EXPECT_EQ(0u, file.ReadAt(buffer, 8, 10));  // end of file

    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(file.IsRegularFile());
    EXPECT_EQ(0u, file.ReadAt(buffer, 8, 0));
    EXPECT_EQ(0u, file.GetOpenedSize());
    EXPECT_EQ(0u, file.GetOpenedWriteTime());
    EXPECT_FALSE(file.CanTellItIsStillAt());
}

TEST(File, OpenByPathWritesAndReadsFromTheCurrentPosition) {
    CTempDir dir;
    const std::wstring path = dir.WriteFile("data.bin", "a longer old content").wstring();
    {
        CFile out;
        ASSERT_TRUE(out.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
        EXPECT_EQ(10u, out.Write("0123456789", 10));
    }
    EXPECT_TRUE(FileExists(path.c_str()));

    CFile in;
    ASSERT_TRUE(OpenForReading(in, path));
    EXPECT_TRUE(in.IsRegularFile());
    EXPECT_EQ(10u, in.GetSize());  // CREATE_ALWAYS emptied the old content first
    // What opening read of the write time is what the host gives when asked again.
    EXPECT_EQ(in.GetOpenedWriteTime(), Ticks(in.GetLastWriteTime()));
    char buffer[8];
    EXPECT_EQ(8u, in.Read(buffer, 8));
    EXPECT_EQ(std::string("01234567"), std::string(buffer, 8));
    EXPECT_EQ(2u, in.Read(buffer, 8));
    EXPECT_EQ(std::string("89"), std::string(buffer, 2));
    EXPECT_EQ(0u, in.Read(buffer, 8));  // end of file

    in.Close();
    EXPECT_EQ(0u, in.Read(buffer, 8));
    EXPECT_EQ(0u, in.Write("x", 1));
    EXPECT_EQ(0u, in.GetSize());
    EXPECT_EQ(0u, Ticks(in.GetLastWriteTime()));
}

TEST(File, MissingFilesAndFoldersDoNotOpenByPath) {
    CTempDir dir;
    for (const std::wstring& path :
         {(dir.Path() / "missing.txt").wstring(), dir.Path().wstring()}) {
        CFile file;
        EXPECT_FALSE(OpenForReading(file, path));
        EXPECT_FALSE(file.IsOpen());
        EXPECT_FALSE(FileExists(path.c_str()));
    }
}
