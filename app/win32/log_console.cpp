// The console window and the hand-over of Log text between threads.
#include "app/win32/log_console.h"

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
    CCriticalLock lock(&g_pendingLock);
    g_hLogOwner = nullptr;
    g_nConsoleThreadId = 0;
    g_pendingText.clear();
}

void FlushPendingLog() {
    std::wstring text;
    {
        CCriticalLock lock(&g_pendingLock);
        text.swap(g_pendingText);
    }
    if (text.empty() || g_pLogWnd == nullptr || g_pLogWnd->m_hWnd == nullptr) return;
    g_pLogWnd->AppendText(CString(text.c_str()));
    ScrollToEnd(g_pLogWnd->m_hWnd);
    UpdateWindow(g_pLogWnd->m_hWnd);
}
