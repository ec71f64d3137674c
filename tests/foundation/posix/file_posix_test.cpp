// What CFile does with the POSIX file system's own kinds of files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>

#include "foundation/clock.h"
#include "foundation/file.h"
#include "foundation/socket.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_client.h"

namespace {

// The whole content of relative below the folder dir when it opens; "<refused>" otherwise.
std::string ContentBelow(const CTempDir& dir, const char* pszRelative) {
    CFolder folder;
    CFile file;
    if (!folder.Open(dir.Path().wstring().c_str()) || !file.OpenBelow(folder, pszRelative)) {
        return "<refused>";
    }
    std::string bytes(64, '\0');
    bytes.resize(file.ReadAt(&bytes[0], static_cast<DWORD>(bytes.size()), 0));
    return bytes;
}

bool OpenForReading(CFile& file, const std::wstring& path) {
    return file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     0);
}

uint64_t Ticks(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

TEST(PosixFile, FifoAndDeviceOpenWithoutBlockingButAreNotRegularFiles) {
    CTempDir dir;
    const std::string path = (dir.Path() / "pipe").string();
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    // Run the open on another thread so that a blocking open fails the test, not hangs it.
    auto opened = std::async(std::launch::async, [&dir] {
        CFolder folder;
        CFile below;
        const bool bBelow =
            folder.Open(dir.Path().wstring().c_str()) && below.OpenBelow(folder, "pipe");
        CFile byPath;
        const bool bByPath = OpenForReading(byPath, (dir.Path() / "pipe").wstring());
        return bBelow && !below.IsRegularFile() && bByPath && !byPath.IsRegularFile();
    });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Unblock the open with a writer so the thread can end, then fail.
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
        FAIL() << "opening a FIFO blocked";
    }
    EXPECT_TRUE(opened.get());

    CFolder dev;
    ASSERT_TRUE(dev.Open(L"/dev"));
    CFile null;
    ASSERT_TRUE(null.OpenBelow(dev, "null"));
    EXPECT_FALSE(null.IsRegularFile());
    ASSERT_TRUE(OpenForReading(null, L"/dev/null"));
    EXPECT_FALSE(null.IsRegularFile());
    EXPECT_TRUE(FileExists(L"/dev/null"));
}

TEST(PosixFile, SizeOfASparseFileBeyondFourGigabytes) {
    CTempDir dir;
    const std::string path = (dir.Path() / "sparse").string();
    const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    const off_t size = (off_t(5) << 30) + 3;
    const int truncated = ftruncate(fd, size);
    close(fd);
    if (truncated != 0) GTEST_SKIP() << "the file system refuses a sparse 5 GiB file";
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    CFile file;
    ASSERT_TRUE(file.OpenBelow(folder, "sparse"));
    EXPECT_EQ(static_cast<uint64_t>(size), file.GetOpenedSize());
    EXPECT_EQ((1u << 30) + 3u, file.GetSize());
    char last[4] = {};
    EXPECT_EQ(3u, file.ReadAt(last, sizeof last, static_cast<uint64_t>(size) - 3));
}

TEST(PosixFile, WriteTimeCountsHundredNanosecondsSince1601) {
    CTempDir dir;
    dir.WriteFile("dated", "x");
    const std::string path = (dir.Path() / "dated").string();
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    // 2000-01-01 00:00:00.5 UTC.
    const timespec times[2] = {{946684800, 500000000}, {946684800, 500000000}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    CFile file;
    ASSERT_TRUE(file.OpenBelow(folder, "dated"));
    EXPECT_EQ(125911584005000000ull, file.GetOpenedWriteTime());
    EXPECT_EQ(125911584005000000ull, Ticks(file.GetLastWriteTime()));

    // 1960-01-01: before the Unix epoch, after 1601.
    const timespec early[2] = {{-315619200, 0}, {-315619200, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), early, 0));
    struct stat info;
    ASSERT_EQ(0, stat(path.c_str(), &info));
    if (info.st_mtim.tv_sec != -315619200) GTEST_SKIP() << "the file system keeps no such time";
    CFile early1960;
    ASSERT_TRUE(early1960.OpenBelow(folder, "dated"));
    EXPECT_EQ(113288544000000000ull, early1960.GetOpenedWriteTime());
    // The file opened before the change tells the new time when asked again.
    EXPECT_EQ(113288544000000000ull, Ticks(file.GetLastWriteTime()));
}

TEST(PosixFile, RequestBytesOpenAsTheyAre) {
    // A backslash is an ordinary character in a POSIX name: a file called "bs\root" must
    // never be read as "bs/root"; and bytes that are not UTF-8 name the file they spell.
    CTempDir dir;
    dir.WriteFile("bs\\root", "literal");
    std::filesystem::create_directories(dir.Path() / "bs");
    dir.WriteFile("bs/root", "other");
    dir.WriteFile("caf\xE9", "latin-1 name");
    EXPECT_EQ(ContentBelow(dir, "bs\\root"), "literal");
    EXPECT_EQ(ContentBelow(dir, "bs/root"), "other");
    EXPECT_EQ(ContentBelow(dir, "caf\xE9"), "latin-1 name");
    EXPECT_EQ(ContentBelow(dir, "caf\xC3\xA9"), "<refused>");
}

TEST(PosixFile, OpenByPathTakesOnlyWhatItCanTranslate) {
    // Each path character must fit in a byte, and a backslash is part of a name; of the Win32
    // values only reading or writing, an existing file or one made anew, are understood.
    CTempDir dir;
    dir.WriteFile("caf\xE9", "latin-1 name");
    dir.WriteFile("bs\\f", "literal");
    const std::wstring folder = dir.Path().wstring();
    const struct {
        std::wstring m_path;
        DWORD m_access;
        DWORD m_disposition;
        bool m_bOpens;
    } cases[] = {
        {folder + L"/caf" + wchar_t(0xE9), GENERIC_READ, OPEN_EXISTING, true},
        {folder + L"/caf" + wchar_t(0x20AC), GENERIC_READ, OPEN_EXISTING, false},
        {folder + L"/bs\\f", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, true},
        {folder + L"\\bs\\f", GENERIC_READ, OPEN_EXISTING, false},
        {folder + L"/bs\\f", GENERIC_READ, 1 /* CREATE_NEW */, false},
        {folder + L"/bs\\f", 0, OPEN_EXISTING, false},
    };
    for (const auto& c : cases) {
        CFile file;
        EXPECT_EQ(c.m_bOpens, file.Open(c.m_path.c_str(), c.m_access, 0, c.m_disposition, 0))
            << testing::PrintToString(c.m_path);
        EXPECT_EQ(c.m_bOpens, file.IsOpen());
    }
}

TEST(PosixFile, HostFacts) {
    EXPECT_EQ(L'/', kPathSeparator);
    EXPECT_FALSE(IsReservedPathSegment("con", 3));
    EXPECT_FALSE(IsReservedPathSegment("aux.", 4));
}

TEST(PosixSocket, SmallWritesLeaveAtOnceOnlyOnceAsked) {
    CLoopbackPair pair;
    ASSERT_TRUE(pair.Open());
    const auto noDelay = [&pair] {
        int value = -1;
        socklen_t size = sizeof value;
        getsockopt(pair.m_server.GetHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &size);
        return value;
    };
    // A connection that gets a single answer never pays for the option.
    EXPECT_EQ(0, noDelay());
    EXPECT_TRUE(pair.m_server.SendSmallWritesAtOnce());
    EXPECT_NE(0, noDelay());
    CSocket empty;
    EXPECT_FALSE(empty.SendSmallWritesAtOnce());
}

TEST(PosixFile, OpeningAnotherFileBelowLetsTheFirstGo) {
    CTempDir dir;
    dir.WriteFile("a.txt", "a");
    dir.WriteFile("b.txt", "b");
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    CFile file;
    ASSERT_TRUE(file.OpenBelow(folder, "a.txt"));
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = descriptors();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(file.OpenBelow(folder, i % 2 ? "a.txt" : "b.txt"));
    EXPECT_EQ(descriptors(), before);
}
