// From request target bytes to a path below the document root, refusing every form that
// could name something outside it.
#include "server/target.h"

#include <cstring>

#include "foundation/file.h"
#include "server/ascii.h"

namespace {

// Whether text holds the UTF-8 form of a C1 control character (U+0080 to U+009F) at i.
bool IsC1ControlInUtf8(const std::string& text, size_t i) {
    if (i + 1 >= text.size() || static_cast<unsigned char>(text[i]) != 0xC2) return false;
    const unsigned char next = static_cast<unsigned char>(text[i + 1]);
    return next >= 0x80 && next <= 0x9F;
}

// Value of one hex digit, or -1.
int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

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

// Length of the path part of a target: it ends at the query or the fragment.
size_t PathPartLength(const char* pTarget, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (pTarget[i] == '?' || pTarget[i] == '#') return i;
    }
    return n;
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
        // A file still arriving is never served, whatever its name is guessed to be.
        if (length >= sizeof kUploadTemporaryPrefix - 1 &&
            std::memcmp(pSegment, kUploadTemporaryPrefix, sizeof kUploadTemporaryPrefix - 1) == 0) {
            return false;
        }
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

CMappedTarget MapTarget(const char* pTarget, size_t n) {
    CMappedTarget mapped;
    size_t pathLength = PathPartLength(pTarget, n);
    if (n > kMaxTargetLength) {
        mapped.m_display.assign(pTarget,
                                pathLength < kMaxTargetLength ? pathLength : kMaxTargetLength);
        return mapped;
    }
    std::string& path = mapped.m_path;
    // Room for the index name too, so that the path is built in one buffer.
    path.reserve(pathLength + sizeof kDefaultDocument);
    if (!AppendDecoded(pTarget, pathLength, &path)) {
        path.clear();
        mapped.m_display.assign(pTarget, pathLength);
        return mapped;
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
        return mapped;
    }
    mapped.m_bAllowed = true;
    mapped.m_pszContentType = ContentTypeFor(path.data(), path.size());
    return mapped;
}

namespace {

// The bytes with those that have no place in a header line or a URI escaped, so that a
// target can never add lines of its own to a head.
std::string EscapedForHead(const std::string& raw) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string location;
    for (const char c : raw) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            location += '%';
            location += kHex[byte >> 4];
            location += kHex[byte & 0x0F];
        } else {
            location += c;
        }
    }
    return location;
}

}  // namespace

std::string FolderLocation(const char* pTarget, size_t n) {
    const size_t pathLength = PathPartLength(pTarget, n);
    std::string raw(pTarget, pathLength);
    // An origin-form target already starts with '/'; the location must, or a client would
    // take it as relative to the folder's parent.
    if (raw.empty() || raw[0] != '/') raw.insert(0, 1, '/');
    raw += '/';
    raw.append(pTarget + pathLength, n - pathLength);
    return EscapedForHead(raw);
}

std::string PathLocation(const char* pTarget, size_t n) {
    std::string raw(pTarget, PathPartLength(pTarget, n));
    if (raw.empty() || raw[0] != '/') raw.insert(0, 1, '/');
    return EscapedForHead(raw);
}

std::string EscapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    out += "&#" + std::to_string(byte) + ";";
                } else if (IsC1ControlInUtf8(text, i)) {
                    // The second control range, as UTF-8 spells it (U+0080 to U+009F).
                    out += "&#" + std::to_string(static_cast<unsigned char>(text[i + 1])) + ";";
                    ++i;
                } else {
                    out += c;
                }
        }
    }
    return out;
}
