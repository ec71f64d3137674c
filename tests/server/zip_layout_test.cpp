// The zip CRC-32 against known values, and the archive's layout against a table of offsets
// worked out by hand from the record lengths (local header 30, central header 46, each with
// the name and a 9-byte timestamp field; descriptor 16, or 24 with zip64 sizes). That every
// record written is as long as the layout says is the fuzz target's to check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/crc32.h"
#include "server/zip_layout.h"

namespace {

constexpr uint64_t kMax32 = 0xFFFFFFFFu;

uint32_t Read32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

}  // namespace

TEST(Crc32Test, KnownValuesWholeAndInPieces) {
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(UpdateCrc32(0, "", 0), 0u);
    EXPECT_EQ(UpdateCrc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(UpdateCrc32(0, fox.data(), fox.size()), 0x414FA339u);
    const std::string zeros(1 << 16, '\0');
    EXPECT_EQ(UpdateCrc32(0, zeros.data(), zeros.size()), 0xD7978EEBu);
    // Pieces of every length up to past the eight-byte step chain to the whole.
    for (size_t split = 0; split <= 17; ++split) {
        const uint32_t first = UpdateCrc32(0, fox.data(), split);
        EXPECT_EQ(UpdateCrc32(first, fox.data() + split, fox.size() - split), 0x414FA339u) << split;
    }
}

TEST(ZipLayoutTest, OffsetsOfEveryRecordAndZip64OnlyWhereAFieldOverflows) {
    struct {
        const char* m_pszWhat;
        std::vector<CZipEntry> m_entries;
        std::vector<uint64_t> m_locals;
        std::vector<uint64_t> m_centrals;
        bool m_bZip64End;
        uint64_t m_nTotal;
    } const cases[] = {
        {"nothing", {}, {}, {}, false, 22},
        {"a folder and a file in it",
         {{"d/", true}, {"d/a.txt", false, 5}},
         {0, 41},
         {108, 165},
         false,
         249},
        {"an empty file still has its descriptor", {{"e", false, 0}}, {0}, {56}, false, 134},
        {"the largest size without zip64; the directory starts past 4 GiB",
         {{"b", false, kMax32 - 1}},
         {0},
         {40 + kMax32 - 1 + 16},
         true,
         40 + kMax32 - 1 + 16 + 56 + 56 + 20 + 22},
        {"a size of 0xFFFFFFFF takes zip64 in the local and central headers",
         {{"b", false, kMax32}},
         {0},
         {60 + kMax32 + 24},
         true,
         60 + kMax32 + 24 + 76 + 56 + 20 + 22},
        {"a header past 4 GiB takes a zip64 offset in its central header alone",
         {{"b", false, kMax32 - 41}, {"c", false, 1}},
         {0, 40 + kMax32 - 41 + 16},
         {40 + kMax32 - 41 + 16 + 57, 40 + kMax32 - 41 + 16 + 57 + 56},
         true,
         40 + kMax32 - 41 + 16 + 57 + 56 + 68 + 56 + 20 + 22},
    };
    for (const auto& c : cases) {
        const CZipLayout layout = LayOutZip(c.m_entries);
        EXPECT_EQ(layout.m_localOffsets, c.m_locals) << c.m_pszWhat;
        EXPECT_EQ(layout.m_centralOffsets, c.m_centrals) << c.m_pszWhat;
        EXPECT_EQ(layout.m_bZip64End, c.m_bZip64End) << c.m_pszWhat;
        EXPECT_EQ(layout.m_nTotal, c.m_nTotal) << c.m_pszWhat;
    }
}

TEST(ZipLayoutTest, ALocalSizeOfFFFFFFFFIsBackedByAZip64FieldAndTheDescriptorCarriesTheSize) {
    const CZipEntry big{"big", false, uint64_t{5} << 30};
    std::string local;
    AppendLocalHeader(&local, big);
    EXPECT_EQ(Read32(local, 18), 0xFFFFFFFFu);
    EXPECT_EQ(Read32(local, 22), 0xFFFFFFFFu);
    EXPECT_EQ(Read32(local, 30 + 3 + 9), 0x00100001u);  // id 1, 16 bytes
    std::string descriptor;
    AppendDataDescriptor(&descriptor, big, 0x12345678);
    EXPECT_EQ(Read32(descriptor, 0), 0x08074b50u);
    EXPECT_EQ(Read32(descriptor, 4), 0x12345678u);
    EXPECT_EQ(Read32(descriptor, 8), 0x40000000u);
    EXPECT_EQ(Read32(descriptor, 12), 1u);
    // A small file's headers carry no zip64 field: only the 9-byte timestamp.
    std::string central;
    AppendCentralHeader(&central, CZipEntry{"s", false, 3}, 0, 0);
    EXPECT_EQ(central.size(), 46u + 1 + 9);
}
