// The tree an archive holds, and its bytes at any offset: the same whatever the pieces they
// are read in and wherever a read starts, and cut short when a file changes under them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "server/zip_source.h"
#include "tests/support/temp_dir.h"

namespace {

// The source's archive from first on, read step bytes at a time, asked again while it works
// toward the bytes (*pNotYet counts those answers); with pSpans, bytes it offers as a file's
// span are read from that file (*pSpans counts them).
std::string ReadSource(CZipSource& source, uint64_t first, size_t step, int* pNotYet,
                       int* pSpans = nullptr) {
    std::string bytes;
    std::vector<char> buffer(step);
    for (uint64_t at = first; at < source.GetLength();) {
        CFileSpan span;
        long long count = 0;
        if (pSpans != nullptr && source.FileSpanAt(at, &span)) {
            ++*pSpans;
            count = span.m_pFile->ReadAt(
                buffer.data(), static_cast<DWORD>(std::min<uint64_t>(step, span.m_nLength)),
                span.m_nPosition);
        } else {
            count = source.ReadAt(at, buffer.data(), step);
        }
        if (count == CBodySource::kNotYet) {
            if (pNotYet != nullptr) ++*pNotYet;
            continue;
        }
        if (count <= 0) return bytes + "<cut>";
        bytes.append(buffer.data(), static_cast<size_t>(count));
        at += static_cast<uint64_t>(count);
    }
    return bytes;
}

std::vector<CZipEntry> TreeOf(const std::wstring& root) {
    CFolder folder;
    std::vector<CZipEntry> entries;
    if (!folder.Open(root.c_str()) || ListZipTree(folder, "", &entries) != ZipTreeResult::kListed)
        entries.clear();
    return entries;
}

// The archive of the tree below root from first on, read by a source that has computed no
// CRC-32 yet.
std::string ReadFrom(const std::wstring& root, uint64_t first, size_t step,
                     int* pNotYet = nullptr) {
    CZipSource source(root, "", TreeOf(root), nullptr);
    return ReadSource(source, first, step, pNotYet);
}

}  // namespace

TEST(ZipSourceTest, TheTreeIsListedAndReadsTheSameInAnyPiecesFromAnyStart) {
    CTempDir dir;
    std::filesystem::create_directories(dir.Path() / "b" / "c");
    dir.WriteFile("a.txt", std::string(70000, 'a'));
    dir.WriteFile("b/x.txt", "x");
    dir.WriteFile(".hidden", "secret");
    // A UTF-8 name, whatever the host's code page.
    std::ofstream(dir.Path() / std::filesystem::u8path("\xC3\xA9t\xC3\xA9.txt"), std::ios::binary)
        << std::string(3000, 'e');
    const std::wstring root = dir.Path().wstring().append(1, kPathSeparator);
    CFolder folder;
    std::vector<CZipEntry> entries;
    ASSERT_TRUE(folder.Open(root.c_str()));
    ASSERT_EQ(ListZipTree(folder, "", &entries), ZipTreeResult::kListed);
    std::vector<std::string> names;
    for (const CZipEntry& entry : entries) names.push_back(entry.m_name);
    EXPECT_EQ(names, (std::vector<std::string>{"b/", "b/c/", "b/x.txt", "a.txt",
                                               "\xC3\xA9t\xC3\xA9.txt"}));

    const std::string archive = ReadFrom(root, 0, 65536);
    ASSERT_EQ(archive.size(), LayOutZip(entries).m_nTotal);
    EXPECT_NE(archive.find(std::string(70000, 'a')), std::string::npos);
    // A range that starts past a file reads it for its CRC-32; records read in any pieces.
    for (const uint64_t first : {uint64_t{100}, uint64_t{40000}}) {
        EXPECT_EQ(ReadFrom(root, first, 4096), archive.substr(first)) << first;
    }
    for (const size_t step : {size_t{1}, size_t{7}, size_t{65536}}) {
        EXPECT_EQ(ReadFrom(root, archive.size() - 400, step), archive.substr(archive.size() - 400))
            << step;
    }
    // A file that changed size since the tree was read is not sent as announced.
    CZipSource changed(root, "", entries, nullptr);
    dir.WriteFile("b/x.txt", "xy");
    char buffer[65536];
    EXPECT_EQ(changed.ReadAt(0, buffer, sizeof buffer), -1);
}

TEST(ZipSourceTest, ARangeAfterALargeUnreadFileIsMadeAShareOfReadingAtATime) {
    CTempDir dir;
    dir.WriteFile("big.bin", "");
    std::filesystem::resize_file(dir.Path() / "big.bin", 3 * kBodyBytesPerStep + 1);
    const std::wstring root = dir.Path().wstring().append(1, kPathSeparator);
    const std::string archive = ReadFrom(root, 0, 65536);
    // The central header needs the big file's CRC-32: four calls read a share of it each,
    // and only the last has bytes.
    const uint64_t first = archive.size() - 80;
    int notYet = 0;
    EXPECT_EQ(ReadFrom(root, first, 65536, &notYet), archive.substr(first));
    EXPECT_EQ(notYet, 3);
}

TEST(ZipSourceTest, DataWhoseCrcIsKnownIsOfferedFromItsFileAndAFileWrittenMeanwhileIsCutShort) {
    CTempDir dir;
    dir.WriteFile("a.txt", std::string(70000, 'a'));
    dir.WriteFile("b.txt", "bb");
    const std::wstring root = dir.Path().wstring().append(1, kPathSeparator);
    const std::vector<CZipEntry> entries = TreeOf(root);
    CZipSource source(root, "", entries, nullptr);
    // The first pass follows the data for its CRC-32s, the second sends it from the files.
    int spans = 0;
    const std::string archive = ReadSource(source, 0, 65536, nullptr, &spans);
    EXPECT_EQ(spans, 0);
    EXPECT_EQ(ReadSource(source, 0, 65536, nullptr, &spans), archive);
    EXPECT_EQ(spans, 2);  // a.txt in two pieces; b.txt is too short to go alone

    const CZipEntryPlace a = PlaceOf(entries[0], 0);
    CFileSpan span;
    ASSERT_TRUE(source.FileSpanAt(a.m_nData, &span));
    dir.WriteFile("a.txt", std::string(70001, 'b'));
    char buffer[64];
    if (span.m_pFile->CanTellItIsStillAt()) {
        EXPECT_EQ(source.ReadAt(a.m_nDescriptor, buffer, sizeof buffer), CBodySource::kCutShort);
    }
}
