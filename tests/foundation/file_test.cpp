// CFile on real files in a temporary folder: what opening tells of a file, reads at an
// offset, and what a closed file answers.
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
