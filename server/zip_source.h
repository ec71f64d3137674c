// A folder's tree as the entries of a stored zip archive, and the archive's bytes made at
// any offset as they are sent: headers generated from the layout, file data read from the
// files below the root, each file's CRC-32 computed as its bytes go out and kept for later
// requests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/critical_section.h"
#include "foundation/file.h"
#include "server/answer.h"
#include "server/zip_layout.h"

// The most entries an archive may hold: a tree past it is refused, so that listing it, and
// the layout kept for its download, stay bounded.
constexpr size_t kMostZipEntries = 1000000;
// The deepest a folder may lie below the archived one: deeper ones are left out.
constexpr size_t kMostZipDepth = 64;

enum class ZipTreeResult { kListed, kNotAFolder, kTooMany };

// Reads into *pEntries the tree of the folder at relative below root (as ListFolderBelow
// takes it; "" for the root): every file and folder a listing of it or of a folder below it
// shows, in the listing's name order, each folder followed by what it holds, names relative
// to the folder. A folder that a link leads back to from below itself is left out, so the
// walk ends.
ZipTreeResult ListZipTree(const CFolder& root, const std::string& relative,
                          std::vector<CZipEntry>* pEntries);

// The strong entity tag of an archive, quoted: a hash of every entry's name, kind, size and
// write time, and the archive's length.
std::string ZipEntityTag(const std::vector<CZipEntry>& entries, uint64_t length);

// The CRC-32s of files computed by earlier downloads, for all workers, keyed by the root,
// the file's path below it, its size and write time. Only files whose times are a strong
// validator are kept, so that a kept CRC always belongs to the bytes its key names. Bounded:
// the oldest go first.
class CZipCrcMemory {
public:
    static constexpr size_t kMostKeyBytes = size_t{32} << 20;

    // The memory every download shares.
    static CZipCrcMemory& Shared();

    // The CRC kept for the key, if any.
    bool Find(const std::string& key, uint32_t* pCrc) const;
    void Keep(const std::string& key, uint32_t crc);

private:
    mutable CCriticalSection m_lock;
    std::unordered_map<std::string, uint32_t> m_crcs;  // under m_lock
    std::deque<std::string> m_order;                   // the keys, oldest first
    size_t m_nKeyBytes = 0;
};

// The bytes of one folder's archive, made at any offset: a body for a download.
class CZipSource : public CBodySource {
public:
    // The archive of entries (ListZipTree's) of the folder at relative (ending with '/', or
    // "") below the root at rootPath, which the source opens itself.
    CZipSource(const std::wstring& rootPath, const std::string& relative,
               std::vector<CZipEntry> entries, CZipCrcMemory* pMemory);

    // Whether the root opened.
    bool IsReady() const { return m_root.IsOpen(); }
    uint64_t GetLength() const { return m_layout.m_nTotal; }
    const std::vector<CZipEntry>& GetEntries() const { return m_entries; }

    // The archive's bytes at offset on; kCutShort once a file is no longer what was
    // announced (changed, shrunk, gone); kNotYet after reading kBodyBytesPerStep of files
    // whose CRC-32 the bytes at offset wait on.
    long long ReadAt(uint64_t offset, char* p, size_t n) override;
    // The span of an entry's file that holds the archive's bytes at offset, where they are
    // file data whose CRC-32 is already known (nothing to follow as they go out).
    bool FileSpanAt(uint64_t offset, CFileSpan* pSpan) override;

private:
    static constexpr size_t kUnknown = ~size_t{0};

    enum class CrcResult { kKnown, kNotYet, kCutShort };

    // The least file data that goes out from its file rather than copied with the records
    // around it.
    static constexpr uint64_t kLeastSpan = 65536;

    // Whether the bytes at offset are data of entry *pEntry (its records at *pPlace) whose
    // CRC-32 is known, so that they may go out from its file.
    bool IsKnownDataAt(uint64_t offset, size_t* pEntry, CZipEntryPlace* pPlace);
    // Whether file data that may go out from its file, and is long enough to pay for its own
    // send, starts at offset: ReadAt stops before it.
    bool IsWorthASpan(uint64_t offset);
    // ReadPiece's answer for a CRC-32 that is not at hand.
    static long long AfterCrc(CrcResult result);
    // The bytes of the one record or file data that offset falls in, at most n.
    long long ReadPiece(uint64_t offset, char* p, size_t n);
    // Copies to p what of m_record, which starts at start, lies at offset on.
    size_t CopyRecord(uint64_t start, uint64_t offset, char* p, size_t n) const;
    // Reads n bytes of entry i's data from position on into p, following its CRC.
    bool ReadData(size_t i, uint64_t position, char* p, size_t n);
    // Makes entry i's file the open one, checked to be what the tree said.
    bool OpenEntry(size_t i);
    // Whether entry i's open file is still what it was when opened, as its last bytes go out
    // (where the host can tell).
    bool IsUnchanged(size_t i) const;
    // Entry i's CRC-32, read from the memories or computed by reading its file through
    // scratch (n bytes), m_nWorkLeft of it at most: kNotYet when that ran out first.
    CrcResult CrcOf(size_t i, char* pScratch, size_t n, uint32_t* pCrc);
    void KnowCrc(size_t i, uint32_t crc);
    std::string KeyOf(size_t i) const;

    CFolder m_root;
    std::string m_rootKey;  // the root's path as bytes, leading every key
    std::string m_relative;
    std::vector<CZipEntry> m_entries;
    CZipLayout m_layout;
    CZipCrcMemory* m_pMemory;
    std::vector<uint32_t> m_crcs;
    std::vector<bool> m_bCrcKnown;
    std::string m_record;  // the record being copied out
    CFile m_file;          // the open entry's file
    size_t m_nOpenEntry = kUnknown;
    // The CRC of the bytes of m_nFollowed from its start up to m_nFollowedUpTo, as they went out.
    size_t m_nFollowed = kUnknown;
    uint64_t m_nFollowedUpTo = 0;
    uint32_t m_followedCrc = 0;
    // The entry whose data last went out as a span, checked before its descriptor does.
    size_t m_nSpanned = kUnknown;
    // What the current ReadAt may still read of files for their CRC-32s.
    uint64_t m_nWorkLeft = 0;
};
