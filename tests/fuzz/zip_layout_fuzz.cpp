// Fuzzes the zip layout with any names, sizes and counts: the records never overlap and
// follow one another without a gap, each record written is exactly as long as the layout
// says, and the archive's length is the sum of them all.
//
// Input: a first byte (0xFC to 0xFF: pad the entries with folders up to 65,534 and 0 to 3
// more, which is slow, so rarely), then entries separated by zero bytes, each
// a kind byte (bit 0: a folder; bits 1-3 pick a size: 0, small, or around 4 GiB and beyond) and the
// name.
#include <string>
#include <vector>

#include "server/zip_layout.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

std::vector<CZipEntry> EntriesOf(const uint8_t* pData, size_t size) {
    std::vector<CZipEntry> entries;
    size_t at = 1;
    while (at < size) {
        CZipEntry entry;
        const unsigned char kind = pData[at++];
        while (at < size && pData[at] != 0 && entry.m_name.size() < CZipEntry::kMaxNameLength) {
            entry.m_name.push_back(static_cast<char>(pData[at++]));
        }
        ++at;
        entry.m_bFolder = (kind & 1) != 0;
        // Sizes on both sides of where zip64 starts, and far past it.
        const uint64_t k4GiB = uint64_t{1} << 32, index = entries.size();
        const uint64_t sizes[] = {0,
                                  index % 1000,
                                  k4GiB - 2,
                                  k4GiB - 1,
                                  k4GiB,
                                  k4GiB * 3 + kind,
                                  (uint64_t{1} << 40) + index,
                                  kind};
        entry.m_nSize = entry.m_bFolder ? 0 : sizes[(kind >> 1) & 7];
        entry.m_nWriteTime = uint64_t{kind} << 40;
        entries.push_back(entry);
    }
    if (size > 0 && pData[0] >= 0xFC) {
        const size_t count = 0xFFFE + (pData[0] & 3);
        if (entries.size() < count) entries.resize(count, CZipEntry{"p/", true});
    }
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    const std::vector<CZipEntry> entries = EntriesOf(pData, size);
    const CZipLayout layout = LayOutZip(entries);
    FUZZ_CHECK(layout.m_localOffsets.size() == entries.size());
    FUZZ_CHECK(layout.m_centralOffsets.size() == entries.size());
    std::string record;
    uint64_t at = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        FUZZ_CHECK(layout.m_localOffsets[i] == at);
        const CZipEntryPlace place = PlaceOf(entries[i], at);
        record.clear();
        AppendLocalHeader(&record, entries[i]);
        FUZZ_CHECK(place.m_nData == at + record.size());
        FUZZ_CHECK(place.m_nDescriptor == place.m_nData + entries[i].m_nSize);
        record.clear();
        AppendDataDescriptor(&record, entries[i], 0);
        FUZZ_CHECK(place.m_nNext == place.m_nDescriptor + record.size());
        FUZZ_CHECK(entries[i].m_bFolder == record.empty());
        at = place.m_nNext;
    }
    FUZZ_CHECK(layout.m_nCentralStart == at);
    bool bOver32 = at >= 0xFFFFFFFFu || entries.size() >= 0xFFFF;
    for (size_t i = 0; i < entries.size(); ++i) {
        FUZZ_CHECK(layout.m_centralOffsets[i] == at);
        record.clear();
        AppendCentralHeader(&record, entries[i], layout.m_localOffsets[i], 0);
        at += record.size();
    }
    FUZZ_CHECK(layout.m_nCentralSize == at - layout.m_nCentralStart);
    bOver32 = bOver32 || layout.m_nCentralSize >= 0xFFFFFFFFu;
    FUZZ_CHECK(layout.m_bZip64End == bOver32);
    FUZZ_CHECK(layout.m_nEndRecords == at);
    record.clear();
    AppendEndRecords(&record, layout, entries.size());
    FUZZ_CHECK(layout.m_nTotal == at + record.size());
    return 0;
}
