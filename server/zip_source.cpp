// The tree walk that gives an archive its entries, and the archive's bytes at any offset.
#include "server/zip_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "server/ascii.h"
#include "server/crc32.h"
#include "server/fact_hash.h"
#include "server/folder_listing.h"
#include "server/http_date.h"

namespace {

// Appends value in lower-case hex, without leading zeros.
void AppendHex(std::string* pOut, uint64_t value) {
    char digits[16];
    pOut->append(digits, FormatLowerHex(value, digits));
}

// The largest read asked of a file at once (its API counts in 32 bits).
constexpr size_t kMostReadAtOnce = size_t{1} << 30;
// The least room the CRC of a file is computed through; a smaller buffer is passed over for
// one of this size on the stack.
constexpr size_t kLeastScratch = 16384;

// One folder on the way down the tree, with what it holds still to be walked.
struct CWalkedFolder {
    std::string m_below;  // its path below the root, with a final '/' ("" for the root)
    uint64_t m_nStamp;    // what tells it from every other folder
    std::vector<CFolderEntry> m_entries;
    size_t m_nNext = 0;
};

// The folder's entries in the listing's default order, none when it cannot be listed.
std::vector<CFolderEntry> SortedEntriesOf(const CFolder& root, const std::string& below) {
    std::vector<CFolderEntry> entries;
    if (!ListFolderBelow(root, below.c_str(), &entries)) entries.clear();
    SortListing(&entries, CListingOrder());
    return entries;
}

CZipEntry ZipEntryOf(const CFolderEntry& found, std::string name) {
    CZipEntry entry;
    entry.m_name = std::move(name);
    entry.m_bFolder = found.m_bFolder;
    entry.m_nSize = found.m_bFolder ? 0 : found.m_nSize;
    entry.m_nWriteTime = found.m_nWriteTime;
    entry.m_nDosDateTime = DosDateTimeOf(UnixSecondsFromFileTime(found.m_nWriteTime));
    return entry;
}

// Whether a folder of this stamp is already on the way down: a link led back to it.
bool IsOnTheWayDown(const std::vector<CWalkedFolder>& way, uint64_t stamp) {
    return std::any_of(way.begin(), way.end(),
                       [stamp](const CWalkedFolder& folder) { return folder.m_nStamp == stamp; });
}

// The index of the last of the ascending offsets at or before offset.
size_t IndexAt(const std::vector<uint64_t>& offsets, uint64_t offset) {
    return static_cast<size_t>(std::upper_bound(offsets.begin(), offsets.end(), offset) -
                               offsets.begin()) -
           1;
}

}  // namespace

ZipTreeResult ListZipTree(const CFolder& root, const std::string& relative,
                          std::vector<CZipEntry>* pEntries) {
    pEntries->clear();
    std::string top = relative;
    if (!top.empty() && top.back() != '/') top.push_back('/');
    std::vector<CWalkedFolder> way(1);
    way[0].m_below = top;
    way[0].m_nStamp = FolderStampBelow(root, top.c_str());
    if (way[0].m_nStamp == 0) return ZipTreeResult::kNotAFolder;
    way[0].m_entries = SortedEntriesOf(root, top);
    while (!way.empty()) {
        CWalkedFolder& folder = way.back();
        if (folder.m_nNext == folder.m_entries.size()) {
            way.pop_back();
            continue;
        }
        const CFolderEntry& found = folder.m_entries[folder.m_nNext++];
        std::string below = folder.m_below + found.m_name;
        if (found.m_bFolder) below.push_back('/');
        if (below.size() - top.size() > CZipEntry::kMaxNameLength) continue;
        if (pEntries->size() == kMostZipEntries) return ZipTreeResult::kTooMany;
        if (!found.m_bFolder) {
            pEntries->push_back(ZipEntryOf(found, below.substr(top.size())));
            continue;
        }
        const uint64_t stamp = FolderStampBelow(root, below.c_str());
        if (stamp != 0 && IsOnTheWayDown(way, stamp)) continue;
        // However the host tells folders apart, a walk ends at this depth.
        if (way.size() == kMostZipDepth) continue;
        pEntries->push_back(ZipEntryOf(found, below.substr(top.size())));
        CWalkedFolder inner;
        inner.m_nStamp = stamp;
        inner.m_entries = SortedEntriesOf(root, below);
        inner.m_below = std::move(below);
        way.push_back(std::move(inner));  // folder is not used after this
    }
    return ZipTreeResult::kListed;
}

std::string ZipEntityTag(const std::vector<CZipEntry>& entries, uint64_t length) {
    CFactHash hash;
    hash.Number(entries.size());
    for (const CZipEntry& entry : entries) {
        hash.Number(entry.m_name.size());
        hash.Bytes(entry.m_name.data(), entry.m_name.size());
        hash.Number(entry.m_bFolder ? 1 : 0);
        hash.Number(entry.m_nSize);
        hash.Number(entry.m_nWriteTime);
    }
    std::string tag = "\"z";
    AppendHex(&tag, hash.Value());
    tag.push_back('-');
    AppendHex(&tag, length);
    tag.push_back('"');
    return tag;
}

CZipCrcMemory& CZipCrcMemory::Shared() {
    static CZipCrcMemory s_memory;
    return s_memory;
}

bool CZipCrcMemory::Find(const std::string& key, uint32_t* pCrc) const {
    CCriticalLock lock(&m_lock);
    const auto found = m_crcs.find(key);
    if (found == m_crcs.end()) return false;
    *pCrc = found->second;
    return true;
}

void CZipCrcMemory::Keep(const std::string& key, uint32_t crc) {
    if (key.size() > kMostKeyBytes) return;
    CCriticalLock lock(&m_lock);
    if (!m_crcs.emplace(key, crc).second) return;
    m_order.push_back(key);
    m_nKeyBytes += key.size();
    while (m_nKeyBytes > kMostKeyBytes) {
        m_nKeyBytes -= m_order.front().size();
        m_crcs.erase(m_order.front());
        m_order.pop_front();
    }
}

CZipSource::CZipSource(const std::wstring& rootPath, const std::string& relative,
                       std::vector<CZipEntry> entries, CZipCrcMemory* pMemory)
    : m_relative(relative),
      m_entries(std::move(entries)),
      m_layout(LayOutZip(m_entries)),
      m_pMemory(pMemory),
      m_crcs(m_entries.size(), 0),
      m_bCrcKnown(m_entries.size(), false) {
    if (!m_relative.empty() && m_relative.back() != '/') m_relative.push_back('/');
    m_root.Open(rootPath.c_str());
    m_rootKey.assign(reinterpret_cast<const char*>(rootPath.data()),
                     rootPath.size() * sizeof(wchar_t));
}

long long CZipSource::ReadAt(uint64_t offset, char* p, size_t n) {
    m_nWorkLeft = kBodyBytesPerStep;
    size_t done = 0;
    while (done < n && offset + done < m_layout.m_nTotal) {
        if (done > 0 && IsWorthASpan(offset + done)) break;
        const long long count = ReadPiece(offset + done, p + done, n - done);
        // Bytes already made go out before the work the next ones wait on goes on.
        if (count == kNotYet) return done > 0 ? static_cast<long long>(done) : kNotYet;
        if (count <= 0) return kCutShort;
        done += static_cast<size_t>(count);
    }
    return static_cast<long long>(done);
}

bool CZipSource::IsKnownDataAt(uint64_t offset, size_t* pEntry, CZipEntryPlace* pPlace) {
    if (offset >= m_layout.m_nCentralStart) return false;
    const size_t i = IndexAt(m_layout.m_localOffsets, offset);
    const CZipEntryPlace place = PlaceOf(m_entries[i], m_layout.m_localOffsets[i]);
    if (offset < place.m_nData || offset >= place.m_nDescriptor) return false;
    // A file that is no longer the one announced is left to ReadAt, which cuts it short.
    if (!OpenEntry(i) || !m_bCrcKnown[i]) return false;
    *pEntry = i;
    *pPlace = place;
    return true;
}

bool CZipSource::FileSpanAt(uint64_t offset, CFileSpan* pSpan) {
    size_t i = 0;
    CZipEntryPlace place{};
    if (!IsKnownDataAt(offset, &i, &place)) return false;
    m_nSpanned = i;
    pSpan->m_pFile = &m_file;
    pSpan->m_nPosition = offset - place.m_nData;
    pSpan->m_nLength = place.m_nDescriptor - offset;
    return true;
}

bool CZipSource::IsWorthASpan(uint64_t offset) {
    size_t i = 0;
    CZipEntryPlace place{};
    return IsKnownDataAt(offset, &i, &place) && offset == place.m_nData &&
           m_entries[i].m_nSize >= kLeastSpan;
}

long long CZipSource::AfterCrc(CrcResult result) {
    return result == CrcResult::kNotYet ? kNotYet : kCutShort;
}

long long CZipSource::ReadPiece(uint64_t offset, char* p, size_t n) {
    m_record.clear();
    uint32_t crc = 0;
    if (offset < m_layout.m_nCentralStart) {
        const size_t i = IndexAt(m_layout.m_localOffsets, offset);
        const CZipEntryPlace place = PlaceOf(m_entries[i], m_layout.m_localOffsets[i]);
        if (offset < place.m_nData) {
            AppendLocalHeader(&m_record, m_entries[i]);
            return static_cast<long long>(CopyRecord(place.m_nLocal, offset, p, n));
        }
        if (offset < place.m_nDescriptor) {
            const size_t count =
                static_cast<size_t>(std::min<uint64_t>(n, place.m_nDescriptor - offset));
            if (!ReadData(i, offset - place.m_nData, p, count)) return kCutShort;
            return static_cast<long long>(count);
        }
        // Data sent from the file was not read here: whether the file was written to or
        // replaced meanwhile is told before the descriptor vouches for it.
        if (m_nSpanned == i) {
            m_nSpanned = kUnknown;
            if (m_nOpenEntry != i || !IsUnchanged(i)) return kCutShort;
        }
        const CrcResult result = CrcOf(i, p, n, &crc);
        if (result != CrcResult::kKnown) return AfterCrc(result);
        AppendDataDescriptor(&m_record, m_entries[i], crc);
        return static_cast<long long>(CopyRecord(place.m_nDescriptor, offset, p, n));
    }
    if (offset < m_layout.m_nEndRecords) {
        const size_t i = IndexAt(m_layout.m_centralOffsets, offset);
        const CrcResult result = CrcOf(i, p, n, &crc);
        if (result != CrcResult::kKnown) return AfterCrc(result);
        AppendCentralHeader(&m_record, m_entries[i], m_layout.m_localOffsets[i], crc);
        return static_cast<long long>(CopyRecord(m_layout.m_centralOffsets[i], offset, p, n));
    }
    AppendEndRecords(&m_record, m_layout, m_entries.size());
    return static_cast<long long>(CopyRecord(m_layout.m_nEndRecords, offset, p, n));
}

size_t CZipSource::CopyRecord(uint64_t start, uint64_t offset, char* p, size_t n) const {
    const size_t from = static_cast<size_t>(offset - start);
    const size_t count = std::min(n, m_record.size() - from);
    std::memcpy(p, m_record.data() + from, count);
    return count;
}

bool CZipSource::OpenEntry(size_t i) {
    if (m_nOpenEntry == i) return true;
    m_nOpenEntry = kUnknown;
    const CZipEntry& entry = m_entries[i];
    const std::string path = m_relative + entry.m_name;
    // A file whose size or time moved since the tree was read is not the file announced.
    if (!m_file.OpenBelow(m_root, path.c_str()) || !m_file.IsRegularFile() ||
        m_file.GetOpenedSize() != entry.m_nSize ||
        m_file.GetOpenedWriteTime() != entry.m_nWriteTime) {
        m_file.Close();
        return false;
    }
    m_nOpenEntry = i;
    // A CRC an earlier download kept spares following this one's bytes.
    uint32_t kept = 0;
    if (!m_bCrcKnown[i] && m_pMemory != nullptr && m_pMemory->Find(KeyOf(i), &kept)) {
        m_crcs[i] = kept;
        m_bCrcKnown[i] = true;
    }
    return true;
}

bool CZipSource::IsUnchanged(size_t i) const {
    // A file written to while it was read is not the file announced either.
    return !m_file.CanTellItIsStillAt() ||
           m_file.IsStillAt(m_root, (m_relative + m_entries[i].m_name).c_str());
}

bool CZipSource::ReadData(size_t i, uint64_t position, char* p, size_t n) {
    if (!OpenEntry(i)) return false;
    for (size_t done = 0; done < n;) {
        const size_t asked = std::min(n - done, kMostReadAtOnce);
        const DWORD count = m_file.ReadAt(p + done, static_cast<DWORD>(asked), position + done);
        if (count == 0) return false;  // shrunk, or unreadable
        done += count;
    }
    if (position + n == m_entries[i].m_nSize && !IsUnchanged(i)) return false;
    if (m_bCrcKnown[i]) return true;
    if (position == 0) {
        m_nFollowed = i;
        m_nFollowedUpTo = 0;
        m_followedCrc = 0;
    }
    // Bytes sent again because the socket did not take them all are followed only past
    // where the CRC has got to.
    if (m_nFollowed == i && position <= m_nFollowedUpTo && m_nFollowedUpTo < position + n) {
        const size_t skipped = static_cast<size_t>(m_nFollowedUpTo - position);
        m_followedCrc = UpdateCrc32(m_followedCrc, p + skipped, n - skipped);
        m_nFollowedUpTo = position + n;
        if (m_nFollowedUpTo == m_entries[i].m_nSize) KnowCrc(i, m_followedCrc);
    }
    return true;
}

CZipSource::CrcResult CZipSource::CrcOf(size_t i, char* pScratch, size_t n, uint32_t* pCrc) {
    const CZipEntry& entry = m_entries[i];
    if (entry.m_bFolder) {
        *pCrc = 0;
        return CrcResult::kKnown;
    }
    if (!m_bCrcKnown[i] && entry.m_nSize == 0) KnowCrc(i, 0);
    if (!m_bCrcKnown[i]) {
        uint32_t kept = 0;
        if (m_pMemory != nullptr && m_pMemory->Find(KeyOf(i), &kept)) {
            m_crcs[i] = kept;
            m_bCrcKnown[i] = true;
        }
    }
    if (!m_bCrcKnown[i]) {
        // Read from where the bytes that went out stopped being followed, or from the start.
        char local[kLeastScratch];
        if (n < kLeastScratch) {
            pScratch = local;
            n = kLeastScratch;
        }
        if (m_nFollowed != i) {
            m_nFollowed = i;
            m_nFollowedUpTo = 0;
            m_followedCrc = 0;
        }
        // Read a share at a time, so that a large file does not keep the worker from its
        // other connections while it is read.
        while (!m_bCrcKnown[i]) {
            if (m_nWorkLeft == 0) return CrcResult::kNotYet;
            const size_t count = static_cast<size_t>(
                std::min({uint64_t{n}, entry.m_nSize - m_nFollowedUpTo, m_nWorkLeft}));
            if (!ReadData(i, m_nFollowedUpTo, pScratch, count)) return CrcResult::kCutShort;
            m_nWorkLeft -= count;
        }
    }
    *pCrc = m_crcs[i];
    return CrcResult::kKnown;
}

void CZipSource::KnowCrc(size_t i, uint32_t crc) {
    m_crcs[i] = crc;
    m_bCrcKnown[i] = true;
    if (m_pMemory != nullptr && m_nOpenEntry == i && m_file.HasStrongValidator()) {
        m_pMemory->Keep(KeyOf(i), crc);
    }
}

std::string CZipSource::KeyOf(size_t i) const {
    const CZipEntry& entry = m_entries[i];
    std::string key = m_rootKey;
    key.push_back('\0');
    key += m_relative;
    key += entry.m_name;
    key.push_back('\0');
    AppendHex(&key, entry.m_nSize);
    key.push_back('-');
    AppendHex(&key, entry.m_nWriteTime);
    return key;
}
