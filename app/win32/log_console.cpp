// The console window and the hand-over of Log text between threads.
#include "app/win32/log_console.h"

#include <atomic>
#include <deque>
#include <memory>
#include <string>

#include "foundation/critical_section.h"
#include "foundation/log.h"

CWnd* g_pLogWnd = nullptr;

namespace {

// Guards the three values below; taken inside g_logLock by the sink, and alone by the
// window's thread, never the other way round.
CCriticalSection g_pendingLock;
std::wstring g_pendingText;
HWND g_hLogOwner = nullptr;
DWORD g_nConsoleThreadId = 0;

// Shows the end of the text, where the newest message is.
void ScrollToEnd(HWND hEdit) {
    LRESULT length = SendMessageW(hEdit, WM_GETTEXTLENGTH, 0, 0);
    SendMessageW(hEdit, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendMessageW(hEdit, EM_SCROLLCARET, 0, 0);
}

// Batches posted and not yet taken: a window's thread that has fallen this far behind gets
// no more, and their lines are counted as dropped.
constexpr int kMostBatchesPosted = 16;
constexpr UINT kShowRequestLinesMs = 100;
std::atomic<int> g_nBatchesPosted(0);

// The window's thread's own: what the console shows, the log's text first.
std::wstring g_logText;
std::deque<std::wstring> g_requestLines;  // each ends with "\r\n"
bool g_bRequestTimerRuns = false;

// Shows the log's text and the request lines below it, in one change of the edit control.
void ShowConsole() {
    if (g_pLogWnd == nullptr || g_pLogWnd->m_hWnd == nullptr) return;
    size_t length = g_logText.size();
    for (const std::wstring& line : g_requestLines) length += line.size();
    std::wstring whole;
    whole.reserve(length);
    whole = g_logText;
    for (const std::wstring& line : g_requestLines) whole += line;
    SetWindowTextW(g_pLogWnd->m_hWnd, whole.c_str());
    ScrollToEnd(g_pLogWnd->m_hWnd);
    UpdateWindow(g_pLogWnd->m_hWnd);
}

// Where the newest kConsoleRequestLines lines of the batch start: the rest would be trimmed
// at once.
size_t NewestLinesStart(const std::string& bytes) {
    size_t count = 0;
    for (size_t at = bytes.size(); at-- > 0;) {
        if (bytes[at] != '\n') continue;
        if (count == kConsoleRequestLines) return at + 1;
        ++count;
    }
    return 0;
}

// The owner to post to and time the showing with; null once the console is detached.
HWND LogOwner() {
    CCriticalLock lock(&g_pendingLock);
    return g_hLogOwner;
}

// Called by Log with g_logLock held, on any thread.
void ConsoleSink(const wchar_t* pszText, size_t length) {
    bool bWasEmpty;
    HWND hOwner;
    bool bOwnThread;
    {
        CCriticalLock lock(&g_pendingLock);
        hOwner = g_hLogOwner;
        bOwnThread = GetCurrentThreadId() == g_nConsoleThreadId;
        bWasEmpty = g_pendingText.empty();
        if (hOwner != nullptr) g_pendingText.append(pszText, length);
    }
    if (hOwner == nullptr) return;
    // Text kept before this message goes in first, so the order stays that of Log.
    if (bOwnThread) {
        FlushPendingLog();
    } else if (bWasEmpty) {
        // One notice is enough while text is waiting: the flush takes all of it.
        PostMessageW(hOwner, kLogPendingMessage, 0, 0);
    }
}

}  // namespace

CWnd::CWnd() : m_hWnd(nullptr) {}

CWnd::~CWnd() {
    if (m_hWnd != nullptr) DestroyWindow(m_hWnd);
}

bool CWnd::Create(const wchar_t* pszClassName, const wchar_t* pszWindowText, DWORD style, int x,
                  int y, int width, int height, HWND hParent) {
    m_hWnd = CreateWindowExW(0, pszClassName, pszWindowText, style, x, y, width, height, hParent,
                             nullptr, nullptr, nullptr);
    return m_hWnd != nullptr;
}

CString CWnd::GetText() const {
    int length = GetWindowTextLengthW(m_hWnd);
    CString text;
    wchar_t* pBuffer = text.GetBuffer(length + 2);
    GetWindowTextW(m_hWnd, pBuffer, length + 1);
    return text;
}

void CWnd::AppendText(CString text) {
    CString whole = GetText();
    whole.Append(text);
    SetWindowTextW(m_hWnd, whole.GetString());
}

void ClearLog() {
    g_logText.clear();
    g_requestLines.clear();
    SetWindowTextW(g_pLogWnd->m_hWnd, L"");
}

void AttachLogConsole(HWND hOwner) {
    {
        CCriticalLock lock(&g_pendingLock);
        g_hLogOwner = hOwner;
        g_nConsoleThreadId = GetCurrentThreadId();
        g_pendingText.clear();
    }
    SetLogSink(ConsoleSink);
}

void DetachLogConsole() {
    SetLogSink(nullptr);
    HWND hOwner;
    {
        CCriticalLock lock(&g_pendingLock);
        hOwner = g_hLogOwner;
        g_hLogOwner = nullptr;
        g_nConsoleThreadId = 0;
        g_pendingText.clear();
    }
    if (hOwner == nullptr) return;
    if (g_bRequestTimerRuns) KillTimer(hOwner, kRequestLinesTimer);
    g_bRequestTimerRuns = false;
    g_requestLines.clear();
    // Batches still on their way are freed here: nobody takes them any more.
    MSG msg;
    while (PeekMessageW(&msg, hOwner, kRequestLinesMessage, kRequestLinesMessage, PM_REMOVE)) {
        TakeRequestLines(msg.lParam);
    }
    g_requestLines.clear();
}

void FlushPendingLog() {
    std::wstring text;
    {
        CCriticalLock lock(&g_pendingLock);
        text.swap(g_pendingText);
    }
    if (text.empty() || g_pLogWnd == nullptr || g_pLogWnd->m_hWnd == nullptr) return;
    // The log's text stays above the request lines, whenever it comes.
    g_logText += text;
    ShowConsole();
}

bool IsLogAtLineStart() {
    return g_logText.empty() || g_logText.back() == L'\n';
}

bool PostRequestLines(const char* pLines, size_t length, const CEvent& /*stop*/) {
    const HWND hOwner = LogOwner();
    if (hOwner == nullptr || g_nBatchesPosted.load() >= kMostBatchesPosted) return false;
    std::unique_ptr<std::string> pBatch(new std::string(pLines, length));
    g_nBatchesPosted.fetch_add(1);
    if (!PostMessageW(hOwner, kRequestLinesMessage, 0, reinterpret_cast<LPARAM>(pBatch.get()))) {
        g_nBatchesPosted.fetch_sub(1);
        return false;
    }
    pBatch.release();  // the window's thread frees it
    return true;
}

void TakeRequestLines(LPARAM batch) {
    const std::unique_ptr<std::string> pBatch(reinterpret_cast<std::string*>(batch));
    g_nBatchesPosted.fetch_sub(1);
    const HWND hOwner = LogOwner();
    if (hOwner == nullptr) return;
    const size_t start = NewestLinesStart(*pBatch);
    const int byteCount = static_cast<int>(pBatch->size() - start);
    const char* pBytes = pBatch->data() + start;
    // Lines are UTF-8; a byte that is not is shown as U+FFFD.
    const int wideCount = MultiByteToWideChar(CP_UTF8, 0, pBytes, byteCount, nullptr, 0);
    std::wstring text(static_cast<size_t>(wideCount), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, pBytes, byteCount, &text[0], wideCount);
    size_t lineStart = 0;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != L'\n') continue;
        g_requestLines.push_back(text.substr(lineStart, at - lineStart) + L"\r\n");
        lineStart = at + 1;
    }
    while (g_requestLines.size() > kConsoleRequestLines) g_requestLines.pop_front();
    if (!g_bRequestTimerRuns) {
        g_bRequestTimerRuns =
            SetTimer(hOwner, kRequestLinesTimer, kShowRequestLinesMs, nullptr) != 0;
        // Without a timer the lines are shown at once instead.
        if (!g_bRequestTimerRuns) ShowConsole();
    }
}

void ShowRequestLines() {
    const HWND hOwner = LogOwner();
    if (hOwner != nullptr && g_bRequestTimerRuns) KillTimer(hOwner, kRequestLinesTimer);
    g_bRequestTimerRuns = false;
    ShowConsole();
}
