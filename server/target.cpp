// From request target bytes to a path below the document root, refusing every form that
// could name something outside it.
#include "server/target.h"

#include <algorithm>

#include "foundation/file.h"
#include "server/ascii.h"

namespace {

// Appends the bytes that %XX escapes in pText stand for to *pOut; false when a '%' is not
// followed by two hex digits.
bool AppendDecoded(const char* pText, size_t n, std::string* pOut) {
    for (size_t i = 0; i < n; ++i) {
        if (pText[i] != '%') {
            pOut->push_back(pText[i]);
            continue;
        }
        int high = i + 1 < n ? HexValue(pText[i + 1]) : -1;
        int low = i + 2 < n ? HexValue(pText[i + 2]) : -1;
        if (high < 0 || low < 0) return false;
        pOut->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

// Whether every '/'-separated segment may be opened: no parent references, nothing the
// host reserves.
bool AreSegmentsAllowed(const std::string& path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const char* pSegment = path.data() + start;
        size_t length = end - start;
        if (length == 2 && pSegment[0] == '.' && pSegment[1] == '.') return false;
        if (length > 0 && IsReservedPathSegment(pSegment, length)) return false;
        start = end + 1;
    }
    return true;
}

// Whether a relative path with '/' separators stays below the root and names an ordinary
// file.
bool IsPathAllowed(const std::string& path) {
    if (path.empty() || path[0] == '/') return false;  // absolute or UNC
    // ':' covers drive letters and alternate data streams; NUL would cut the name short.
    if (path.find(':') != std::string::npos) return false;
    if (path.find('\0') != std::string::npos) return false;
    return AreSegmentsAllowed(path);
}

// Makes the decoded bytes in *pPath a relative path: one leading '/' goes and every '\'
// becomes '/'. *pDisplay gets the same path with '\' for every separator, the form in which
// the 404 page and a listing's title show it.
void MakeRelative(std::string* pPath, std::string* pDisplay) {
    if (!pPath->empty() && (*pPath)[0] == '/') pPath->erase(0, 1);
    pDisplay->assign(*pPath);
    for (size_t i = 0; i < pPath->size(); ++i) {
        if ((*pPath)[i] == '\\') {
            (*pPath)[i] = '/';
        } else if ((*pPath)[i] == '/') {
            (*pDisplay)[i] = '\\';
        }
    }
}

}  // namespace

CTargetParts SplitTarget(const char* pTarget, size_t n) {
    const char* pEnd = pTarget + n;
    const char* pPathEnd = std::find_if(pTarget, pEnd, [](char c) { return c == '?' || c == '#'; });
    const char* pQuery = pPathEnd != pEnd && *pPathEnd == '?' ? pPathEnd + 1 : pEnd;
    const char* pQueryEnd = std::find(pQuery, pEnd, '#');
    return {pTarget, static_cast<size_t>(pPathEnd - pTarget), pQuery,
            static_cast<size_t>(pQueryEnd - pQuery)};
}

CMappedTarget MapTarget(const char* pTarget, size_t n) {
    CMappedTarget mapped;
    MapTargetInto(pTarget, n, &mapped);
    return mapped;
}

void MapTargetInto(const char* pTarget, size_t n, CMappedTarget* pMapped) {
    CMappedTarget& mapped = *pMapped;
    mapped.m_bAllowed = false;
    mapped.m_path.clear();
    mapped.m_display.clear();
    mapped.m_pszContentType = nullptr;
    mapped.m_bFolderIndex = false;
    size_t pathLength = SplitTarget(pTarget, n).m_nPath;
    if (n > kMaxTargetLength) {
        mapped.m_display.assign(pTarget,
                                pathLength < kMaxTargetLength ? pathLength : kMaxTargetLength);
        return;
    }
    std::string& path = mapped.m_path;
    // Room for the index name too, so that the path is built in one buffer.
    path.reserve(pathLength + sizeof kDefaultDocument);
    if (!AppendDecoded(pTarget, pathLength, &path)) {
        path.clear();
        mapped.m_display.assign(pTarget, pathLength);
        return;
    }
    mapped.m_display.reserve(path.size() + sizeof kDefaultDocument);
    MakeRelative(&path, &mapped.m_display);
    if (path.empty() || path.back() == '/') {
        path += kDefaultDocument;
        mapped.m_display += kDefaultDocument;
        mapped.m_bFolderIndex = true;
    }
    if (!IsPathAllowed(path)) {
        path.clear();
        return;
    }
    mapped.m_bAllowed = true;
    mapped.m_pszContentType = ContentTypeFor(path.data(), path.size());
}

std::string FolderLocation(const char* pTarget, size_t n) {
    const size_t pathLength = SplitTarget(pTarget, n).m_nPath;
    std::string raw(pTarget, pathLength);
    // An origin-form target already starts with '/'; the location must, or a client would
    // take it as relative to the folder's parent.
    if (raw.empty() || raw[0] != '/') raw.insert(0, 1, '/');
    raw += '/';
    raw.append(pTarget + pathLength, n - pathLength);
    // Bytes that have no place in a header line or a URI are escaped, so that a target can
    // never add lines of its own to the head.
    std::string location;
    AppendPercentEncoded(raw.data(), raw.size(), PercentKept::kVisible, &location);
    return location;
}
