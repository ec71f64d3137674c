// The archive of a folder as an answer: the tree read once per request, the head from its
// layout, the body a stream of its bytes.
#include "server/zip_answer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "server/file_answer.h"
#include "server/zip_source.h"

namespace {

const char kZipType[] = "application/zip";

// The folder below the root that a folder target's path names: the path without the index
// document it was mapped to.
std::string FolderOf(const CMappedTarget& mapped) {
    const size_t indexLength = sizeof kDefaultDocument - 1;
    return mapped.m_path.substr(0, mapped.m_path.size() - indexLength);
}

// The folder's own name: its last segment, or the root's name for the root.
std::string ArchiveNameOf(const std::string& folder, const CFolder& root) {
    std::string name;
    if (folder.empty()) {
        name = root.GetNameBytes();
    } else {
        const std::string trimmed = folder.substr(0, folder.size() - 1);
        name = trimmed.substr(trimmed.find_last_of('/') + 1);
    }
    return name.empty() ? "folder" : name;
}

// The validators of an archive: its entity tag alone, with a date no If-Modified-Since or
// If-Range can meet, since no one date tells when something left the tree.
CValidators ZipValidatorsOf(const std::string& tag) {
    CValidators validators{};
    const size_t length = std::min(tag.size(), CValidators::kMaxEtagLength - 1);
    std::memcpy(validators.m_szEtag, tag.data(), length);
    validators.m_szEtag[length] = '\0';
    validators.m_nEtagLength = length;
    validators.m_nLastModified = INT64_MAX;
    return validators;
}

void AppendTooManyAnswer(std::string* pOut, CReply reply, bool bHead) {
    reply.m_pszStatus = "403 Forbidden";
    AppendPageAnswer(pOut, reply,
                     "<!DOCTYPE html>\n<html><head><title>403 Forbidden</title></head><body>"
                     "<h1>403 Forbidden</h1><p>This folder holds too many entries to be sent "
                     "as one archive.</p></body></html>\n",
                     bHead);
}

}  // namespace

bool AsksForZip(const char* pTarget, size_t n) {
    const char* pEnd = std::find(pTarget, pTarget + n, '#');
    const char* p = std::find(pTarget, pEnd, '?');
    while (p != pEnd) {
        ++p;
        const char* pPartEnd = std::find(p, pEnd, '&');
        // "zip=" is what the listing page's form sends.
        const size_t length = static_cast<size_t>(pPartEnd - p);
        if ((length == 3 || length == 4) && std::memcmp(p, "zip=", length) == 0) return true;
        p = pPartEnd;
    }
    return false;
}

std::string ZipDisposition(const std::string& name) {
    static const char kHex[] = "0123456789ABCDEF";
    const std::string file = name + ".zip";
    std::string value = "attachment; filename=\"";
    for (const char c : file) {
        const unsigned char byte = static_cast<unsigned char>(c);
        value.push_back(byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\' ? '_' : c);
    }
    value += "\"; filename*=UTF-8''";
    for (const char c : file) {
        const unsigned char byte = static_cast<unsigned char>(c);
        const bool bAttrChar = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || std::strchr("!#$&+-.^_`|~", c) != nullptr;
        if (bAttrChar && c != '\0') {
            value.push_back(c);
        } else {
            value.push_back('%');
            value.push_back(kHex[byte >> 4]);
            value.push_back(kHex[byte & 0xF]);
        }
    }
    return value;
}

bool PrepareZipAnswer(const CRequest& request, const CMappedTarget& mapped, CReply reply,
                      const CFolder& root, CAnswer* pAnswer) {
    const bool bHead = request.m_method == RequestMethod::kHead;
    const std::string folder = FolderOf(mapped);
    std::vector<CZipEntry> entries;
    switch (ListZipTree(root, folder, &entries)) {
        case ZipTreeResult::kNotAFolder:
            return false;
        case ZipTreeResult::kTooMany:
            AppendTooManyAnswer(&pAnswer->m_out, reply, bHead);
            return true;
        case ZipTreeResult::kListed:
            break;
    }
    auto pSource = std::make_shared<CZipSource>(root.GetPath(), folder, std::move(entries),
                                                &CZipCrcMemory::Shared());
    if (!pSource->IsReady()) return false;
    const std::string tag = ZipEntityTag(pSource->GetEntries(), pSource->GetLength());
    const CFileVersion version{pSource->GetLength(), 0};
    const CValidators validators = ZipValidatorsOf(tag);
    const CFileAnswer answer = ChooseFileAnswer(request.m_file, version, validators);
    reply = FileReply(reply, answer, version, validators, kZipType, bHead);
    // The archive has no one modification date: its entity tag is its only validator.
    reply.m_pValidators = nullptr;
    if (answer.m_kind != FileAnswerKind::kUnsatisfiable) {
        reply.m_pEtag = validators.m_szEtag;
        reply.m_nEtag = validators.m_nEtagLength;
    }
    const std::string disposition = ZipDisposition(ArchiveNameOf(folder, root));
    if (answer.m_kind == FileAnswerKind::kWhole || answer.m_kind == FileAnswerKind::kPart) {
        reply.m_pDisposition = disposition.data();
        reply.m_nDisposition = disposition.size();
    }
    AppendReplyHead(&pAnswer->m_out, reply);
    if (!bHead && answer.m_nEnd > answer.m_nFirst &&
        (answer.m_kind == FileAnswerKind::kWhole || answer.m_kind == FileAnswerKind::kPart)) {
        pAnswer->m_body.m_kind = BodyKind::kStream;
        pAnswer->m_body.m_pSource = std::move(pSource);
        pAnswer->m_body.m_nOffset = answer.m_nFirst;
        pAnswer->m_body.m_nEnd = answer.m_nEnd;
    }
    return true;
}
