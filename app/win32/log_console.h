// The log console: an owning window wrapper, and the sink that carries Log text into the
// console's edit control on the window's own thread.
#pragma once

#include "foundation/object.h"
#include "foundation/platform_types.h"
#include "foundation/wide_string.h"

// Posted to the console's owner when text from another thread waits for the console.
constexpr UINT kLogPendingMessage = WM_APP + 1;

class CWnd : public CObject {
public:
    CWnd();
    ~CWnd() override;  // destroys the window, when there is one
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    // Creates a window of the class with extended style 0, no menu and no instance.
    bool Create(const wchar_t* pszClassName, const wchar_t* pszWindowText, DWORD style, int x,
                int y, int width, int height, HWND hParent);
    CString GetText() const;        // the window's whole text
    void AppendText(CString text);  // the window's text followed by text

    HWND m_hWnd;
};

// The console, owned by the main window; set while it is being created.
extern CWnd* g_pLogWnd;

// Empties the console.
void ClearLog();

// Sends Log text to g_pLogWnd from now on. Text logged on the calling thread (the
// window's) goes in at once; text from other threads is kept and kLogPendingMessage is
// posted to hOwner, so no server thread ever waits for the window's thread.
void AttachLogConsole(HWND hOwner);
// Stops taking Log text into the console and drops what was not shown.
void DetachLogConsole();
// Moves the kept text into the console; called on the window's thread.
void FlushPendingLog();
