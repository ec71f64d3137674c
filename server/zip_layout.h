// The layout of a zip archive whose entries are stored (not compressed), so that where every
// record lies, and the archive's whole length, follow from the entries' names and sizes
// alone; and the bytes of each record. Pure functions on buffers.
//
// Every file's data is followed by a data descriptor with its signature, since its CRC-32
// is only known once the data has gone out (general purpose bit 3); names are UTF-8 (bit
// 11). Zip64 fields appear exactly where a size or offset reaches 0xFFFFFFFF or the count
// of entries reaches 0xFFFF, and nowhere else, so that readers without zip64 read every
// archive that does not need it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One entry of an archive.
struct CZipEntry {
    static constexpr size_t kMaxNameLength = 0xFFFF;

    // The path relative to the archived folder, UTF-8, '/' between segments; a folder's ends
    // with '/'. At most kMaxNameLength bytes.
    std::string m_name;
    bool m_bFolder = false;
    uint64_t m_nSize = 0;       // bytes of data; 0 for a folder
    uint64_t m_nWriteTime = 0;  // 100 ns units since 1601, as CFolderEntry's
    // The modification time in the MS-DOS fields: date in the high half, time in the low,
    // on the local clock (DosDateTimeOf).
    uint32_t m_nDosDateTime = 0;
};

// Where one entry's records lie in the archive.
struct CZipEntryPlace {
    uint64_t m_nLocal;       // the local file header
    uint64_t m_nData;        // the file's data, right after the header
    uint64_t m_nDescriptor;  // the data descriptor, right after the data (files only)
    uint64_t m_nNext;        // the byte after the entry's last record
};

// Where every record of an archive lies: the entries' local records in entry order, the
// central directory (one header per entry, in the same order), the zip64 end records when
// they are needed, and the end of central directory record.
struct CZipLayout {
    std::vector<uint64_t> m_localOffsets;    // the local header of each entry
    std::vector<uint64_t> m_centralOffsets;  // the central header of each entry
    uint64_t m_nCentralStart = 0;
    uint64_t m_nCentralSize = 0;
    bool m_bZip64End = false;    // a zip64 end record and its locator precede the end record
    uint64_t m_nEndRecords = 0;  // the first of the end records
    uint64_t m_nTotal = 0;       // the archive's length
};

// The DOS date and time of unixSeconds on the local clock (to the even second below), held
// at 1980-01-01 00:00 for earlier times and at the end of 2107 for later ones.
uint32_t DosDateTimeOf(int64_t unixSeconds);

// Lays out an archive of the entries, in their order.
CZipLayout LayOutZip(const std::vector<CZipEntry>& entries);

// Where entry's records lie when its local header starts at local.
CZipEntryPlace PlaceOf(const CZipEntry& entry, uint64_t local);

// Appends the local file header of entry (its name and extra fields included).
void AppendLocalHeader(std::string* pOut, const CZipEntry& entry);
// Appends the data descriptor that follows a file's data: signature, CRC-32 and sizes (8
// bytes each where the local header carries a zip64 field). Nothing for a folder.
void AppendDataDescriptor(std::string* pOut, const CZipEntry& entry, uint32_t crc);
// Appends the central directory header of entry, whose local header lies at local.
void AppendCentralHeader(std::string* pOut, const CZipEntry& entry, uint64_t local, uint32_t crc);
// Appends the records that end the archive: the zip64 end record and its locator when the
// layout needs them, then the end of central directory record.
void AppendEndRecords(std::string* pOut, const CZipLayout& layout, size_t entryCount);
