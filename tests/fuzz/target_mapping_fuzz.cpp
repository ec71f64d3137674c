// Fuzzes the mapping of request targets onto the document root. Whatever the target, the
// result is refused or a relative path with '/' separators that never climbs out of the
// root. The decision is also checked against a plain model of the rules, and the texts
// derived from the target (content type, the escaped 404 text, the folder redirect's head)
// against what they promise: the type depends on the last extension alone, in any case, and
// is a well-formed media type.
#include <cstring>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "server/ascii.h"
#include "server/response_head.h"
#include "server/target.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

bool IsRequestSeparator(char c) {
    return c == '/' || c == '\\';
}

std::vector<std::string> SplitRequestPath(const std::string& path) {
    std::vector<std::string> segments(1);
    for (char c : path) {
        if (IsRequestSeparator(c))
            segments.emplace_back();
        else
            segments.back().push_back(c);
    }
    return segments;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The model of the mapping: the relative request path (with '/' separators) a target
// names, or false when it must be refused.
bool ModelRelativePath(const std::string& target, std::string* pRelative) {
    if (target.size() > kMaxTargetLength) return false;
    const std::string pathPart = target.substr(0, target.find_first_of("?#"));
    std::string decoded;
    for (size_t i = 0; i < pathPart.size(); ++i) {
        if (pathPart[i] != '%') {
            decoded.push_back(pathPart[i]);
            continue;
        }
        if (i + 2 >= pathPart.size()) return false;
        const int high = HexDigit(pathPart[i + 1]);
        const int low = HexDigit(pathPart[i + 2]);
        if (high < 0 || low < 0) return false;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!decoded.empty() && decoded[0] == '/') decoded.erase(0, 1);
    if (decoded.empty() || IsRequestSeparator(decoded.back())) decoded += "index.html";
    if (IsRequestSeparator(decoded[0])) return false;
    if (decoded.find(':') != std::string::npos) return false;
    if (decoded.find('\0') != std::string::npos) return false;
    for (const std::string& segment : SplitRequestPath(decoded)) {
        if (segment == "..") return false;
        if (!segment.empty() && IsReservedPathSegment(segment.data(), segment.size())) {
            return false;
        }
        // A file still being uploaded is never served.
        if (segment.compare(0, std::strlen(kUploadTemporaryPrefix), kUploadTemporaryPrefix) == 0) {
            return false;
        }
    }
    for (char& c : decoded) {
        if (c == '\\') c = '/';
    }
    *pRelative = decoded;
    return true;
}

// A relative path never leaves the root: it does not start at a separator (an absolute or
// network path once joined), names no drive or stream, has only '/' for separators and no
// segment that climbs.
void CheckBelowRoot(const std::string& path) {
    FUZZ_CHECK(!path.empty());
    FUZZ_CHECK(path[0] != '/');
    FUZZ_CHECK(path.find_first_of(std::string(":\\\0", 3)) == std::string::npos);
    size_t start = 0;
    for (size_t end = 0; end <= path.size(); ++end) {
        if (end < path.size() && path[end] != '/') continue;
        const std::string segment = path.substr(start, end - start);
        FUZZ_CHECK(segment != "..");
#ifdef _WIN32
        // The file system drops trailing dots and blanks, so ". ." or "..." could be "..".
        FUZZ_CHECK(segment.empty() || (segment.back() != '.' && segment.back() != ' '));
#endif
        start = end + 1;
    }
}

// The 404 page shows the path as it always has, with '\' for each separator.
void CheckDisplay(const std::string& path, const std::string& display) {
    FUZZ_CHECK(display.size() == path.size());
    for (size_t i = 0; i < path.size(); ++i) {
        FUZZ_CHECK(path[i] == '/' ? display[i] == '\\' : display[i] == path[i]);
    }
}

bool IsLowerTokenCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-';
}

// A type is "major/subtype" in lower case, of a major type we use; text carries its charset,
// and nothing else carries a parameter but the XML types that always did.
void CheckTypeForm(const char* pszType) {
    static const char* const kMajors[] = {"text/", "image/", "audio/",      "video/",
                                          "font/", "model/", "application/"};
    const std::string type(pszType);
    const std::string charset = "; charset=utf-8";
    const bool bCharset = type.size() > charset.size() &&
                          type.compare(type.size() - charset.size(), charset.size(), charset) == 0;
    const std::string bare = bCharset ? type.substr(0, type.size() - charset.size()) : type;
    size_t major = 0;
    for (const char* pszMajor : kMajors) {
        if (bare.compare(0, std::strlen(pszMajor), pszMajor) == 0) major = std::strlen(pszMajor);
    }
    FUZZ_CHECK(major != 0 && bare.size() > major);
    for (size_t i = major; i < bare.size(); ++i) FUZZ_CHECK(IsLowerTokenCharacter(bare[i]));
    const bool bText = bare.compare(0, 5, "text/") == 0;
    FUZZ_CHECK(bCharset == (bText || bare == "application/xml" || bare == "image/svg+xml"));
}

// The content type belongs to the extension of the last segment, whatever its case, or there
// is none.
void CheckContentType(const std::string& relative, const char* pszType) {
    const size_t nameStart = relative.find_last_of("/\\") + 1;  // npos + 1 == 0
    const size_t dot = relative.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart) {
        FUZZ_CHECK(pszType == nullptr);
        return;
    }
    const std::string extension = relative.substr(dot + 1);
    const std::string alone = "x." + extension;
    FUZZ_CHECK(ContentTypeFor(alone.data(), alone.size()) == pszType);
    std::string lower = alone;
    std::string upper = alone;
    for (size_t i = 0; i < alone.size(); ++i) {
        const char c = alone[i];
        if (c >= 'A' && c <= 'Z') lower[i] = static_cast<char>(c - 'A' + 'a');
        if (c >= 'a' && c <= 'z') upper[i] = static_cast<char>(c - 'a' + 'A');
    }
    FUZZ_CHECK(ContentTypeFor(lower.data(), lower.size()) == pszType);
    FUZZ_CHECK(ContentTypeFor(upper.data(), upper.size()) == pszType);
    if (pszType == nullptr) return;
    FUZZ_CHECK(extension.size() <= kMaxTypedExtensionLength);
    CheckTypeForm(pszType);
}

// Undoes the escaping, failing on anything that is not a reference EscapeHtml makes.
bool Unescape(const std::string& html, std::string* pText) {
    static const struct {
        const char* m_pszReference;
        char m_char;
    } kNamed[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    pText->clear();
    for (size_t i = 0; i < html.size();) {
        if (html[i] != '&') {
            pText->push_back(html[i++]);
            continue;
        }
        bool bKnown = false;
        for (const auto& named : kNamed) {
            const size_t length = std::strlen(named.m_pszReference);
            if (html.compare(i, length, named.m_pszReference) == 0) {
                pText->push_back(named.m_char);
                i += length;
                bKnown = true;
                break;
            }
        }
        if (bKnown) continue;
        if (html.compare(i, 2, "&#") != 0) return false;
        size_t end = i + 2;
        int value = 0;
        while (end < html.size() && html[end] >= '0' && html[end] <= '9' && end - i < 6) {
            value = value * 10 + (html[end] - '0');
            ++end;
        }
        if (end == i + 2 || end >= html.size() || html[end] != ';') return false;
        if (value >= 0x80 && value <= 0x9F) {
            // A C1 control, which the text held in its UTF-8 form.
            pText->push_back(static_cast<char>(0xC2));
        } else if (!(value < 0x20 || value == 0x7F)) {
            return false;
        }
        pText->push_back(static_cast<char>(value));
        i = end + 1;
    }
    return true;
}

// The escaped text shows no markup characters and no control characters, and stands for
// exactly the original bytes.
void CheckEscaped(const std::string& text) {
    const std::string html = EscapeHtml(text);
    for (char c : html) {
        const unsigned char byte = static_cast<unsigned char>(c);
        FUZZ_CHECK(c != '<' && c != '>' && c != '"' && c != '\'');
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
    }
    for (size_t i = 0; i + 1 < html.size(); ++i) {
        const unsigned char next = static_cast<unsigned char>(html[i + 1]);
        FUZZ_CHECK(!(static_cast<unsigned char>(html[i]) == 0xC2 && next >= 0x80 && next <= 0x9F));
    }
    std::string back;
    FUZZ_CHECK(Unescape(html, &back));
    FUZZ_CHECK(back == text);
}

void CheckMapping(const std::string& target) {
    const CMappedTarget mapped = MapTarget(target.data(), target.size());
    // Whatever the target, a redirect to it has one location line, and the fields after it
    // are the server's own.
    std::string moved;
    AppendMovedAnswer(&moved, FolderLocation(target.data(), target.size()), CReply(), true);
    const std::string movedStart = "HTTP/1.1 301 Moved Permanently\r\nlocation: /";
    FUZZ_CHECK(moved.compare(0, movedStart.size(), movedStart) == 0);
    const size_t locationEnd = moved.find("\r\n", movedStart.size());
    FUZZ_CHECK(locationEnd != std::string::npos);
    FUZZ_CHECK(moved.compare(locationEnd, 18, "\r\ncontent-length: ") == 0);
    FUZZ_CHECK(moved.compare(moved.size() - 4, 4, "\r\n\r\n") == 0);
    for (size_t i = movedStart.size(); i < locationEnd; ++i) {
        const unsigned char byte = static_cast<unsigned char>(moved[i]);
        FUZZ_CHECK(byte > 0x20 && byte < 0x7F);
    }
    std::string relative;
    const bool bModelAllows = ModelRelativePath(target, &relative);
    FUZZ_CHECK(mapped.m_bAllowed == bModelAllows);
    FUZZ_CHECK(mapped.m_display.size() <= kMaxTargetLength + std::strlen("index.html"));
    CheckEscaped(mapped.m_display);
    if (!mapped.m_bAllowed) {
        FUZZ_CHECK(mapped.m_path.empty());
        FUZZ_CHECK(mapped.m_pszContentType == nullptr);
        return;
    }
    CheckBelowRoot(mapped.m_path);
    FUZZ_CHECK(mapped.m_path == relative);
    CheckDisplay(mapped.m_path, mapped.m_display);
    CheckContentType(relative, mapped.m_pszContentType);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    CheckMapping(std::string(reinterpret_cast<const char*>(pData), size));
    return 0;
}
