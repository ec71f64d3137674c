// Records of a stored zip archive, as APPNOTE 6.3 lays them out: little-endian fields, the
// extended-timestamp extra field (0x5455) with the UTC modification time on every header,
// and the zip64 extra field (0x0001) only where a field would overflow.
#include "server/zip_layout.h"

#include "foundation/clock.h"
#include "server/http_date.h"

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kEndSignature = 0x06054b50;

constexpr uint64_t kMax32 = 0xFFFFFFFFu;  // a 32-bit field this large points to zip64
constexpr uint64_t kMax16 = 0xFFFFu;

constexpr uint64_t kLocalFixed = 30;
constexpr uint64_t kCentralFixed = 46;
constexpr uint64_t kTimestampExtra = 9;  // id, length, flags, modification time
constexpr uint64_t kZip64End = 56;
constexpr uint64_t kZip64Locator = 20;
constexpr uint64_t kEnd = 22;

constexpr uint16_t kFlagDescriptor = 1u << 3;
constexpr uint16_t kFlagUtf8 = 1u << 11;
// Version 2.0 reads stored entries and folders; 4.5 is needed for zip64. The high byte says
// the attributes are Unix modes.
constexpr uint16_t kVersion20 = 20;
constexpr uint16_t kVersion45 = 45;
constexpr uint16_t kMadeOnUnix = 3u << 8;
constexpr uint32_t kFileAttributes = 0100644u << 16;
constexpr uint32_t kFolderAttributes = (040755u << 16) | 0x10;  // and the MS-DOS folder bit

void Put16(std::string* pOut, uint64_t value) {
    pOut->push_back(static_cast<char>(value & 0xFF));
    pOut->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string* pOut, uint64_t value) {
    Put16(pOut, value & 0xFFFF);
    Put16(pOut, (value >> 16) & 0xFFFF);
}

void Put64(std::string* pOut, uint64_t value) {
    Put32(pOut, value & kMax32);
    Put32(pOut, value >> 32);
}

// A 32-bit field's value: the value, or 0xFFFFFFFF when a zip64 field holds it.
uint64_t Field32(uint64_t value) {
    return value >= kMax32 ? kMax32 : value;
}

// Whether the entry's sizes need zip64 fields (in its local header, its descriptor and its
// central header).
bool HasZip64Sizes(const CZipEntry& entry) {
    return entry.m_nSize >= kMax32;
}

uint64_t LocalHeaderLength(const CZipEntry& entry) {
    return kLocalFixed + entry.m_name.size() + kTimestampExtra + (HasZip64Sizes(entry) ? 20 : 0);
}

uint64_t DescriptorLength(const CZipEntry& entry) {
    if (entry.m_bFolder) return 0;
    return HasZip64Sizes(entry) ? 24 : 16;
}

// The 8-byte values a central header's zip64 field holds: the sizes, then the offset.
int CentralZip64Count(const CZipEntry& entry, uint64_t local) {
    return (HasZip64Sizes(entry) ? 2 : 0) + (local >= kMax32 ? 1 : 0);
}

uint64_t CentralHeaderLength(const CZipEntry& entry, uint64_t local) {
    const int count = CentralZip64Count(entry, local);
    return kCentralFixed + entry.m_name.size() + kTimestampExtra + (count > 0 ? 4 + 8 * count : 0);
}

uint16_t FlagsOf(const CZipEntry& entry) {
    return entry.m_bFolder ? kFlagUtf8 : kFlagDescriptor | kFlagUtf8;
}

// The extended-timestamp field with the modification time alone, as seconds since 1970 UTC
// held within an unsigned 32-bit field that readers taking it as signed read alike.
void PutTimestampExtra(std::string* pOut, const CZipEntry& entry) {
    int64_t seconds = UnixSecondsFromFileTime(entry.m_nWriteTime);
    if (seconds < 0) seconds = 0;
    if (seconds > 0x7FFFFFFF) seconds = 0x7FFFFFFF;
    Put16(pOut, 0x5455);
    Put16(pOut, 5);
    pOut->push_back(1);  // the modification time is present
    Put32(pOut, static_cast<uint64_t>(seconds));
}

}  // namespace

uint32_t DosDateTimeOf(int64_t unixSeconds) {
    CLocalTime local{};
    if (!LocalTimeOf(unixSeconds, local) || local.m_nYear < 1980) {
        return (0u << 9 | 1u << 5 | 1u) << 16;  // 1980-01-01 00:00:00
    }
    if (local.m_nYear > 2107)
        return (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
    const uint32_t date =
        static_cast<uint32_t>((local.m_nYear - 1980) << 9 | local.m_nMonth << 5 | local.m_nDay);
    const uint32_t time =
        static_cast<uint32_t>(local.m_nHour << 11 | local.m_nMinute << 5 | local.m_nSecond / 2);
    return date << 16 | time;
}

CZipEntryPlace PlaceOf(const CZipEntry& entry, uint64_t local) {
    CZipEntryPlace place;
    place.m_nLocal = local;
    place.m_nData = local + LocalHeaderLength(entry);
    place.m_nDescriptor = place.m_nData + entry.m_nSize;
    place.m_nNext = place.m_nDescriptor + DescriptorLength(entry);
    return place;
}

CZipLayout LayOutZip(const std::vector<CZipEntry>& entries) {
    CZipLayout layout;
    layout.m_localOffsets.reserve(entries.size());
    layout.m_centralOffsets.reserve(entries.size());
    uint64_t at = 0;
    for (const CZipEntry& entry : entries) {
        layout.m_localOffsets.push_back(at);
        at = PlaceOf(entry, at).m_nNext;
    }
    layout.m_nCentralStart = at;
    for (size_t i = 0; i < entries.size(); ++i) {
        layout.m_centralOffsets.push_back(at);
        at += CentralHeaderLength(entries[i], layout.m_localOffsets[i]);
    }
    layout.m_nCentralSize = at - layout.m_nCentralStart;
    layout.m_bZip64End = entries.size() >= kMax16 || layout.m_nCentralStart >= kMax32 ||
                         layout.m_nCentralSize >= kMax32;
    layout.m_nEndRecords = at;
    layout.m_nTotal = at + (layout.m_bZip64End ? kZip64End + kZip64Locator : 0) + kEnd;
    return layout;
}

void AppendLocalHeader(std::string* pOut, const CZipEntry& entry) {
    const bool bZip64 = HasZip64Sizes(entry);
    Put32(pOut, kLocalSignature);
    Put16(pOut, bZip64 ? kVersion45 : kVersion20);
    Put16(pOut, FlagsOf(entry));
    Put16(pOut, 0);  // stored
    Put32(pOut, entry.m_nDosDateTime);
    // The CRC-32 and sizes follow the data in its descriptor; a strict reader wants a size
    // that reads 0xFFFFFFFF here to be backed by a zip64 field, which then says 0 as well.
    Put32(pOut, 0);
    Put32(pOut, bZip64 ? kMax32 : 0);
    Put32(pOut, bZip64 ? kMax32 : 0);
    Put16(pOut, entry.m_name.size());
    Put16(pOut, kTimestampExtra + (bZip64 ? 20 : 0));
    pOut->append(entry.m_name);
    PutTimestampExtra(pOut, entry);
    if (bZip64) {
        Put16(pOut, 0x0001);
        Put16(pOut, 16);
        Put64(pOut, 0);
        Put64(pOut, 0);
    }
}

void AppendDataDescriptor(std::string* pOut, const CZipEntry& entry, uint32_t crc) {
    if (entry.m_bFolder) return;
    Put32(pOut, kDescriptorSignature);
    Put32(pOut, crc);
    if (HasZip64Sizes(entry)) {
        Put64(pOut, entry.m_nSize);
        Put64(pOut, entry.m_nSize);
    } else {
        Put32(pOut, entry.m_nSize);
        Put32(pOut, entry.m_nSize);
    }
}

void AppendCentralHeader(std::string* pOut, const CZipEntry& entry, uint64_t local, uint32_t crc) {
    const int zip64Count = CentralZip64Count(entry, local);
    const uint16_t version = zip64Count > 0 ? kVersion45 : kVersion20;
    Put32(pOut, kCentralSignature);
    Put16(pOut, kMadeOnUnix | version);
    Put16(pOut, version);
    Put16(pOut, FlagsOf(entry));
    Put16(pOut, 0);  // stored
    Put32(pOut, entry.m_nDosDateTime);
    Put32(pOut, crc);
    Put32(pOut, Field32(entry.m_nSize));
    Put32(pOut, Field32(entry.m_nSize));
    Put16(pOut, entry.m_name.size());
    Put16(pOut, kTimestampExtra + (zip64Count > 0 ? 4 + 8 * zip64Count : 0));
    Put16(pOut, 0);  // no comment
    Put16(pOut, 0);  // the first disk
    Put16(pOut, 0);  // binary
    Put32(pOut, entry.m_bFolder ? kFolderAttributes : kFileAttributes);
    Put32(pOut, Field32(local));
    pOut->append(entry.m_name);
    PutTimestampExtra(pOut, entry);
    if (zip64Count > 0) {
        Put16(pOut, 0x0001);
        Put16(pOut, 8 * zip64Count);
        if (HasZip64Sizes(entry)) {
            Put64(pOut, entry.m_nSize);
            Put64(pOut, entry.m_nSize);
        }
        if (local >= kMax32) Put64(pOut, local);
    }
}

void AppendEndRecords(std::string* pOut, const CZipLayout& layout, size_t entryCount) {
    const uint64_t count = entryCount;
    if (layout.m_bZip64End) {
        Put32(pOut, kZip64EndSignature);
        Put64(pOut, kZip64End - 12);  // the record's length after this field
        Put16(pOut, kMadeOnUnix | kVersion45);
        Put16(pOut, kVersion45);
        Put32(pOut, 0);  // this disk
        Put32(pOut, 0);  // the disk the central directory starts on
        Put64(pOut, count);
        Put64(pOut, count);
        Put64(pOut, layout.m_nCentralSize);
        Put64(pOut, layout.m_nCentralStart);
        Put32(pOut, kZip64LocatorSignature);
        Put32(pOut, 0);  // the disk of the zip64 end record
        Put64(pOut, layout.m_nEndRecords);
        Put32(pOut, 1);  // disks in all
    }
    Put32(pOut, kEndSignature);
    Put16(pOut, 0);
    Put16(pOut, 0);
    Put16(pOut, count >= kMax16 ? kMax16 : count);
    Put16(pOut, count >= kMax16 ? kMax16 : count);
    Put32(pOut, Field32(layout.m_nCentralSize));
    Put32(pOut, Field32(layout.m_nCentralStart));
    Put16(pOut, 0);  // no comment
}
