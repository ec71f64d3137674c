// Byte ranges and validators of a file response.
#include "server/file_answer.h"

#include <cstring>

#include "server/ascii.h"

namespace {

// Reads the digits at p[*pAt] on into *pValue, held at the largest value rather than
// wrapping (a position that large lies past the end of any file); false, and *pValue
// untouched, when there are none.
bool ReadPosition(const char* p, size_t n, size_t* pAt, uint64_t* pValue) {
    const size_t start = *pAt;
    uint64_t value = 0;
    for (; *pAt < n && IsDigit(p[*pAt]); ++*pAt) {
        const uint64_t digit = static_cast<uint64_t>(p[*pAt] - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    if (*pAt == start) return false;
    *pValue = value;
    return true;
}

// Whether the If-None-Match list [p, p + n) names the tag (quotes included), compared
// weakly (a W/ prefix does not matter), or is "*".
bool NoneMatchListNames(const char* p, size_t n, const char* pTag, size_t tagLength) {
    size_t at = 0;
    for (;;) {
        while (at < n && (IsBlank(p[at]) || p[at] == ',')) ++at;
        if (at == n) return false;
        if (p[at] == '*') return true;
        if (n - at >= 2 && p[at] == 'W' && p[at + 1] == '/') at += 2;
        if (at == n || p[at] != '"') return false;  // not a list of entity tags
        const char* pClose = static_cast<const char*>(std::memchr(p + at + 1, '"', n - at - 1));
        if (pClose == nullptr) return false;
        const size_t length = static_cast<size_t>(pClose - (p + at)) + 1;
        if (length == tagLength && std::memcmp(p + at, pTag, tagLength) == 0) return true;
        at += length;
    }
}

// Whether an If-Range value names this version: its entity tag, compared strongly, or its
// last-modified date exactly.
bool IfRangeNamesVersion(const CHeaderValue& value, const CValidators& validators) {
    if (value.m_n > 0 && value.m_p[0] == '"') {
        return value.m_n == validators.m_nEtagLength &&
               std::memcmp(value.m_p, validators.m_szEtag, value.m_n) == 0;
    }
    int64_t date = 0;
    return ParseHttpDate(value.m_p, value.m_n, &date) && date == validators.m_nLastModified;
}

// Whether the conditional header fields say that the client's copy is this version.
bool ClientHasVersion(const CFileRequestHeaders& headers, const CValidators& validators) {
    if (headers.m_ifNoneMatch.m_nLines > 0) {
        // Several lines form one list; only a tag of the first is looked at.
        return NoneMatchListNames(headers.m_ifNoneMatch.m_p, headers.m_ifNoneMatch.m_n,
                                  validators.m_szEtag, validators.m_nEtagLength);
    }
    int64_t since = 0;
    return headers.m_ifModifiedSince.m_nLines == 1 &&
           ParseHttpDate(headers.m_ifModifiedSince.m_p, headers.m_ifModifiedSince.m_n, &since) &&
           validators.m_nLastModified <= since;
}

}  // namespace

bool IfNoneMatchNames(const CHeaderValue& value, const char* pTag, size_t tagLength) {
    return value.m_nLines > 0 && NoneMatchListNames(value.m_p, value.m_n, pTag, tagLength);
}

CValidators ValidatorsOf(const CFileVersion& version) {
    CValidators validators;
    char* p = validators.m_szEtag;
    *p++ = '"';
    p += FormatLowerHex(version.m_nSize, p);
    *p++ = '-';
    p += FormatLowerHex(version.m_nWriteTime, p);
    *p++ = '"';
    *p = '\0';
    validators.m_nEtagLength = static_cast<size_t>(p - validators.m_szEtag);
    validators.m_nLastModified = UnixSecondsFromFileTime(version.m_nWriteTime);
    FormatHttpDate(validators.m_nLastModified, validators.m_szLastModified);
    validators.m_szLastModified[kHttpDateLength] = '\0';
    return validators;
}

RangeResult ParseByteRange(const char* p, size_t n, uint64_t size, uint64_t* pFirst,
                           uint64_t* pEnd) {
    static const char kUnit[] = "bytes=";
    const size_t unitLength = sizeof kUnit - 1;
    if (n < unitLength || !EqualsIgnoringCase(p, unitLength, kUnit)) return RangeResult::kNone;
    size_t at = unitLength;
    while (at < n && IsBlank(p[at])) ++at;
    uint64_t first = 0;
    uint64_t last = UINT64_MAX;
    const bool bHasFirst = ReadPosition(p, n, &at, &first);
    if (at == n || p[at] != '-') return RangeResult::kNone;
    ++at;
    const bool bHasLast = ReadPosition(p, n, &at, &last);
    while (at < n && IsBlank(p[at])) ++at;
    // A comma starts another range; several are answered with the whole file.
    if (at != n || (!bHasFirst && !bHasLast)) return RangeResult::kNone;
    if (bHasFirst && bHasLast && last < first) return RangeResult::kNone;
    if (!bHasFirst) {
        // The last N bytes: a suffix of nothing, or of an empty file, has no bytes to send.
        if (last == 0 || size == 0) return RangeResult::kUnsatisfiable;
        *pFirst = last >= size ? 0 : size - last;
        *pEnd = size;
        return RangeResult::kSatisfiable;
    }
    if (first >= size) return RangeResult::kUnsatisfiable;
    *pFirst = first;
    *pEnd = last >= size - 1 ? size : last + 1;
    return RangeResult::kSatisfiable;
}

CFileAnswer ChooseFileAnswer(const CFileRequestHeaders& headers, const CFileVersion& version,
                             const CValidators& validators) {
    const CFileAnswer whole{FileAnswerKind::kWhole, 0, version.m_nSize};
    if (ClientHasVersion(headers, validators)) return {FileAnswerKind::kNotModified, 0, 0};
    // A Range given twice is as good as several ranges.
    if (headers.m_range.m_nLines != 1) return whole;
    if (headers.m_ifRange.m_nLines > 0 && !IfRangeNamesVersion(headers.m_ifRange, validators)) {
        return whole;
    }
    uint64_t first = 0;
    uint64_t end = 0;
    switch (
        ParseByteRange(headers.m_range.m_p, headers.m_range.m_n, version.m_nSize, &first, &end)) {
        case RangeResult::kSatisfiable:
            return {FileAnswerKind::kPart, first, end};
        case RangeResult::kUnsatisfiable:
            return {FileAnswerKind::kUnsatisfiable, 0, 0};
        case RangeResult::kNone:
            break;
    }
    return whole;
}
