// The connection service: request heads in, files or 404 pages out, one connection at a time.
#include "server/http_thread.h"

#include <algorithm>

#include "foundation/clock.h"
#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/wide_string.h"
#include "server/document_root.h"
#include "server/target.h"

wchar_t g_szWebRoot[1024];
std::atomic<int32_t> g_nRequests{0};

namespace {

const char kNotFoundPageStart[] = "<html><body><h1>404</h1><b>Couldn't find file: ";
const char kNotFoundPageEnd[] = "</b></body></html>\r\n";

constexpr uint32_t kWaitRetryMs = 100;

}  // namespace

CHttpThread::CHttpThread()
    : CThread(false), m_nServed(0), m_pHandOffsEnded(nullptr), m_pWorkerFreed(nullptr) {}

CHttpThread::~CHttpThread() = default;

bool CHttpThread::Assign(SOCKET s) {
    // A worker without its events (the system had none left) could never be told of it.
    if (!m_hWorkEvent.IsValid() || !m_hStopEvent.IsValid()) return false;
    if (m_hWorkEvent.IsSet()) return false;
    if (!m_socket.Attach(s)) return false;
    // Setting the event publishes the socket to the worker.
    m_hWorkEvent.Set();
    return true;
}

void CHttpThread::Shutdown() {
    StopThread();
    // A connection handed to a worker whose thread never ran is still held here.
    m_socket.Close();
}

DWORD CHttpThread::Run() {
    Log(L".");
    // Without its events the worker could neither be given work nor be stopped.
    if (!m_hWorkEvent.IsValid() || !m_hStopEvent.IsValid()) return 0;
    const CEvent* pEnd = &m_hStopEvent;
    for (;;) {
        int which = WaitForEither(m_hWorkEvent, *pEnd, kWaitInfinite);
        if (which == 0) {
            ServeConnection();
            m_hWorkEvent.Reset();
            if (m_pWorkerFreed != nullptr) m_pWorkerFreed->Set();
        } else if (which == 1) {
            if (m_pHandOffsEnded == nullptr || pEnd == m_pHandOffsEnded) return 1;
            // Stopped, but the listener may still hold a connection for us: keep taking
            // work until it can hand over no more.
            pEnd = m_pHandOffsEnded;
        } else {
            SleepMs(kWaitRetryMs);
        }
    }
}

int CHttpThread::ServeConnection() {
    CHeadBuffer pending;
    CSendBudget budget(&m_hStopEvent, kSendStallMs, kStopGraceMs);
    // A new client has nearly always sent its request by the time a worker takes it over,
    // so the first read goes without a readiness wait.
    const int early = m_socket.ReceiveNoWait(pending.WritePosition(), pending.Room());
    if (early > 0) pending.Commit(early);
    const bool bOpen = early > 0 || early == CSocket::kNothingYet;
    int nAnswered = 0;
    while (bOpen) {
        int length = 0;
        std::unique_ptr<char[]> head = ReadRequest(pending, budget, &length);
        if (!head) break;
        g_nRequests.fetch_add(1, std::memory_order_relaxed);
        const size_t headLength = static_cast<size_t>(length);
        CRequestLine line = ParseRequestLine(head.get(), headLength);
        const long long bodyLength = RequestBodyLength(head.get(), headLength);
        // Behind a body of unknown length no later head can be found.
        bool bLast = bodyLength == kUnknownBodyLength;
        if (line.m_method != RequestMethod::kOther) {
            const bool bAnswered = line.m_method == RequestMethod::kGet
                                       ? HandleGet(line.m_pTarget, line.m_nTargetLength, budget)
                                       : HandleHead(line.m_pTarget, line.m_nTargetLength, budget);
            // Where it cannot be reused, a file held open would only keep others from it.
            if (!CFile::kCanTellItIsStillAt) ReleaseServedFile();
            // After a cut-off answer the client can no longer tell where the next one starts.
            if (!bAnswered) break;
            // From the second answer on, a small answer must not wait for the client to
            // acknowledge the one before; a connection with one answer never needs it.
            if (++nAnswered == 1) m_socket.SendSmallWritesAtOnce();
            // Such a client waits for the end before it takes the answer as whole.
            bLast = bLast || AsksToCloseAfterAnswer(head.get(), headLength);
        }
        if (bLast) {
            LingerAfterLastAnswer();
            break;
        }
        if (bodyLength > 0 && !SkipBody(pending, bodyLength)) break;
    }
    ReleaseServedFile();
    m_socket.Close();
    m_nServed.fetch_add(1, std::memory_order_release);
    return 1;
}

std::unique_ptr<char[]> CHttpThread::ReadRequest(CHeadBuffer& pending, CSendBudget& budget,
                                                 int* pnLength) {
    const uint64_t deadline = GetTickCount64Ms() + kHeadDeadlineMs;
    for (;;) {
        // A head that starts with a zero byte is refused even when its blank line is there.
        if (pending.IsHopeless()) return nullptr;
        int length = pending.CompleteHeadLength();
        if (length > 0) {
            *pnLength = length;
            return pending.TakeHead(length);
        }

        if (m_hStopEvent.IsSet()) {
            // Stopping: only what the client has already sent is still answered, and only
            // within the grace, or a client that keeps sending would keep the worker.
            budget.NoteStop();
            if (budget.NextWaitMs() == 0) return nullptr;
            u_long waiting = 0;
            if (!m_socket.IoControl(FIONREAD, &waiting) || waiting == 0) return nullptr;
            int count = static_cast<int>(std::min<u_long>(waiting, pending.Room()));
            if (!ReceiveInto(pending, count)) return nullptr;
            continue;
        }

        uint64_t now = GetTickCount64Ms();
        if (now >= deadline) return nullptr;
        WaitResult result =
            m_socket.WaitReadable(static_cast<uint32_t>(deadline - now), &m_hStopEvent);
        if (result == WaitResult::kWoken) continue;
        if (result != WaitResult::kReady) return nullptr;
        if (!ReceiveInto(pending, pending.Room())) return nullptr;
    }
}

bool CHttpThread::SkipBody(CHeadBuffer& pending, long long length) {
    length -= pending.Discard(length);
    return length == 0 || DropIncoming(length, kHeadDeadlineMs);
}

void CHttpThread::LingerAfterLastAnswer() {
    // Closing with bytes unread would reset the connection, and a reset discards what is
    // still on its way to the client: so the client gets our end first, and what it still
    // sends is read and dropped until it closes too. Without unread bytes a plain close
    // ends cleanly, and the worker is free at once for the next client.
    u_long waiting = 0;
    if (!m_socket.IoControl(FIONREAD, &waiting) || waiting == 0) return;
    if (m_socket.ShutdownSend()) DropIncoming(kUntilEnd, kLingerMs);
}

bool CHttpThread::DropIncoming(long long length, uint32_t ms) {
    const uint64_t deadline = GetTickCount64Ms() + ms;
    char scratch[4096];
    while (length != 0) {
        const uint64_t now = GetTickCount64Ms();
        if (now >= deadline) return false;
        if (m_socket.WaitReadable(static_cast<uint32_t>(deadline - now), &m_hStopEvent) !=
            WaitResult::kReady) {
            return false;
        }
        const long long wanted =
            length < 0 ? sizeof scratch : std::min<long long>(length, sizeof scratch);
        const int count = m_socket.Receive(scratch, static_cast<int>(wanted));
        if (count <= 0) return length < 0 && count == 0;
        if (length > 0) length -= count;
    }
    return true;
}

bool CHttpThread::ReceiveInto(CHeadBuffer& pending, int maxBytes) {
    int received = m_socket.Receive(pending.WritePosition(), maxBytes);
    // 0 is the peer's end of stream: nothing more will come, so the worker is freed now.
    if (received <= 0) return false;
    pending.Commit(received);
    return true;
}

void CHttpThread::ReleaseServedFile() {
    m_servedFile.m_file.Close();
    m_servedFile.m_path.clear();
}

bool CHttpThread::OpenForServing(const CMappedTarget& mapped) {
    CFile& file = m_servedFile.m_file;
    const CString& path = mapped.m_path;
    if (file.IsOpen() && m_servedFile.m_path == path.GetString() &&
        file.IsStillAt(path.GetString())) {
        return true;
    }
    ReleaseServedFile();
    if (!OpenTargetFile(file, mapped)) {
        file.Close();
        return false;
    }
    m_servedFile.m_path = path.GetString();
    return true;
}

bool CHttpThread::HandleGet(const char* pTarget, size_t n, CSendBudget& budget) {
    CMappedTarget mapped = MapTarget(pTarget, n, g_szWebRoot);
    if (!mapped.m_bAllowed || !OpenForServing(mapped)) {
        if (NamesFolderBelowRoot(mapped)) {
            const std::string moved = FolderRedirectResponse(pTarget, n, true);
            return m_socket.SendAll(moved.data(), static_cast<int>(moved.size()), budget);
        }
        return SendNotFoundPage(mapped.m_display, budget);
    }
    CFile& file = m_servedFile.m_file;
    const uint64_t size = file.GetOpenedSize();
    std::string head =
        FormatHeader(200, L"Sending file", static_cast<long long>(size), mapped.m_pszContentType);
    return m_socket.SendFile(file, size, budget, head.data(), static_cast<int>(head.size()));
}

bool CHttpThread::HandleHead(const char* pTarget, size_t n, CSendBudget& budget) {
    CMappedTarget mapped = MapTarget(pTarget, n, g_szWebRoot);
    if (mapped.m_bAllowed && OpenForServing(mapped)) {
        return SendHeader(200, L"File Exists", -1, nullptr, budget);
    }
    if (NamesFolderBelowRoot(mapped)) {
        const std::string moved = FolderRedirectResponse(pTarget, n, false);
        return m_socket.SendAll(moved.data(), static_cast<int>(moved.size()), budget);
    }
    return SendHeader(404, L"File not found", -1, nullptr, budget);
}

bool CHttpThread::SendNotFoundPage(const std::string& display, CSendBudget& budget) {
    std::string page = kNotFoundPageStart + EscapeHtml(display) + kNotFoundPageEnd;
    // Head and page leave together, and the length counts the bytes as sent.
    std::string response =
        FormatHeader(404, L"File not found!", static_cast<long long>(page.size()), "text/html");
    response += page;
    return m_socket.SendAll(response.data(), static_cast<int>(response.size()), budget);
}

bool CHttpThread::SendHeader(int status, const wchar_t* pszReason, long long contentLength,
                             const char* pszContentType, CSendBudget& budget) {
    std::string head = FormatHeader(status, pszReason, contentLength, pszContentType);
    return m_socket.SendAll(head.data(), static_cast<int>(head.size()), budget);
}

std::string CHttpThread::FormatHeader(int status, const wchar_t* pszReason, long long contentLength,
                                      const char* pszContentType) {
    CString head;
    head.Format(L"HTTP/1.1 %d %s\r\n", status, pszReason);
    if (contentLength != -1) {
        CString line;
        line.Format(L"content-length: %lld\r\n", contentLength);
        head.Append(line);
    }
    if (pszContentType != nullptr) {
        CString line;
        line.Format(L"content-type: %S\r\n", pszContentType);
        head.Append(line);
    }
    head.Append(CString(L"\r\n"));
    return std::string(head.ToMultiByte().get());
}
