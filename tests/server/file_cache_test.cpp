// A worker's file cache on real folders: the root it serves from follows a swap and a folder
// put in its place, and a file kept open is never served stale, whichever way it was
// validated, with its whole content copied when small.
#include "server/file_cache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "foundation/clock.h"
#include "tests/server/server_test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kStart = 1000000;  // an arbitrary moment on the cache's clock

class FileCacheTest : public ::testing::Test {
protected:
    void SetUp() override { m_files.ServeFrom(&m_root.DocumentRoot()); }

    // The whole content of what target names now, as the cache gives it to a request with
    // mark; "<missing>" when there is no such file.
    std::string Served(const char* pszTarget, uint64_t mark = 0, uint64_t now = kStart) {
        const CMappedTarget mapped = MapTarget(pszTarget, std::strlen(pszTarget));
        const std::shared_ptr<CCachedFile> pFile = m_files.FileFor(mapped, mark, now);
        if (!pFile) return "<missing>";
        std::string bytes;
        m_files.AppendBytes(*pFile, 0, static_cast<size_t>(pFile->m_file.GetOpenedSize()), &bytes);
        return bytes;
    }
    // Takes in what a wait reports now, as a worker does after each of its waits.
    uint64_t TakeInWhatAWaitReports() {
        CReadySocket ready[4];
        const int count = m_poller.Wait(0, ready, 4);
        return m_files.TakeInChanges(ready, count < 0 ? 0 : count, 4);
    }

    CTempWebRoot m_root;
    CSocketPoller m_poller;
    CFileCache m_files;
};

}  // namespace

TEST_F(FileCacheTest, AnotherRootIsServedFromTheNextRequestOn) {
    m_root.WriteFile("a.txt", "first");
    EXPECT_EQ(Served("/a.txt"), "first");
    CTempWebRoot other;
    other.WriteFile("a.txt", "other");
    m_root.DocumentRoot().Set(other.RootText().c_str());
    EXPECT_EQ(Served("/a.txt"), "other");
    // The file kept from the first root is not served once it is back either.
    m_root.WriteFile("a.txt", "again");
    m_root.DocumentRoot().Set(m_root.RootText().c_str());
    EXPECT_EQ(Served("/a.txt"), "again");
}

TEST_F(FileCacheTest, AFolderPutInTheRootsPlaceIsServedAtTheFirstMissOrWithinASecond) {
    m_root.WriteFile("a.txt", "old");
    EXPECT_EQ(Served("/a.txt"), "old");
    fs::rename(m_root.Folder(), m_root.Outside() / "old");
    m_root.WriteFile("a.txt", "new");
    m_root.WriteFile("b.txt", "only in the new one");
    // Without a miss the path is looked at again within a second.
    EXPECT_EQ(Served("/a.txt", 0, kStart + 1000), "new");

    // A name missing from the folder served makes the cache look at once.
    fs::rename(m_root.Folder(), m_root.Outside() / "newer");
    m_root.WriteFile("c.txt", "newest");
    EXPECT_EQ(Served("/c.txt", 0, kStart + 1010), "newest");
    EXPECT_EQ(Served("/a.txt", 0, kStart + 1010), "<missing>");
}

TEST_F(FileCacheTest, ARootThatAppearsLaterIsServed) {
    fs::remove_all(m_root.Folder());
    EXPECT_EQ(Served("/a.txt"), "<missing>");
    m_root.WriteFile("a.txt", "late");
    EXPECT_EQ(Served("/a.txt"), "late");
}

TEST_F(FileCacheTest, AKeptFileIsServedAsItIsNowHoweverTheRequestWasReported) {
    m_files.WatchIn(m_poller);
    m_root.WriteFile("a.txt", "one");
    // Opened, then watched and looked at: from then on a reported request may trust the watch.
    EXPECT_EQ(Served("/a.txt"), "one");
    EXPECT_EQ(Served("/a.txt"), "one");
    const uint64_t first = TakeInWhatAWaitReports();
    EXPECT_EQ(Served("/a.txt", first), "one");

    // A change, then a request the next wait reports along with it.
    m_root.WriteFile("a.txt", "two, longer");
    EXPECT_EQ(Served("/a.txt", TakeInWhatAWaitReports()), "two, longer");

    // A request that no wait reported is looked at.
    m_root.WriteFile("a.txt", "three, longer still");
    EXPECT_EQ(Served("/a.txt"), "three, longer still");

    // A full batch may have left the watch's report out: its changes are taken in anyway.
    EXPECT_EQ(Served("/a.txt"), "three, longer still");
    m_root.WriteFile("a.txt", "four");
    CReadySocket full[1] = {{nullptr, true, false}};
    EXPECT_EQ(Served("/a.txt", m_files.TakeInChanges(full, 1, 1)), "four");

    // A deleted file is gone even for a request whose wait reported the deletion.
    fs::remove(m_root.Folder() / "a.txt");
    EXPECT_EQ(Served("/a.txt", TakeInWhatAWaitReports()), "<missing>");
}

TEST_F(FileCacheTest,
       ASmallFileWithAStrongValidatorIsCopiedAndIdleFilesAreLetGoWhereTheyKeepOthersOut) {
    m_root.WriteFile("small.txt", "small");
    // Changed a second ago or more: no write can still be under way in it.
    SleepMs(1100);
    const uint64_t freshAt = GetSystemTimeMs();
    m_root.WriteFile("fresh.txt", "fresh");
    for (const char* pszTarget : {"/small.txt", "/fresh.txt"}) EXPECT_NE(Served(pszTarget), "");
    const auto small = m_files.FileFor(MapTarget("/small.txt", 10), 0, kStart);
    const auto fresh = m_files.FileFor(MapTarget("/fresh.txt", 10), 0, kStart);
    ASSERT_TRUE(small && fresh);
    EXPECT_TRUE(small->m_bCopied);
    EXPECT_EQ(small->m_content, "small");
    // Written a moment ago: a write may still be under way, so it is read anew each time
    // (unless a loaded machine took most of a second to come here).
    if (GetSystemTimeMs() - freshAt < 900) {
        EXPECT_FALSE(fresh->m_bCopied);
    }
    // A range of a copied file comes from the copy.
    std::string part;
    EXPECT_EQ(m_files.AppendBytes(*small, 1, 3, &part), 3u);
    EXPECT_EQ(part, "mal");

    // Where a file held open keeps other programs out, one no request asked for lately goes.
    const uint64_t due = m_files.LetIdleFilesGo(kStart + 1);
    if (!CFile::kHeldOpenKeepsOthersOut) {
        EXPECT_EQ(due, CFileCache::kNoDeadline);
        return;
    }
    EXPECT_EQ(due, kStart + kKeptFileIdleMs);
    EXPECT_EQ(m_files.LetIdleFilesGo(kStart + kKeptFileIdleMs), CFileCache::kNoDeadline);
    EXPECT_EQ(m_files.GetFileCount(), 0u);
}
