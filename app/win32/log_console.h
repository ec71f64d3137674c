// The log console: an owning window wrapper, and the sink that carries Log text into the
// console's edit control on the window's own thread.
#pragma once

#include "foundation/event.h"
#include "foundation/object.h"
#include "foundation/platform_types.h"
#include "foundation/wide_string.h"

// Posted to the console's owner when text from another thread waits for the console.
constexpr UINT kLogPendingMessage = WM_APP + 1;
// Posted to the console's owner with a batch of request lines (lParam) for the console.
constexpr UINT kRequestLinesMessage = WM_APP + 3;
// The owner's timer that shows the request lines taken since the console last changed.
constexpr UINT_PTR kRequestLinesTimer = 24;
// The request lines the console keeps below the log's own text.
constexpr size_t kConsoleRequestLines = 1000;

class CWnd : public CObject {
public:
    CWnd();
    ~CWnd() override;  // destroys the window, when there is one

    // Creates a window of the class with extended style 0, no menu and no instance.
    bool Create(const wchar_t* pszClassName, const wchar_t* pszWindowText, DWORD style, int x,
                int y, int width, int height, HWND hParent);
    CString GetText() const;        // the window's whole text
    void AppendText(CString text);  // the window's text followed by text

    HWND m_hWnd;
};

// The console, owned by the main window; set while it is being created.
extern CWnd* g_pLogWnd;

// Empties the console, its log text and its request lines.
void ClearLog();

// Sends Log text to g_pLogWnd from now on. Text logged on the calling thread (the
// window's) goes in at once; text from other threads is kept and kLogPendingMessage is
// posted to hOwner, so no server thread ever waits for the window's thread.
void AttachLogConsole(HWND hOwner);
// Stops taking Log text into the console and drops what was not shown.
void DetachLogConsole();
// Moves the kept text into the console; called on the window's thread.
void FlushPendingLog();
// Whether the log's own text (above the request lines) ends a line; on the window's thread.
bool IsLogAtLineStart();

// The request log's sink, on the writer's thread: hands the batch (UTF-8 lines) to the
// window's thread with kRequestLinesMessage and a copy on the heap, without waiting. False
// when the console is detached or the window's thread has not taken the batches before.
bool PostRequestLines(const char* pLines, size_t length, const CEvent& stop);
// Takes a batch posted with kRequestLinesMessage into the newest kConsoleRequestLines
// request lines, and starts kRequestLinesTimer to show them unless it runs already; on the
// window's thread, which thus redraws the console at most ten times a second.
void TakeRequestLines(LPARAM batch);
// kRequestLinesTimer: shows the log's text and below it the kept request lines, once.
void ShowRequestLines();
