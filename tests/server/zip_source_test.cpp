// The tree an archive holds, and its bytes at any offset: the same whatever the pieces they
// are read in and wherever a read starts, and cut short when a file changes under them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "server/zip_source.h"
#include "tests/support/links.h"
#include "tests/support/temp_dir.h"

namespace {

// A tree with nested and empty folders, a hidden file, a UTF-8 name and links that lead
// back up the way down.
void MakeTree(const CTempDir& dir, bool* pLinks) {
    std::filesystem::create_directories(dir.Path() / "b" / "c");
    dir.WriteFile("a.txt", std::string(70000, 'a'));
    dir.WriteFile("b/x.txt", "x");
    dir.WriteFile(".hidden", "secret");
    dir.WriteFile("\xC3\xA9t\xC3\xA9.txt", std::string(3000, 'e'));
    *pLinks = MakeSymbolicLink(dir.Path() / "loop", ".", true) &&
              MakeSymbolicLink(dir.Path() / "b" / "up", "..", true);
}

std::vector<CZipEntry> TreeOf(const CFolder& root) {
    std::vector<CZipEntry> entries;
    EXPECT_EQ(ListZipTree(root, "", &entries), ZipTreeResult::kListed);
    return entries;
}

// The archive's bytes from first on, read step bytes at a time.
std::string ReadFrom(CZipSource& source, uint64_t first, size_t step) {
    std::string bytes;
    std::vector<char> buffer(step);
    for (uint64_t at = first; at < source.GetLength();) {
        const long long count = source.ReadAt(at, buffer.data(), step);
        if (count <= 0) return bytes + "<cut>";
        bytes.append(buffer.data(), static_cast<size_t>(count));
        at += static_cast<uint64_t>(count);
    }
    return bytes;
}

}  // namespace

TEST(ZipSourceTest, TheTreeIsWhatListingsShowWithoutLoops) {
    CTempDir dir;
    bool bLinks = false;
    MakeTree(dir, &bLinks);
    CFolder root;
    ASSERT_TRUE(root.Open(dir.Path().wstring().append(1, kPathSeparator).c_str()));
    std::vector<std::string> names;
    for (const CZipEntry& entry : TreeOf(root)) names.push_back(entry.m_name);
    EXPECT_EQ(names, (std::vector<std::string>{"b/", "b/c/", "b/x.txt", "a.txt",
                                               "\xC3\xA9t\xC3\xA9.txt"}));
    if (!bLinks) GTEST_SKIP() << "links cannot be made here; the loops went untested";
}

TEST(ZipSourceTest, BytesAreTheSameInAnyPiecesFromAnyStartAndCutWhenAFileChanges) {
    CTempDir dir;
    bool bLinks = false;
    MakeTree(dir, &bLinks);
    CFolder root;
    const std::wstring rootPath = dir.Path().wstring().append(1, kPathSeparator);
    ASSERT_TRUE(root.Open(rootPath.c_str()));
    CZipSource whole(rootPath, "", TreeOf(root), nullptr);
    const std::string archive = ReadFrom(whole, 0, 65536);
    ASSERT_EQ(archive.size(), whole.GetLength());
    EXPECT_NE(archive.find(std::string(70000, 'a')), std::string::npos);
    EXPECT_EQ(archive.find("secret"), std::string::npos);
    // A fresh download reads the files' CRCs it has not seen go out, wherever it starts.
    for (const uint64_t first : {uint64_t{0}, uint64_t{100}, uint64_t{40000},
                                 uint64_t{archive.size() - 300}, uint64_t{archive.size() - 1}}) {
        for (const size_t step : {size_t{1}, size_t{7}, size_t{4096}}) {
            if (step == 1 && first < 40000) continue;  // a byte at a time is slow to no end
            CZipSource part(rootPath, "", TreeOf(root), nullptr);
            EXPECT_EQ(ReadFrom(part, first, step), archive.substr(first)) << first << " " << step;
        }
    }
    CZipSource changed(rootPath, "", TreeOf(root), nullptr);
    dir.WriteFile("b/x.txt", "xy");
    EXPECT_EQ(ReadFrom(changed, 0, 65536), "<cut>")
        << "a file that changed size is not sent as announced";
}
