// The shared handle of the document root follows the root: another g_szWebRoot, a root
// that appears late, and a root folder swapped for a new one at the same path.
#include "server/document_root.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "server/http_thread.h"
#include "tests/server/server_test_support.h"

namespace {

namespace fs = std::filesystem;

// The content of the file that target names below g_szWebRoot; "<missing>" when none opens.
std::string Served(const char* pszTarget) {
    CMappedTarget mapped = MapTarget(pszTarget, std::strlen(pszTarget));
    CFile file;
    if (!OpenTargetFile(file, mapped)) return "<missing>";
    std::string bytes(64, '\0');
    bytes.resize(file.ReadAt(&bytes[0], static_cast<DWORD>(bytes.size()), 0));
    return bytes;
}

}  // namespace

TEST(DocumentRoot, AnotherRootIsOpenedWhenTheRootTextChanges) {
    {
        CTempWebRoot first;
        first.WriteFile("a.txt", "first");
        EXPECT_EQ(Served("/a.txt"), "first");
    }
    CTempWebRoot second;
    second.WriteFile("a.txt", "second");
    EXPECT_EQ(Served("/a.txt"), "second");
}

TEST(DocumentRoot, ARootSwappedForANewFolderIsServedFromTheNewOneAtTheFirstMiss) {
    CTempWebRoot root;
    root.WriteFile("a.txt", "old");
    EXPECT_EQ(Served("/a.txt"), "old");
    const fs::path old = root.Outside() / "old";
    fs::rename(root.Folder(), old);
    root.WriteFile("a.txt", "new");
    root.WriteFile("b.txt", "only in the new one");
    EXPECT_EQ(Served("/b.txt"), "only in the new one");
    EXPECT_EQ(Served("/a.txt"), "new");
    EXPECT_EQ(Served("/c.txt"), "<missing>");
}

TEST(DocumentRoot, ARootThatAppearsLaterIsServed) {
    CTempWebRoot root;
    fs::remove_all(root.Folder());
    EXPECT_EQ(Served("/a.txt"), "<missing>");
    root.WriteFile("a.txt", "late");
    EXPECT_EQ(Served("/a.txt"), "late");
}

TEST(DocumentRoot, ARootSwappedForANewFolderIsServedFromTheNewOneWithinMoments) {
    CTempWebRoot root;
    root.WriteFile("a.txt", "old");
    EXPECT_EQ(Served("/a.txt"), "old");
    fs::rename(root.Folder(), root.Outside() / "old");
    root.WriteFile("a.txt", "new");
    // No request misses, so only the periodic look at the path can notice.
    EXPECT_TRUE(WaitUntil([] { return Served("/a.txt") == "new"; }, 10000));
}
