// The upload sinks: a hidden file in the target folder written as the body arrives, renamed
// onto a free final name once whole, and removed by its owner's destructor otherwise.
#include "server/upload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <vector>

#include "foundation/file.h"
#include "server/ascii.h"
#include "server/multipart.h"
#include "server/target.h"
#include "server/upload_name.h"

namespace {

// Body bytes gathered before they are written: few writes for a large file, a fixed memory
// per upload.
constexpr size_t kWriteBufferSize = 256 * 1024;
// The most numbered names a form's file is tried under beside one that exists.
constexpr int kMostNumberedNames = 1000;
// The most temporary names tried before a folder is taken to refuse new files.
constexpr int kMostTemporaryNames = 8;

// A name no other upload, in this process or another, picks: a random start drawn once,
// moved on by a counter and mixed, so that nobody can guess the next one either.
std::string TemporaryName() {
    static const uint64_t s_seed = [] {
        std::random_device random;
        const uint64_t clock = static_cast<uint64_t>(
            std::chrono::high_resolution_clock::now().time_since_epoch().count());
        return (static_cast<uint64_t>(random()) << 32) ^ random() ^ clock;
    }();
    static std::atomic<uint64_t> s_nCounter{0};
    uint64_t x = s_seed + s_nCounter.fetch_add(1) * 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    static const char kHex[] = "0123456789abcdef";
    std::string name = kUploadTemporaryPrefix;
    for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(x >> shift) & 0xF];
    return name + ".part";
}

// What stopped an upload before its answer could be a success.
enum class UploadProblem { kNone, kMalformed, kBadName, kTooLarge, kDiskFull, kFailed };

// The status line of a problem's refusal.
const char* StatusOf(UploadProblem problem) {
    switch (problem) {
        case UploadProblem::kBadName:
            return "400 Bad Request";
        case UploadProblem::kTooLarge:
            return "413 Content Too Large";
        case UploadProblem::kDiskFull:
            return "507 Insufficient Storage";
        case UploadProblem::kFailed:
            return "500 Internal Server Error";
        case UploadProblem::kMalformed:
        case UploadProblem::kNone:
            break;
    }
    return "400 Bad Request";
}

// One file on its way in: a hidden temporary file in its folder, removed when this is
// destroyed unless it was given its final name.
class CIncomingFile {
public:
    explicit CIncomingFile(const CFolder& folder) : m_folder(folder) {}
    CIncomingFile(const CIncomingFile&) = delete;
    CIncomingFile& operator=(const CIncomingFile&) = delete;
    ~CIncomingFile() { Discard(); }

    // Makes the temporary file; kNone, kDiskFull or kFailed.
    UploadProblem Begin() {
        Discard();
        for (int attempt = 0; attempt < kMostTemporaryNames; ++attempt) {
            m_temporaryName = TemporaryName();
            if (m_file.CreateIn(m_folder, m_temporaryName.c_str())) {
                m_buffer.reserve(kWriteBufferSize);
                return UploadProblem::kNone;
            }
            if (CFile::LastWriteFoundDiskFull()) break;
        }
        const UploadProblem problem =
            CFile::LastWriteFoundDiskFull() ? UploadProblem::kDiskFull : UploadProblem::kFailed;
        m_temporaryName.clear();
        return problem;
    }

    // Writes the next n bytes; kNone, kDiskFull or kFailed.
    UploadProblem Write(const char* p, size_t n) {
        // A piece as large as the buffer goes out as it is, without a copy.
        if (m_buffer.empty() && n >= kWriteBufferSize) return WriteOut(p, n);
        const size_t room = kWriteBufferSize - m_buffer.size();
        const size_t taken = std::min(room, n);
        m_buffer.insert(m_buffer.end(), p, p + taken);
        if (m_buffer.size() < kWriteBufferSize) return UploadProblem::kNone;
        const UploadProblem problem = Flush();
        if (problem != UploadProblem::kNone || taken == n) return problem;
        return Write(p + taken, n - taken);
    }

    // Writes what is held, closes the file and gives it the name: kRenamed, or kExists when
    // the name is taken (the file stays, under its temporary name, for another try), or
    // kFailed. *pProblem tells what failed.
    RenameResult KeepAs(const std::string& name, UploadProblem* pProblem) {
        *pProblem = Flush();
        if (*pProblem != UploadProblem::kNone) return RenameResult::kFailed;
        m_file.Close();
        const RenameResult result =
            CFile::RenameIn(m_folder, m_temporaryName.c_str(), name.c_str());
        if (result == RenameResult::kRenamed) m_temporaryName.clear();
        if (result == RenameResult::kFailed) *pProblem = UploadProblem::kFailed;
        return result;
    }

    // Closes and removes the temporary file, if there is one.
    void Discard() {
        m_file.Close();
        m_buffer.clear();
        if (!m_temporaryName.empty()) CFile::RemoveIn(m_folder, m_temporaryName.c_str());
        m_temporaryName.clear();
    }

private:
    UploadProblem Flush() {
        const UploadProblem problem = WriteOut(m_buffer.data(), m_buffer.size());
        m_buffer.clear();
        return problem;
    }

    UploadProblem WriteOut(const char* p, size_t n) {
        while (n > 0) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(n, 1u << 30));
            const DWORD written = m_file.Write(p, piece);
            if (written == 0) {
                return CFile::LastWriteFoundDiskFull() ? UploadProblem::kDiskFull
                                                       : UploadProblem::kFailed;
            }
            p += written;
            n -= written;
        }
        return UploadProblem::kNone;
    }

    const CFolder& m_folder;
    CFile m_file;
    std::string m_temporaryName;  // empty when there is no temporary file
    std::vector<char> m_buffer;
};

// What every upload sink shares: its folder, the count of body bytes against the limit,
// and the answers it gives.
class CUploadSink : public CRequestSink {
protected:
    CUploadSink(const CServerOptions& options, const CReply& reply)
        : m_nMaxBytes(options.m_nMaxUpload),
          m_date(reply.m_pszDate != nullptr ? reply.m_pszDate : ""),
          m_connection(reply.m_connection) {}

    // Counts n more body bytes; false (and the problem noted) past the limit.
    bool Count(size_t n) {
        m_nBytes += n;
        if (m_nBytes <= m_nMaxBytes) return true;
        m_problem = UploadProblem::kTooLarge;
        return false;
    }

    CReply BaseReply() const {
        CReply reply;
        reply.m_pszDate = m_date.empty() ? nullptr : m_date.c_str();
        reply.m_connection = m_connection;
        return reply;
    }

    // The refusal for the problem noted, or for a body that did not arrive whole.
    void Refuse(CAnswer* pAnswer) const {
        CReply reply = BaseReply();
        // A body refused part way is not read to its end: the connection ends after it.
        pAnswer->m_bClose = true;
        reply.m_connection = ConnectionOption::kClose;
        AppendRefusal(&pAnswer->m_out, StatusOf(m_problem), reply);
    }

    // The success: pszStatus with a location and a short page that links there.
    void Succeed(const char* pszStatus, const std::string& location, CAnswer* pAnswer) const {
        CReply reply = BaseReply();
        reply.m_pszStatus = pszStatus;
        reply.m_pLocation = location.data();
        reply.m_nLocation = location.size();
        const std::string page = std::string("<html><body><h1>") + pszStatus + "</h1><a href=\"" +
                                 EscapeHtml(location) + "\">" + EscapeHtml(location) +
                                 "</a></body></html>\r\n";
        AppendPageAnswer(&pAnswer->m_out, reply, page, false);
    }

    CFolder m_folder;
    UploadProblem m_problem = UploadProblem::kNone;

private:
    uint64_t m_nMaxBytes;
    uint64_t m_nBytes = 0;
    std::string m_date;
    ConnectionOption m_connection;
};

// A PUT's body, written as the file of the target's name.
class CPutSink : public CUploadSink {
public:
    CPutSink(const CServerOptions& options, const CReply& reply, std::string name,
             std::string location)
        : CUploadSink(options, reply),
          m_name(std::move(name)),
          m_location(std::move(location)),
          m_file(m_folder) {}

    // Opens the folder and makes the temporary file; kNone when the body may come.
    UploadProblem Begin(const CFolder& root, const std::string& folder) {
        if (!m_folder.OpenBelow(root, folder.c_str())) return UploadProblem::kFailed;
        return m_file.Begin();
    }

    bool Take(const char* p, size_t n) override {
        if (!Count(n)) return false;
        m_problem = m_file.Write(p, n);
        return m_problem == UploadProblem::kNone;
    }

    void Finish(bool bWhole, CAnswer* pAnswer) override {
        if (!bWhole) {
            m_file.Discard();
            Refuse(pAnswer);
            return;
        }
        const RenameResult result = m_file.KeepAs(m_name, &m_problem);
        if (result == RenameResult::kRenamed) {
            Succeed("201 Created", m_location, pAnswer);
            return;
        }
        m_file.Discard();
        if (result == RenameResult::kExists) {
            AppendRefusal(&pAnswer->m_out, "409 Conflict", BaseReply());
        } else {
            Refuse(pAnswer);
        }
    }

private:
    std::string m_name;
    std::string m_location;
    CIncomingFile m_file;
};

// A form's body: each of its files written under its own name, or a free name beside it.
class CFormSink : public CUploadSink, private CFormFileHandler {
public:
    CFormSink(const CServerOptions& options, const CReply& reply, const std::string& boundary,
              std::string location)
        : CUploadSink(options, reply),
          m_reader(boundary, this),
          m_location(std::move(location)),
          m_file(m_folder) {}

    bool Open(const CFolder& root, const std::string& folder) {
        return m_folder.OpenBelow(root, folder.c_str());
    }

    bool Take(const char* p, size_t n) override {
        if (!Count(n)) return false;
        if (m_reader.Feed(p, n)) return true;
        if (m_problem == UploadProblem::kNone) m_problem = UploadProblem::kMalformed;
        return false;
    }

    void Finish(bool bWhole, CAnswer* pAnswer) override {
        // The file whose part did not close is not whole; the files before it are.
        m_file.Discard();
        if (bWhole && m_reader.IsComplete()) {
            Succeed("303 See Other", m_location, pAnswer);
        } else {
            Refuse(pAnswer);
        }
    }

private:
    bool BeginFile(const std::string& sentName) override {
        m_name = LastNameSegment(sentName);
        if (!IsAcceptableUploadName(m_name)) {
            m_problem = UploadProblem::kBadName;
            return false;
        }
        m_problem = m_file.Begin();
        return m_problem == UploadProblem::kNone;
    }

    bool TakeFileBytes(const char* p, size_t n) override {
        m_problem = m_file.Write(p, n);
        return m_problem == UploadProblem::kNone;
    }

    bool EndFile() override {
        for (int number = 0; number < kMostNumberedNames; ++number) {
            const std::string name = NumberedName(m_name, number);
            if (name.empty()) break;
            const RenameResult result = m_file.KeepAs(name, &m_problem);
            if (result == RenameResult::kRenamed) return true;
            if (result == RenameResult::kFailed) return false;
        }
        m_problem = UploadProblem::kFailed;
        return false;
    }

    CMultipartReader m_reader;
    std::string m_location;
    CIncomingFile m_file;
    std::string m_name;  // of the file being read
};

// The refusal of the request before its body.
void RefuseAtOnce(const char* pszStatus, const CReply& reply, CAnswer* pAnswer) {
    AppendRefusal(&pAnswer->m_out, pszStatus, reply);
}

// The host and port of a Host value or an Origin's authority, the port given only where it
// is not the scheme's default.
std::string AuthorityOf(std::string_view authority, bool bHttps) {
    std::string text;
    for (const char c : authority) {
        text += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const char* pszDefault = bHttps ? ":443" : ":80";
    const size_t n = std::strlen(pszDefault);
    if (text.size() > n && text.compare(text.size() - n, n, pszDefault) == 0) {
        text.resize(text.size() - n);
    }
    return text;
}

}  // namespace

bool IsCrossSite(const CRequest& request) {
    if (request.m_origin.m_nLines == 0) return false;
    const std::string_view origin(request.m_origin.m_p, request.m_origin.m_n);
    const size_t scheme = origin.find("://");
    if (request.m_origin.m_nLines > 1 || scheme == std::string_view::npos) return true;
    const bool bHttps = EqualsIgnoringCase(origin.data(), scheme, "https");
    const std::string_view host(request.m_host.m_p, request.m_host.m_n);
    return host.empty() ||
           AuthorityOf(origin.substr(scheme + 3), bHttps) != AuthorityOf(host, bHttps);
}

bool ReadByteSize(const char* pszText, uint64_t* pBytes) {
    uint64_t value = 0;
    const char* p = pszText;
    if (*p < '0' || *p > '9') return false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (value > (~uint64_t{0} - 9) / 10) return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    int shift = 0;
    if (*p == 'K' || *p == 'k') shift = 10;
    if (*p == 'M' || *p == 'm') shift = 20;
    if (*p == 'G' || *p == 'g') shift = 30;
    if (shift != 0) ++p;
    if (*p != '\0' || value > (~uint64_t{0} >> shift)) return false;
    *pBytes = value << shift;
    return true;
}

void DecideUpload(const CRequest& request, const CFolder* pRoot, const CServerOptions& options,
                  const CReply& reply, CAnswer* pAnswer) {
    if (IsCrossSite(request)) return RefuseAtOnce("403 Forbidden", reply, pAnswer);
    const CMappedTarget mapped = MapTarget(request.m_pTarget, request.m_nTarget);
    if (!mapped.m_bAllowed || pRoot == nullptr) {
        return AppendNotFoundAnswer(&pAnswer->m_out, mapped.m_display, reply, false);
    }
    if (request.m_nBodyLength == kUnknownBodyLength) {
        return RefuseAtOnce("400 Bad Request", reply, pAnswer);
    }
    if (request.m_nBodyLength > 0 &&
        static_cast<uint64_t>(request.m_nBodyLength) > options.m_nMaxUpload) {
        pAnswer->m_bClose = true;
        CReply closing = reply;
        closing.m_connection = ConnectionOption::kClose;
        return RefuseAtOnce("413 Content Too Large", closing, pAnswer);
    }
    // The folder is what the path names up to its last '/'; the file, what follows it.
    std::string folder = mapped.m_path;
    if (mapped.m_bFolderIndex) folder.resize(folder.size() - std::strlen(kDefaultDocument));
    const size_t slash = folder.rfind('/');
    std::string name;
    if (request.m_method == RequestMethod::kPut) {
        if (mapped.m_bFolderIndex) return RefuseAtOnce("400 Bad Request", reply, pAnswer);
        name = slash == std::string::npos ? folder : folder.substr(slash + 1);
        folder.resize(slash == std::string::npos ? 0 : slash + 1);
        if (!IsAcceptableUploadName(name)) return RefuseAtOnce("400 Bad Request", reply, pAnswer);
    }
    CFolder target;
    if (!target.OpenBelow(*pRoot, folder.c_str())) {
        return AppendNotFoundAnswer(&pAnswer->m_out, mapped.m_display, reply, false);
    }
    const std::string location = PathLocation(request.m_pTarget, request.m_nTarget);
    if (request.m_method == RequestMethod::kPut) {
        CFile existing;
        if (existing.OpenBelow(target, name.c_str()) ||
            CFile::IsFolderBelow(target, name.c_str())) {
            return RefuseAtOnce("409 Conflict", reply, pAnswer);
        }
        auto pSink = std::make_unique<CPutSink>(options, reply, name, location);
        const UploadProblem problem = pSink->Begin(*pRoot, folder);
        if (problem != UploadProblem::kNone) return RefuseAtOnce(StatusOf(problem), reply, pAnswer);
        pAnswer->m_pSink = std::move(pSink);
        return;
    }
    std::string boundary;
    if (!FormBoundaryOf(request.m_contentType.m_p, request.m_contentType.m_n, &boundary)) {
        return RefuseAtOnce("415 Unsupported Media Type", reply, pAnswer);
    }
    auto pSink = std::make_unique<CFormSink>(options, reply, boundary,
                                             mapped.m_bFolderIndex ? location : location + "/");
    if (!pSink->Open(*pRoot, folder))
        return RefuseAtOnce("500 Internal Server Error", reply, pAnswer);
    pAnswer->m_pSink = std::move(pSink);
}
