// The connection service on one connection: request heads in, files or 404 pages out,
// each step taken as far as it goes without waiting.
#include "server/connection.h"

#include <algorithm>

#include "foundation/clock.h"
#include "foundation/wide_string.h"
#include "server/file_answer.h"
#include "server/file_cache.h"
#include "server/http_date.h"
#include "server/request_log.h"
#include "server/response_head.h"
#include "server/target.h"

wchar_t g_szWebRoot[1024];
std::atomic<bool> g_bListFolders{true};
std::atomic<int32_t> g_nRequests{0};

namespace {

// The head and the file's first bytes leave together in one send of at most this much.
constexpr size_t kFirstSend = 8192;
// Receives of bytes that are dropped (a body, or what comes after a last answer) that one
// step makes at most.
constexpr int kSlicesPerStep = 16;
// What one step sends of a file before the connection lets its worker's others go first.
constexpr uint64_t kFileBytesPerStep = 4 << 20;

}  // namespace

CConnection::CConnection()
    : m_phase(Phase::kHead),
      m_wait{ConnectionWant::kRead, 0},
      m_deadline(0),
      m_nAnswered(0),
      m_bLast(false),
      m_nBodyLeft(0),
      m_nOutSent(0) {}

CConnection::~CConnection() = default;

void CConnection::Begin(uint64_t now) {
    m_socket.GetPeerAddress(m_log.m_szPeer, sizeof m_log.m_szPeer);
    StartHead(now);
    m_read.m_bMayRead = true;
    m_wait = {ConnectionWant::kRead, m_deadline};
}

CConnectionWait CConnection::Advance(const CServeTime& time) {
    for (;;) {
        bool bGoOn = false;
        switch (m_phase) {
            case Phase::kHead:
                bGoOn = ReadHeadStep(time);
                break;
            case Phase::kAnswer:
                bGoOn = SendStep(time);
                // An answer cut short is logged with what went out of it.
                if (!bGoOn && m_wait.m_want == ConnectionWant::kEnd) LogAnswer(time);
                break;
            case Phase::kBody:
                bGoOn = SkipBodyStep(time);
                break;
            case Phase::kLinger:
                bGoOn = LingerStep(time);
                break;
        }
        if (!bGoOn) {
            m_read.m_nHeadMark = 0;
            return m_wait;
        }
    }
}

bool CConnection::WaitFor(ConnectionWant want, uint64_t deadline) {
    m_wait = {want, deadline};
    return !kStepAgain;
}

bool CConnection::End() {
    return WaitFor(ConnectionWant::kEnd, 0);
}

int CConnection::ReceivePending() {
    const int room = m_pending.Room();
    const int count = m_socket.ReceiveNoWait(m_pending.WritePosition(), room);
    if (count > 0) {
        m_pending.Commit(count);
        // A receive that did not fill its room took all there was: the next request usually
        // comes after the answer, and its arrival is reported, so no receive that would find
        // nothing is made for it.
        m_read.m_bMayRead = count == room || m_read.m_bPeerEnded;
        return count;
    }
    // 0 is the peer's end of stream: nothing more will come, so the connection ends now.
    return count == CSocket::kNothingYet ? 0 : -1;
}

int CConnection::ReceiveAndDrop(long long n) {
    char scratch[4096];
    const int wanted = static_cast<int>(std::min<long long>(n, sizeof scratch));
    const int count = m_socket.ReceiveNoWait(scratch, wanted);
    if (count > 0) return count;
    return count == CSocket::kNothingYet ? 0 : -1;
}

bool CConnection::ReadHeadStep(const CServeTime& time) {
    // A head that starts with a zero byte is refused even when its blank line is there.
    if (m_pending.IsHopeless()) return End();
    const int length = m_pending.CompleteHeadLength();
    if (length > 0) {
        // The request is read where it lies; the answer copies what it needs of it.
        const uint64_t mark = m_read.m_nHeadMark;
        m_read.m_nHeadMark = 0;
        Answer(ParseRequest(m_pending.Data(), static_cast<size_t>(length)), mark, time);
        m_pending.Discard(length);
        return kStepAgain;
    }
    if (time.m_bStopping) {
        // Stopping: only what the client has already sent is still answered, and only
        // within the grace, or a client that keeps sending would keep its worker.
        if (time.m_now >= time.m_graceEnd) return End();
        return ReceivePending() > 0 ? kStepAgain : End();
    }
    if (time.m_now >= m_deadline) return End();
    if (m_read.m_bMayRead) {
        const int count = ReceivePending();
        if (count != 0) return count > 0 ? kStepAgain : End();
        m_read.m_bMayRead = false;
    }
    return WaitFor(ConnectionWant::kRead, m_deadline);
}

void CConnection::Answer(const CRequest& request, uint64_t mark, const CServeTime& time) {
    g_nRequests.fetch_add(1, std::memory_order_relaxed);
    // Behind a body of unknown length no later head can be found, and after a request that
    // cannot be read nothing more on the connection can be trusted to be a request.
    m_bLast = request.m_nBodyLength < 0 ||
              request.m_problem != RequestProblem::kNone || !request.WantsPersistence();
    m_nBodyLeft = request.m_nBodyLength > 0 ? request.m_nBodyLength : 0;
    m_nOutSent = 0;
    m_out.clear();
    m_body = CFileBody();
    CReply reply;
    reply.m_pszDate = CurrentHttpDate(time.m_now);
    // An HTTP/1.0 client keeps the connection only when the answer says it may.
    reply.m_connection = m_bLast                        ? ConnectionOption::kClose
                         : request.m_nMinorVersion == 0 ? ConnectionOption::kKeepAlive
                                                        : ConnectionOption::kNone;
    const char* pszRefusal = RefusalOf(request);
    if (pszRefusal != nullptr) {
        AppendRefusal(&m_out, pszRefusal, reply);
    } else {
        PrepareFileAnswer(request, reply, mark, time);
    }
    if (time.m_pRequestLog != nullptr) NoteForLog(request);
    m_phase = Phase::kAnswer;
    m_deadline = time.m_now + kSendStallMs;
}

void CConnection::NoteForLog(const CRequest& request) {
    m_log.m_bPending = true;
    if (request.m_pLine != nullptr) {
        m_log.m_requestLine.assign(request.m_pLine, request.m_nLine);
    } else {
        m_log.m_requestLine.clear();
    }
    // Every head starts its output: "HTTP/1.1 " and the three digits of the status.
    m_log.m_nStatus = (m_out[9] - '0') * 100 + (m_out[10] - '0') * 10 + (m_out[11] - '0');
    m_log.m_nHeadLength = m_out.find("\r\n\r\n") + 4;
    m_log.m_nFileFirst = m_body.m_nOffset;
}

void CConnection::LogAnswer(const CServeTime& time) {
    if (!m_log.m_bPending || time.m_pRequestLog == nullptr) return;
    m_log.m_bPending = false;
    const uint64_t outBody =
        m_nOutSent > m_log.m_nHeadLength ? m_nOutSent - m_log.m_nHeadLength : 0;
    const CRequestRecord record{m_log.m_szPeer,
                                m_log.m_requestLine.data(),
                                m_log.m_requestLine.size(),
                                m_log.m_nStatus,
                                outBody + (m_body.m_nOffset - m_log.m_nFileFirst),
                                time.m_now};
    time.m_pRequestLog->Add(record);
}

const char* CConnection::RefusalOf(const CRequest& request) {
    if (request.m_problem == RequestProblem::kBadRequest) return "400 Bad Request";
    if (request.m_problem == RequestProblem::kVersionNotSupported) {
        return "505 HTTP Version Not Supported";
    }
    if (request.m_method == RequestMethod::kNotAllowed || request.m_method == RequestMethod::kPut ||
        request.m_method == RequestMethod::kPost) {
        return "405 Method Not Allowed";
    }
    if (request.m_method == RequestMethod::kUnknown) return "501 Not Implemented";
    return nullptr;
}

void CConnection::PrepareFileAnswer(const CRequest& request, const CReply& reply, uint64_t mark,
                                    const CServeTime& time) {
    const bool bHead = request.m_method == RequestMethod::kHead;
    const char* pTarget = request.m_pTarget;
    const size_t n = request.m_nTarget;
    const CMappedTarget mapped = MapTarget(pTarget, n);
    CFileCache* pFiles = time.m_pFiles;
    if (pFiles != nullptr) m_body.m_pFile = pFiles->FileFor(mapped, mark, time.m_now);
    if (!m_body.m_pFile) {
        if (pFiles != nullptr && g_bListFolders.load(std::memory_order_relaxed) &&
            PrepareListing(request, mapped, reply, mark, time)) {
            return;
        }
        if (pFiles != nullptr && pFiles->NamesFolder(mapped, time.m_now)) {
            AppendMovedAnswer(&m_out, FolderLocation(pTarget, n), reply, bHead);
        } else {
            AppendNotFoundAnswer(&m_out, mapped.m_display, reply, bHead);
        }
        return;
    }
    const CFile& file = m_body.m_pFile->m_file;
    const CFileVersion version{file.GetOpenedSize(), file.GetOpenedWriteTime()};
    const CValidators validators = ValidatorsOf(version);
    const CFileAnswer answer = ChooseFileAnswer(request.m_file, version, validators);
    AppendReplyHead(&m_out,
                    FileReply(reply, answer, version, validators, mapped.m_pszContentType, bHead));
    if (!bHead &&
        (answer.m_kind == FileAnswerKind::kWhole || answer.m_kind == FileAnswerKind::kPart)) {
        PrepareFileBytes(answer, *pFiles);
    } else {
        m_body.m_pFile.reset();
    }
}

bool CConnection::PrepareListing(const CRequest& request, const CMappedTarget& mapped, CReply reply,
                                 uint64_t mark, const CServeTime& time) {
    const bool bHead = request.m_method == RequestMethod::kHead;
    // The query runs from the '?' that ends the path to the fragment, if any.
    const char* pEnd = request.m_pTarget + request.m_nTarget;
    const char* pQuery =
        std::find_if(request.m_pTarget, pEnd, [](char c) { return c == '?' || c == '#'; });
    if (pQuery != pEnd && *pQuery == '?')
        ++pQuery;
    else
        pQuery = pEnd;
    const CListingOrder order =
        ListingOrderFromQuery(pQuery, static_cast<size_t>(std::find(pQuery, pEnd, '#') - pQuery));
    CListingPage built;
    const CListingPage* pPage = time.m_pFiles->ListingFor(mapped, order, mark, time.m_now, &built);
    if (pPage == nullptr) return false;
    reply.m_pEtag = pPage->m_etag.data();
    reply.m_nEtag = pPage->m_etag.size();
    if (IfNoneMatchNames(request.m_file.m_ifNoneMatch, pPage->m_etag.data(),
                         pPage->m_etag.size())) {
        reply.m_pszStatus = "304 Not Modified";
        AppendReplyHead(&m_out, reply);
    } else {
        reply.m_pszStatus = "200 OK";
        AppendPageAnswer(&m_out, reply, pPage->m_body, bHead);
    }
    return true;
}

void CConnection::PrepareFileBytes(const CFileAnswer& answer, CFileCache& files) {
    // The first bytes asked for travel with the head, so that a small answer is one send; a
    // file copied whole goes with it whole.
    const size_t headLength = m_out.size();
    const uint64_t room = m_body.m_pFile->m_bCopied ? answer.m_nEnd - answer.m_nFirst
                          : headLength < kFirstSend ? kFirstSend - headLength
                                                    : 0;
    const size_t wanted =
        static_cast<size_t>(std::min<uint64_t>(room, answer.m_nEnd - answer.m_nFirst));
    const size_t count = files.AppendBytes(*m_body.m_pFile, answer.m_nFirst, wanted, &m_out);
    // A file that shrank since it was measured cannot fill the length announced for it.
    m_body.m_bCutShort = count < wanted;
    m_body.m_nOffset = answer.m_nFirst + count;
    m_body.m_nEnd = m_body.m_bCutShort ? m_body.m_nOffset : answer.m_nEnd;
    if (m_body.m_nOffset == m_body.m_nEnd) m_body.m_pFile.reset();
}

bool CConnection::SendStep(const CServeTime& time) {
    // Once the grace after a stop is spent nothing more goes out, even to a fast reader.
    if (time.m_bStopping && time.m_now >= time.m_graceEnd) return End();
    // A peer that took nothing for the stall time is not given another try.
    if (time.m_now >= m_deadline) return End();
    bool bProgress = false;
    while (m_nOutSent < m_out.size()) {
        const int count = m_socket.SendNoWait(m_out.data() + m_nOutSent,
                                              static_cast<int>(m_out.size() - m_nOutSent));
        if (count == SOCKET_ERROR) return End();
        if (count == 0) break;
        m_nOutSent += static_cast<size_t>(count);
        bProgress = true;
    }
    uint64_t fileSent = 0;
    while (m_nOutSent == m_out.size() && m_body.m_nOffset < m_body.m_nEnd &&
           fileSent < kFileBytesPerStep) {
        const uint64_t asked =
            std::min(m_body.m_nEnd - m_body.m_nOffset, kFileBytesPerStep - fileSent);
        const long long count =
            m_socket.SendFileNoWait(m_body.m_pFile->m_file, m_body.m_nOffset, asked);
        if (count == SOCKET_ERROR) return End();
        m_body.m_nOffset += static_cast<uint64_t>(count);
        fileSent += static_cast<uint64_t>(count);
        bProgress = bProgress || count > 0;
        // A socket that took less than it was offered is full, and says when it has room.
        if (static_cast<uint64_t>(count) < asked) break;
    }
    if (bProgress) m_deadline = time.m_now + kSendStallMs;
    // A reader fast enough to take a large file at once still gets it a share per step, so
    // that the worker's other connections are served between the shares.
    if (fileSent >= kFileBytesPerStep && m_body.m_nOffset < m_body.m_nEnd)
        return WaitFor(ConnectionWant::kGoOn, time.m_now);
    if (m_nOutSent < m_out.size() || m_body.m_nOffset < m_body.m_nEnd) {
        const uint64_t deadline =
            time.m_bStopping ? std::min(m_deadline, time.m_graceEnd) : m_deadline;
        return WaitFor(ConnectionWant::kWrite, deadline);
    }

    // The answer is out whole.
    LogAnswer(time);
    m_body.m_pFile.reset();
    // After a cut-off answer the client can no longer tell where the next one starts.
    if (m_body.m_bCutShort) return End();
    // From the second answer on, a small answer must not wait for the client to
    // acknowledge the one before; a connection with one answer never needs it.
    if (++m_nAnswered == 1 && !m_bLast) m_socket.SendSmallWritesAtOnce();
    FinishRequest(time.m_now);
    // With bytes of a next request already here the connection can go on at once; it stops
    // anyway, so that a client that keeps pipelining cannot keep its worker from others.
    return m_pending.Held() > 0 ? WaitFor(ConnectionWant::kGoOn, time.m_now) : kStepAgain;
}

void CConnection::FinishRequest(uint64_t now) {
    if (m_bLast) {
        // Closing with bytes unread would reset the connection, and a reset discards what is
        // still on its way to the client: so the client gets our end first, and what it
        // still sends is read and dropped until it closes too. Without unread bytes a plain
        // close ends cleanly at once.
        u_long waiting = 0;
        if (m_socket.IoControl(FIONREAD, &waiting) && waiting > 0 && m_socket.ShutdownSend()) {
            m_phase = Phase::kLinger;
            m_deadline = now + kLingerMs;
            m_read.m_bMayRead = true;
        } else {
            m_phase = Phase::kLinger;
            m_deadline = 0;  // over at once
        }
        return;
    }
    m_nBodyLeft -= m_pending.Discard(m_nBodyLeft);
    if (m_nBodyLeft > 0) {
        m_phase = Phase::kBody;
        m_deadline = now + kHeadDeadlineMs;
        m_read.m_bMayRead = true;
        return;
    }
    StartHead(now);
}

void CConnection::StartHead(uint64_t now) {
    m_phase = Phase::kHead;
    m_deadline = now + kHeadDeadlineMs;
}

bool CConnection::SkipBodyStep(const CServeTime& time) {
    // A stop cuts the skipping short: no later request could be answered in time anyway.
    if (time.m_bStopping || time.m_now >= m_deadline) return End();
    // A large body is dropped a slice at a time, so that its deadline is looked at.
    for (int slice = 0; m_nBodyLeft > 0; ++slice) {
        if (slice == kSlicesPerStep) return WaitFor(ConnectionWant::kGoOn, time.m_now);
        const int count = ReceiveAndDrop(m_nBodyLeft);
        if (count < 0) return End();
        if (count == 0) {
            m_read.m_bMayRead = false;
            return WaitFor(ConnectionWant::kRead, m_deadline);
        }
        m_nBodyLeft -= count;
    }
    StartHead(time.m_now);
    return kStepAgain;
}

bool CConnection::LingerStep(const CServeTime& time) {
    if (time.m_bStopping || time.m_now >= m_deadline) return End();
    for (int slice = 0; slice < kSlicesPerStep; ++slice) {
        const int count = ReceiveAndDrop(4096);
        // The client's own end is what the linger waits for.
        if (count < 0) return End();
        if (count == 0) return WaitFor(ConnectionWant::kRead, m_deadline);
    }
    return WaitFor(ConnectionWant::kGoOn, time.m_now);
}
