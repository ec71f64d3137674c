// The connection service on one connection: request heads and bodies in, answers out, each
// step taken as far as it goes without waiting. What an answer says is the handler's.
#include "server/connection.h"

#include <algorithm>
#include <cstring>

#include "server/file_cache.h"
#include "server/handler.h"
#include "server/http_date.h"
#include "server/request_log.h"
#include "server/response_head.h"

wchar_t g_szWebRoot[1024];
std::atomic<int32_t> g_nRequests{0};

namespace {

// Receives of bytes that are dropped or handed on (a body, or what comes after a last answer)
// that one step makes at most.
constexpr int kSlicesPerStep = 16;
// The interim answer a client that sent Expect: 100-continue waits for before its body.
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr size_t kContinueLength = sizeof kContinue - 1;
// Where a connection without a buffer of its worker's (in tests) reads and sends through.
constexpr size_t kOwnBufferSize = 4096;

// Makes the head at the start of out say that the connection ends after it, where the
// handler decided it before the connection knew: "connection: close" in place of a
// keep-alive, or added before the blank line.
void SayConnectionCloses(std::string* pOut) {
    const size_t headEnd = pOut->find("\r\n\r\n");
    if (headEnd == std::string::npos) return;
    const size_t field = pOut->find("\r\nconnection: ");
    if (field != std::string::npos && field < headEnd) {
        const size_t valueStart = field + 14;
        pOut->replace(valueStart, headEnd - valueStart, "close");
        return;
    }
    pOut->insert(headEnd, "\r\nconnection: close");
}

}  // namespace

CConnection::CConnection()
    : m_phase(Phase::kHead),
      m_wait{ConnectionWant::kRead, 0},
      m_deadline(0),
      m_nAnswered(0),
      m_bLast(false),
      m_nOutSent(0) {}

CConnection::~CConnection() = default;

AcceptResult CConnection::AcceptFrom(CSocket& listening) {
    const AcceptResult result =
        listening.AcceptNoWait(m_socket, m_log.m_szPeer, sizeof m_log.m_szPeer);
    // A client on this machine copies what it receives out of memory that our copy has just
    // written, still in the processor's cache; pages lent from the page cache reach it cold,
    // and it takes a big file more slowly. Across a network the card reads the pages itself,
    // and a copy would only cost the CPU that other clients share. For the same reason a
    // local client's send buffer is held small: the host's sizing lets megabytes wait on a
    // connection that has no distance to cover, and the client reads them cold.
    const bool bLocalPeer = result == AcceptResult::kAccepted && m_socket.HasLoopbackPeer();
    m_socket.SendFilesByCopy(bLocalPeer);
    m_bHoldSendBuffer = bLocalPeer;
    return result;
}

void CConnection::HoldSendBufferFor(const CAnswerBody& body) {
    if (!m_bHoldSendBuffer || body.m_nEnd - body.m_nOffset <= kLocalPeerSendBuffer) return;
    // Held at several loopback segments, never one: with room for a single segment each
    // would wait for the client's delayed acknowledgement.
    m_socket.HoldSendBuffer(kLocalPeerSendBuffer);
    m_bHoldSendBuffer = false;
}

void CConnection::Begin(uint64_t now) {
    // A socket that came by another way than AcceptFrom is asked for its client's address.
    if (m_log.m_szPeer[0] == '-') m_socket.GetPeerAddress(m_log.m_szPeer, sizeof m_log.m_szPeer);
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
            case Phase::kBody:
                bGoOn = BodyStep(time);
                break;
            case Phase::kAnswer:
                bGoOn = SendStep(time);
                // An answer cut short is logged with what went out of it.
                if (!bGoOn && m_wait.m_want == ConnectionWant::kEnd) LogAnswer(time);
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

int CConnection::ReceiveInto(char* p, size_t n) {
    const int count = m_socket.ReceiveNoWait(p, static_cast<int>(std::min<size_t>(n, 1 << 30)));
    if (count > 0) return count;
    return count == CSocket::kNothingYet ? 0 : -1;
}

bool CConnection::ReadHeadStep(const CServeTime& time) {
    // A head that starts with a zero byte is refused even when its blank line is there.
    if (m_pending.IsHopeless()) return End();
    const int length = m_pending.CompleteHeadLength();
    if (length > 0) {
        // The request is read where it lies; the handler copies what it needs of it.
        const uint64_t mark = m_read.m_nHeadMark;
        m_read.m_nHeadMark = 0;
        TakeRequest(ParseRequest(m_pending.Data(), static_cast<size_t>(length)), mark, time);
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

void CConnection::TakeRequest(const CRequest& request, uint64_t mark, const CServeTime& time) {
    g_nRequests.fetch_add(1, std::memory_order_relaxed);
    // Behind a body of unknown length no later head can be found, and after a request that
    // cannot be read nothing more on the connection can be trusted to be a request.
    m_bLast = request.m_nBodyLength == kUnknownBodyLength ||
              request.m_problem != RequestProblem::kNone || !request.WantsPersistence();
    CRequestContext context;
    context.m_now = time.m_now;
    context.m_nMark = mark;
    context.m_pFiles = time.m_pFiles;
    context.m_pszPeer = m_log.m_szPeer;
    context.m_pRightCredentials = &m_nRightCredentials;
    // An HTTP/1.0 client keeps the connection only when the answer says it may.
    context.m_connection = m_bLast                        ? ConnectionOption::kClose
                           : request.m_nMinorVersion == 0 ? ConnectionOption::kKeepAlive
                                                          : ConnectionOption::kNone;
    static CHandler s_defaultHandler;
    CHandler& handler = time.m_pHandler != nullptr ? *time.m_pHandler : s_defaultHandler;
    handler.Decide(request, context, &m_answer);

    m_body = CBodyState();
    if (request.m_nBodyLength == kChunkedBodyLength) {
        m_body.m_framing.BeginChunked();
    } else {
        m_body.m_framing.BeginLength(
            request.m_nBodyLength > 0 ? static_cast<uint64_t>(request.m_nBodyLength) : 0);
    }
    if (time.m_pRequestLog != nullptr) {
        m_log.m_bPending = true;
        m_log.m_requestLine.assign(request.m_pLine != nullptr ? request.m_pLine : "",
                                   request.m_pLine != nullptr ? request.m_nLine : 0);
        m_log.m_user = m_answer.m_user;
    }
    if (m_answer.m_pSink == nullptr) {
        // A client that waits for leave to send its body and is answered without it may send
        // it or not, so no next request could be told from it.
        if (request.m_bExpectContinue && request.HasBody()) m_bLast = true;
        StartAnswer(time);
        return;
    }
    // The answer comes from the sink once the body is in.
    m_body.m_bToSink = true;
    m_body.m_bInterim = request.m_bExpectContinue && request.m_nMinorVersion >= 1;
    m_phase = Phase::kBody;
    m_deadline = time.m_now + kSendStallMs;
    m_read.m_bMayRead = true;
}

void CConnection::StartAnswer(const CServeTime& time) {
    m_bLast = m_bLast || m_answer.m_bClose ||
              (m_answer.m_body.m_kind == BodyKind::kStream &&
               m_answer.m_body.m_nEnd == CAnswerBody::kUnknownEnd);
    if (m_bLast) SayConnectionCloses(&m_answer.m_out);
    m_nOutSent = 0;
    if (time.m_pRequestLog != nullptr) NoteAnswerForLog();
    m_phase = Phase::kAnswer;
    m_deadline = time.m_now + kSendStallMs;
}

void CConnection::NoteAnswerForLog() {
    const std::string& out = m_answer.m_out;
    // Every head starts its output: "HTTP/1.1 " and the three digits of the status.
    m_log.m_nStatus =
        out.size() > 11 ? (out[9] - '0') * 100 + (out[10] - '0') * 10 + (out[11] - '0') : 0;
    const size_t end = out.find("\r\n\r\n");
    m_log.m_nHeadLength = end == std::string::npos ? out.size() : end + 4;
    m_log.m_nBodyFirst = m_answer.m_body.m_nOffset;
}

void CConnection::LogAnswer(const CServeTime& time) {
    if (!m_log.m_bPending || time.m_pRequestLog == nullptr || m_phase != Phase::kAnswer) return;
    m_log.m_bPending = false;
    const uint64_t outBody =
        m_nOutSent > m_log.m_nHeadLength ? m_nOutSent - m_log.m_nHeadLength : 0;
    const CRequestRecord record{m_log.m_szPeer,
                                m_log.m_requestLine.data(),
                                m_log.m_requestLine.size(),
                                m_log.m_nStatus,
                                outBody + (m_answer.m_body.m_nOffset - m_log.m_nBodyFirst),
                                time.m_now,
                                m_log.m_user.c_str()};
    time.m_pRequestLog->Add(record);
}

bool CConnection::SendInterim(const CServeTime& time, bool* pbWaits) {
    *pbWaits = false;
    while (m_body.m_nInterimSent < kContinueLength) {
        const int count =
            m_socket.SendNoWait(kContinue + m_body.m_nInterimSent,
                                static_cast<int>(kContinueLength - m_body.m_nInterimSent));
        if (count == SOCKET_ERROR) return false;
        if (count == 0) {
            *pbWaits = true;
            WaitFor(ConnectionWant::kWrite, m_deadline);
            return true;
        }
        m_body.m_nInterimSent += static_cast<size_t>(count);
        m_deadline = time.m_now + kSendStallMs;
    }
    m_body.m_bInterim = false;
    return true;
}

size_t CConnection::FeedBody(const char* p, size_t n) {
    size_t used = 0;
    while (used < n && m_body.m_framing.GetState() == CBodyFraming::State::kData &&
           !m_body.m_bRefused) {
        size_t nData = 0;
        const size_t step = m_body.m_framing.Read(p + used, n - used, &nData);
        if (nData > 0 && m_body.m_bToSink &&
            !m_answer.m_pSink->Take(p + used + step - nData, nData)) {
            m_body.m_bRefused = true;
        }
        used += step;
    }
    return used;
}

bool CConnection::BodyStep(const CServeTime& time) {
    // A stop cuts the body short: no answer that depends on it could go out in time anyway.
    if (time.m_bStopping || time.m_now >= m_deadline) return End();
    if (m_body.m_bInterim) {
        bool bWaits = false;
        if (!SendInterim(time, &bWaits)) return End();
        if (bWaits) return !kStepAgain;
    }
    // The body's first bytes may have come with its head.
    if (m_pending.Held() > 0) {
        m_pending.Discard(static_cast<long long>(FeedBody(m_pending.Data(), m_pending.Held())));
    }
    char ownBuffer[kOwnBufferSize];
    char* pBuffer = time.m_pBuffer != nullptr ? time.m_pBuffer : ownBuffer;
    const size_t nBuffer = time.m_pBuffer != nullptr ? time.m_nBuffer : sizeof ownBuffer;
    for (int slice = 0;
         m_body.m_framing.GetState() == CBodyFraming::State::kData && !m_body.m_bRefused; ++slice) {
        if (slice == kSlicesPerStep) return WaitFor(ConnectionWant::kGoOn, time.m_now);
        // A body of known length is read to its end and no further, so what follows it stays
        // on the socket for the next head.
        const CBodyFraming& framing = m_body.m_framing;
        const size_t wanted =
            framing.HasLength()
                ? static_cast<size_t>(std::min<uint64_t>(framing.DataLeft(), nBuffer))
                : nBuffer;
        const int count = ReceiveInto(pBuffer, wanted);
        if (count < 0) return End();
        if (count == 0) {
            m_read.m_bMayRead = false;
            return WaitFor(ConnectionWant::kRead, m_deadline);
        }
        m_deadline = time.m_now + (m_body.m_bToSink ? kSendStallMs : kHeadDeadlineMs);
        const size_t used = FeedBody(pBuffer, static_cast<size_t>(count));
        // A chunked body's end may come with the next request's first bytes.
        if (used < static_cast<size_t>(count) && !m_body.m_framing.IsMalformed()) {
            const int rest = static_cast<int>(count - static_cast<int>(used));
            if (m_pending.Feed(pBuffer + used, rest) < rest) m_bLast = true;
        }
    }
    EndBody(time);
    return kStepAgain;
}

void CConnection::EndBody(const CServeTime& time) {
    const bool bMalformed = m_body.m_framing.IsMalformed();
    if (!m_body.m_bToSink) {
        // A body dropped after its answer: the next head follows, unless the body could not
        // be read, which leaves nothing after it that can be trusted.
        if (bMalformed || m_bLast) {
            m_phase = Phase::kLinger;
            m_deadline = 0;
            return;
        }
        StartHead(time.m_now);
        return;
    }
    std::unique_ptr<CRequestSink> pSink = std::move(m_answer.m_pSink);
    if (bMalformed) {
        // The sink goes without its answer, undoing what it began.
        pSink.reset();
        m_answer.Clear();
        CReply reply;
        reply.m_pszDate = CurrentHttpDate(time.m_now);
        reply.m_connection = ConnectionOption::kClose;
        AppendRefusal(&m_answer.m_out, "400 Bad Request", reply);
        m_bLast = true;
    } else {
        pSink->Finish(!m_body.m_bRefused, &m_answer);
        // A body not read to its end leaves the connection without a next head it can find.
        if (m_body.m_bRefused) m_bLast = true;
    }
    StartAnswer(time);
}

CConnection::BodySend CConnection::SendBody(const CServeTime& time, uint64_t budget,
                                            uint64_t* pSent) {
    CAnswerBody& body = m_answer.m_body;
    char ownBuffer[kOwnBufferSize];
    char* pBuffer = time.m_pBuffer != nullptr ? time.m_pBuffer : ownBuffer;
    const size_t nBuffer = time.m_pBuffer != nullptr ? time.m_nBuffer : sizeof ownBuffer;
    HoldSendBufferFor(body);
    while (body.m_nOffset < body.m_nEnd && *pSent < budget) {
        uint64_t asked = std::min(body.m_nEnd - body.m_nOffset, budget - *pSent);
        long long count = 0;
        CFileSpan span;
        switch (body.m_kind) {
            case BodyKind::kBytes:
                count = m_socket.SendNoWait(body.m_pBytes->data() + body.m_nOffset,
                                            static_cast<int>(std::min<uint64_t>(asked, 1 << 30)));
                break;
            case BodyKind::kFile:
                count = m_socket.SendFileNoWait(body.m_pFile->m_file, body.m_nOffset, asked,
                                                pBuffer, nBuffer);
                break;
            case BodyKind::kStream: {
                // Bytes that lie as they are in a file leave from it, as a file's do.
                if (body.m_pSource->FileSpanAt(body.m_nOffset, &span)) {
                    asked = std::min(asked, span.m_nLength);
                    count = m_socket.SendFileNoWait(*span.m_pFile, span.m_nPosition, asked, pBuffer,
                                                    nBuffer);
                    break;
                }
                const long long made =
                    body.m_pSource->ReadAt(body.m_nOffset, pBuffer,
                                           static_cast<size_t>(std::min<uint64_t>(asked, nBuffer)));
                if (made == CBodySource::kNotYet) return BodySend::kNotYet;
                if (made < 0) return BodySend::kEnds;
                if (made == 0) {
                    // A stream of unknown length ends here; one of known length was cut short.
                    if (body.m_nEnd != CAnswerBody::kUnknownEnd) return BodySend::kEnds;
                    body.m_nEnd = body.m_nOffset;
                    return BodySend::kGoesOn;
                }
                count = m_socket.SendNoWait(pBuffer, static_cast<int>(made));
                if (count == SOCKET_ERROR) return BodySend::kEnds;
                body.m_nOffset += static_cast<uint64_t>(count);
                *pSent += static_cast<uint64_t>(count);
                // What the socket did not take is made again when it has room; a stream
                // made a buffer at a time goes on while the socket takes it whole.
                if (count < made) return BodySend::kGoesOn;
                continue;
            }
            case BodyKind::kNone:
                return BodySend::kGoesOn;
        }
        if (count == SOCKET_ERROR) return BodySend::kEnds;
        body.m_nOffset += static_cast<uint64_t>(count);
        *pSent += static_cast<uint64_t>(count);
        // A socket that took less than it was offered is full, and says when it has room.
        if (static_cast<uint64_t>(count) < asked) return BodySend::kGoesOn;
    }
    return BodySend::kGoesOn;
}

bool CConnection::SendStep(const CServeTime& time) {
    // Once the grace after a stop is spent nothing more goes out, even to a fast reader.
    if (time.m_bStopping && time.m_now >= time.m_graceEnd) return End();
    // A peer that took nothing for the stall time is not given another try.
    if (time.m_now >= m_deadline) return End();
    const std::string& out = m_answer.m_out;
    CAnswerBody& body = m_answer.m_body;
    bool bProgress = false;
    uint64_t bodySent = 0;
    while (m_nOutSent < out.size()) {
        // Bytes held apart leave with the head in one call, as if copied behind it.
        const bool bWithBytes = body.m_kind == BodyKind::kBytes && body.m_nOffset < body.m_nEnd;
        const int nOut = static_cast<int>(out.size() - m_nOutSent);
        const int nBytes =
            bWithBytes ? static_cast<int>(std::min<uint64_t>(body.m_nEnd - body.m_nOffset, 1 << 30))
                       : 0;
        const int count = m_socket.SendPairNoWait(
            out.data() + m_nOutSent, nOut,
            bWithBytes ? body.m_pBytes->data() + body.m_nOffset : nullptr, nBytes);
        if (count == SOCKET_ERROR) return End();
        if (count == 0) break;
        bProgress = true;
        const int fromOut = std::min(count, nOut);
        m_nOutSent += static_cast<size_t>(fromOut);
        body.m_nOffset += static_cast<uint64_t>(count - fromOut);
        bodySent += static_cast<uint64_t>(count - fromOut);
        if (count < nOut + nBytes) break;
    }
    const BodySend sent =
        m_nOutSent == out.size() ? SendBody(time, kBodyBytesPerStep, &bodySent) : BodySend::kGoesOn;
    if (sent == BodySend::kEnds) return End();
    // While the body's source works toward its next bytes the client waits on us, and is
    // not the one that stalls.
    bProgress = bProgress || bodySent > 0 || sent == BodySend::kNotYet;
    if (bProgress) m_deadline = time.m_now + kSendStallMs;
    const bool bBodyLeft = body.m_nOffset < body.m_nEnd;
    // A reader fast enough to take a large body at once still gets it a share per step, and
    // a body still being worked toward gets a share of work per step, so that the worker's
    // other connections are served between the shares.
    if ((bodySent >= kBodyBytesPerStep || sent == BodySend::kNotYet) && bBodyLeft) {
        return WaitFor(ConnectionWant::kGoOn, time.m_now);
    }
    if (m_nOutSent < out.size() || bBodyLeft) {
        const uint64_t deadline =
            time.m_bStopping ? std::min(m_deadline, time.m_graceEnd) : m_deadline;
        return WaitFor(ConnectionWant::kWrite, deadline);
    }

    // The answer is out whole.
    LogAnswer(time);
    const bool bCutShort = body.m_bCutShort;
    m_answer.m_body = CAnswerBody();
    // After a cut-off answer the client can no longer tell where the next one starts.
    if (bCutShort) return End();
    // From the second answer on, a small answer must not wait for the client to
    // acknowledge the one before; a connection with one answer never needs it.
    if (++m_nAnswered == 1 && !m_bLast) m_socket.SendSmallWritesAtOnce();
    FinishRequest(time.m_now);
    // With bytes of a next request already here the connection can go on at once; it stops
    // anyway, so that a client that keeps pipelining cannot keep its worker from others.
    return m_phase == Phase::kHead && m_pending.Held() > 0
               ? WaitFor(ConnectionWant::kGoOn, time.m_now)
               : kStepAgain;
}

void CConnection::FinishRequest(uint64_t now) {
    if (m_bLast) {
        // Closing with bytes unread would reset the connection, and a reset discards what is
        // still on its way to the client: so the client gets our end first, and what it
        // still sends is read and dropped until it closes too. Without unread bytes a plain
        // close ends cleanly at once.
        u_long waiting = 0;
        m_phase = Phase::kLinger;
        if ((m_pending.Held() > 0 || (m_socket.IoControl(FIONREAD, &waiting) && waiting > 0)) &&
            m_socket.ShutdownSend()) {
            m_deadline = now + kLingerMs;
            m_read.m_bMayRead = true;
        } else {
            m_deadline = 0;  // over at once
        }
        return;
    }
    if (m_body.m_framing.GetState() == CBodyFraming::State::kData && !m_body.m_bToSink) {
        // The body of a request answered without it is read past before the next head.
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

bool CConnection::LingerStep(const CServeTime& time) {
    if (time.m_bStopping || time.m_now >= m_deadline) return End();
    char scratch[4096];
    for (int slice = 0; slice < kSlicesPerStep; ++slice) {
        const int count = ReceiveInto(scratch, sizeof scratch);
        // The client's own end is what the linger waits for.
        if (count < 0) return End();
        if (count == 0) return WaitFor(ConnectionWant::kRead, m_deadline);
    }
    return WaitFor(ConnectionWant::kGoOn, time.m_now);
}
