// What CFile does with the POSIX file system's own kinds of files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "foundation/clock.h"
#include "foundation/file.h"
#include "foundation/socket.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_client.h"

namespace {

bool OpenForReading(CFile& file, const std::wstring& path) {
    return file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     0);
}

}  // namespace

TEST(PosixFile, FifoOpensWithoutBlockingButIsNotARegularFile) {
    CTempDir dir;
    const std::string path = (dir.Path() / "pipe").string();
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    // Run the open on another thread so that a blocking open fails the test, not hangs it.
    auto opened = std::async(std::launch::async, [&dir] {
        CFile file;
        const bool bOpen = OpenForReading(file, dir.WidePath("pipe"));
        return bOpen && !file.IsRegularFile();
    });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Unblock the open with a writer so the thread can end, then fail.
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
        FAIL() << "opening a FIFO blocked";
    }
    EXPECT_TRUE(opened.get());
}

TEST(PosixFile, DeviceOpensButIsNotARegularFile) {
    CFile file;
    ASSERT_TRUE(OpenForReading(file, L"/dev/null"));
    EXPECT_FALSE(file.IsRegularFile());
    EXPECT_TRUE(FileExists(L"/dev/null"));
    // A backslash is part of a name here, not a separator.
    EXPECT_FALSE(FileExists(L"\\dev\\null"));
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
    CFile file;
    ASSERT_TRUE(OpenForReading(file, dir.WidePath("sparse")));
    EXPECT_EQ(static_cast<uint64_t>(size), file.GetSize64());
    EXPECT_EQ((1u << 30) + 3u, file.GetSize());
}

TEST(PosixFile, LastWriteTimeCountsHundredNanosecondsSince1601) {
    CTempDir dir;
    dir.WriteFile("dated", "x");
    const std::string path = (dir.Path() / "dated").string();
    // 2000-01-01 00:00:00.5 UTC.
    const timespec times[2] = {{946684800, 500000000}, {946684800, 500000000}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, 0));
    CFile file;
    ASSERT_TRUE(OpenForReading(file, dir.WidePath("dated")));
    const FILETIME time = file.GetLastWriteTime();
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    EXPECT_EQ(125911584005000000ull, ticks);

    // 1960-01-01: before the Unix epoch, after 1601.
    const timespec early[2] = {{-315619200, 0}, {-315619200, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), early, 0));
    struct stat info;
    ASSERT_EQ(0, stat(path.c_str(), &info));
    if (info.st_mtim.tv_sec != -315619200) GTEST_SKIP() << "the file system keeps no such time";
    const FILETIME earlyTime = file.GetLastWriteTime();
    EXPECT_EQ(113288544000000000ull,
              (static_cast<uint64_t>(earlyTime.dwHighDateTime) << 32) | earlyTime.dwLowDateTime);
}

TEST(PosixFile, PathsNeedCharactersThatFitInAByte) {
    CTempDir dir;
    dir.WriteFile("caf\xE9", "latin-1 name");
    const std::wstring latin = dir.Path().wstring() + L"/caf" + wchar_t(0xE9);
    EXPECT_TRUE(FileExists(latin.c_str()));
    const std::wstring wider = dir.Path().wstring() + L"/caf" + wchar_t(0x20AC);
    EXPECT_FALSE(FileExists(wider.c_str()));
    EXPECT_STREQ(latin.c_str() + latin.size() - 4, PathTextFromBytes("caf\xE9", 4).GetString());
}

TEST(PosixFile, HostFacts) {
    EXPECT_EQ(L'/', kPathSeparator);
    EXPECT_FALSE(IsReservedPathSegment("con", 3));
    EXPECT_FALSE(IsReservedPathSegment("aux.", 4));
}

TEST(PosixFile, UnsupportedDispositionsFail) {
    CTempDir dir;
    dir.WriteFile("f", "x");
    CFile file;
    EXPECT_FALSE(file.Open(dir.WidePath("f").c_str(), GENERIC_READ, 0, 1 /* CREATE_NEW */, 0));
    EXPECT_FALSE(file.Open(dir.WidePath("f").c_str(), 0, 0, OPEN_EXISTING, 0));
    EXPECT_FALSE(file.IsOpen());
}

TEST(PosixFile, OnlyTheRequestsSeparatorsAreTranslated) {
    // A backslash is an ordinary character in a POSIX name: a folder called "bs\root"
    // must never be read as "bs/root".
    CTempDir dir;
    dir.WriteFile("bs\\root", "literal");
    std::filesystem::create_directories(dir.Path() / "bs");
    {
        std::ofstream other(dir.Path() / "bs" / "root", std::ios::binary);
        other << "other";
    }
    const std::wstring literal = dir.Path().wstring() + L"/bs\\root";
    CFile file;
    ASSERT_TRUE(file.Open(literal.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          OPEN_EXISTING, 0));
    char text[16] = {};
    EXPECT_EQ(file.Read(text, sizeof text - 1), 7u);
    EXPECT_STREQ(text, "literal");
    EXPECT_STREQ(L"docs/a.txt", PathTextFromBytes("docs\\a.txt", 10).GetString());
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
