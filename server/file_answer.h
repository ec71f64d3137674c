// Which response a GET of a file gets: the whole file, partial content, 304 Not Modified or
// 416 Range Not Satisfiable, from the request's Range and conditional header fields and the
// file's validators. Pure functions on buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "server/http_date.h"
#include "server/request_head.h"

// What tells one version of a file from another.
struct CFileVersion {
    uint64_t m_nSize;
    uint64_t m_nWriteTime;  // 100 ns units since 1601; 0 when unknown
};

// The validators a response carries for a file version.
struct CValidators {
    static constexpr size_t kMaxEtagLength = 40;
    char m_szEtag[kMaxEtagLength];  // a strong entity tag, quotes included; zero-terminated
    size_t m_nEtagLength;
    int64_t m_nLastModified;  // whole seconds since 1970
    char m_szLastModified[kHttpDateLength + 1];
};

// The entity tag ("size-writetime" in hex) and the last-modified date of a version.
CValidators ValidatorsOf(const CFileVersion& version);

enum class RangeResult { kNone, kSatisfiable, kUnsatisfiable };

// Reads a Range value for a file of size bytes. One range of unit "bytes" in one of the
// forms A-B, A- and -N is kSatisfiable with [*pFirst, *pEnd) inside the file (a last
// position past the end is cut to it); a first position at or past the end, or a suffix of
// no bytes, is kUnsatisfiable; anything else (several ranges, another unit, a malformed
// value) is kNone, and the whole file is sent.
RangeResult ParseByteRange(const char* p, size_t n, uint64_t size, uint64_t* pFirst,
                           uint64_t* pEnd);

// Whether an If-None-Match value names the entity tag (quotes included), compared weakly,
// or is "*": then the client's copy is current and the response is 304.
bool IfNoneMatchNames(const CHeaderValue& value, const char* pTag, size_t tagLength);

enum class FileAnswerKind { kWhole, kPart, kNotModified, kUnsatisfiable };

struct CFileAnswer {
    FileAnswerKind m_kind;
    uint64_t m_nFirst;  // the bytes [m_nFirst, m_nEnd) go out: the whole file, or the part
    uint64_t m_nEnd;
};

// Decides the response to a conditional or range GET of a file of this version:
// If-None-Match (any listed tag, or "*") and, without it, If-Modified-Since at or after the
// write time make it kNotModified; otherwise one satisfiable Range makes it kPart and an
// unsatisfiable one kUnsatisfiable, unless an If-Range names another version (kWhole).
CFileAnswer ChooseFileAnswer(const CFileRequestHeaders& headers, const CFileVersion& version,
                             const CValidators& validators);
