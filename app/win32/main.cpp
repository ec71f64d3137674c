// The program: the command line, the main window with its log console and the folders
// dropped on it, the message loop with its hot keys, and what the window says about the
// server.
#include <string>
#include <vector>

#include "app/server_session.h"
#include "app/win32/about_box.h"
#include "app/win32/log_console.h"
#include "app/win32/resource.h"
#include "app/win32/status_text.h"
#include "app/win32/web_root.h"
#include "foundation/log.h"
#include "foundation/network.h"

// After the socket and window headers, which it needs.
#include <shellapi.h>

HINSTANCE g_hInst = nullptr;

namespace {

const wchar_t kWindowTitle[] = L"KOV Web Server";
constexpr DWORD kConsoleStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                                ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY;
// Posted to the main window by the listener's thread once it listens or has failed.
constexpr UINT kListenOutcomeMessage = WM_APP + 2;

CStartOptions g_options;  // from the command line
// Set by wWinMain when the command line cannot be served: the console shows it, and
// nothing is served.
std::wstring g_refusal;
// Whether that was the options: then no dropped folder can start the server either.
bool g_bOptionsRefused = false;
// The folder being served: the command line's, then the last one dropped; on the window's
// thread.
std::wstring g_servedRoot;

// Text with "\r\n" line ends, as the console shows lines, from text with "\n" ones.
std::wstring WindowsLineEnds(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

// Takes the port and g_szWebRoot from the command line (without the program's name) or the
// program's folder, and notes in g_refusal why they cannot be served.
void ReadCommandLine() {
    wchar_t szModulePath[1024];
    DWORD length = GetModuleFileNameW(nullptr, szModulePath, 1024);
    if (length == 0 || length >= 1024) szModulePath[0] = L'\0';
    std::wstring why;
    const wchar_t* pszRoot = TakeOptions(SkipProgramName(GetCommandLineW()), g_options, why);
    if (pszRoot == nullptr || g_options.m_bHelp || g_options.m_bVersion) {
        g_refusal = (pszRoot == nullptr ? L"Cannot start: " + why + L"\r\n" : std::wstring()) +
                    WindowsLineEnds(UsageText());
        g_bOptionsRefused = true;
        return;
    }
    RootSource source = ChooseDocumentRoot(pszRoot, szModulePath, g_szWebRoot,
                                           sizeof(g_szWebRoot) / sizeof(g_szWebRoot[0]));
    if (source == RootSource::kTooLong) {
        g_refusal = L"Document root too long\r\n";
        return;
    }
    why = RootRefusal(g_szWebRoot);
    if (!why.empty()) {
        g_refusal = L"Cannot serve " + std::wstring(g_szWebRoot) + L": " + why + L"\r\n";
    }
}

// The listener's outcome callback: hands the news to the window's thread without waiting.
void PostListenOutcome(void* pMainWindow) {
    PostMessageW(static_cast<HWND>(pMainWindow), kListenOutcomeMessage, 0, 0);
}

// Writes text to the console starting on a line of its own; on the window's thread.
void LogOnOwnLine(const std::wstring& text) {
    FlushPendingLog();
    Log(L"%s%s", IsLogAtLineStart() ? L"" : L"\r\n", text.c_str());
}

// Says where the folder is served, or why the port could not be listened on.
void OnListenOutcome() {
    if (g_pListenThread == nullptr) return;
    const CListenStatus& status = g_pListenThread->GetStatus();
    if (status.GetState() == ListenState::kListening) {
        LogOnOwnLine(ServingText(FullPathForDisplay(g_servedRoot.c_str()), status.GetPort(),
                                 g_options.m_address, GetNetworkAddresses(),
                                 g_options.m_server.m_credentials.GetUser()));
        // Request lines go below the serving lines, never above them.
        if (g_options.m_server.m_bLogRequests) SetRequestLogSink(PostRequestLines);
    } else if (status.GetState() == ListenState::kFailed) {
        LogOnOwnLine(ListenFailureText(g_options.m_nPort, g_options.m_address, status.GetError()));
    }
}

// Starts the server on root, as the window's creation does; what it says comes from the
// listener's outcome.
void StartServing(HWND hWnd, const std::wstring& root) {
    g_servedRoot = root;
    StartServer(root.c_str(), g_options, PostListenOutcome, hWnd);
}

// The paths of the dropped items; releases the drop.
std::vector<std::wstring> TakeDroppedItems(HDROP hDrop) {
    std::vector<std::wstring> items;
    const UINT count = DragQueryFileW(hDrop, 0xFFFFFFFF, nullptr, 0);
    for (UINT index = 0; index < count; ++index) {
        std::wstring path(DragQueryFileW(hDrop, index, nullptr, 0) + 1, L'\0');
        path.resize(DragQueryFileW(hDrop, index, &path[0], static_cast<UINT>(path.size())));
        items.push_back(path);
    }
    DragFinish(hDrop);
    return items;
}

// WM_DROPFILES: one folder is shared from now on, said with a new serving line; anything
// else is refused in words and changes nothing.
void OnDropFiles(HWND hWnd, HDROP hDrop) {
    std::wstring root;
    std::wstring refusal;
    if (!ChooseDroppedRoot(TakeDroppedItems(hDrop), root, refusal)) {
        LogOnOwnLine(refusal);
        return;
    }
    if (g_bOptionsRefused) {
        LogOnOwnLine(L"Cannot share " + root +
                     L": start kovweb.exe with options it understands.\r\n");
        return;
    }
    const ListenState state =
        g_pListenThread != nullptr ? g_pListenThread->GetStatus().GetState() : ListenState::kFailed;
    if (state == ListenState::kFailed) {
        // Nothing is served (the start refused its root, or could not listen): start anew.
        StopServer();
        StartServing(hWnd, root);
        return;
    }
    if (!ShareFolder(root.c_str())) {
        LogOnOwnLine(L"Cannot share " + root + L": it cannot be opened.\r\n");
        return;
    }
    g_servedRoot = root;
    // While the listener is still setting up, its outcome names the new folder.
    if (state == ListenState::kListening) OnListenOutcome();
}

// WM_CREATE: the console, then the start-up messages and the server, or why not.
LRESULT OnCreate(HWND hWnd) {
    g_pLogWnd = new CWnd();
    if (!g_pLogWnd->Create(L"edit", L"Test Text", kConsoleStyle, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT,
                           hWnd)) {
        return -1;
    }
    ShowWindow(g_pLogWnd->m_hWnd, SW_SHOW);
    UpdateWindow(g_pLogWnd->m_hWnd);
    ClearLog();
    AttachLogConsole(hWnd);
    if (!g_refusal.empty()) {
        Log(L"%s", g_refusal.c_str());
        return 0;
    }
    StartServing(hWnd, g_szWebRoot);
    return 0;
}

// WM_DESTROY: stops the server before the console goes, so that nothing logs into a
// console that is gone; server threads never wait for this thread, so the stop cannot hang.
void OnDestroy() {
    StopServer();
    SetRequestLogSink(nullptr);
    DetachLogConsole();
    if (g_pLogWnd != nullptr) {
        delete g_pLogWnd;
        g_pLogWnd = nullptr;
    }
    PostQuitMessage(0);
}

}  // namespace

// The main window's procedure.
LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return OnCreate(hWnd);
        case WM_SIZE:
            if (g_pLogWnd != nullptr && g_pLogWnd->m_hWnd != nullptr) {
                MoveWindow(g_pLogWnd->m_hWnd, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            }
            return 0;
        case kLogPendingMessage:
            FlushPendingLog();
            return 0;
        case kRequestLinesMessage:
            TakeRequestLines(lParam);
            return 0;
        case WM_TIMER:
            if (wParam == kRequestLinesTimer) ShowRequestLines();
            return 0;
        case kListenOutcomeMessage:
            OnListenOutcome();
            return 0;
        case WM_DROPFILES:
            OnDropFiles(hWnd, reinterpret_cast<HDROP>(wParam));
            return 0;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDM_EXIT:
                    DestroyWindow(hWnd);
                    return 0;
                case IDM_ABOUT:
                    DialogBoxParamW(g_hInst, MAKEINTRESOURCEW(IDD_ABOUTBOX), hWnd, AboutProc, 0);
                    return 0;
                default:
                    return DefWindowProcW(hWnd, message, wParam, lParam);
            }
        case WM_DESTROY:
            OnDestroy();
            return 0;
        default:
            return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}

// Registers the main window's class: whole repaint on resize, the program's icon, white.
ATOM RegisterMainWindowClass(HINSTANCE hInstance, const wchar_t* pszClassName) {
    WNDCLASSW windowClass;
    ZeroMemory(&windowClass, sizeof(windowClass));
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WndProc;
    windowClass.hInstance = hInstance;
    windowClass.hIcon = LoadIconW(hInstance, MAKEINTRESOURCEW(IDI_APPICON));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = pszClassName;
    return RegisterClassW(&windowClass);
}

// Registers the class and creates and shows the main window; false when there is none.
bool InitInstance(HINSTANCE hInstance, int nCmdShow, HWND* phWnd) {
    g_hInst = hInstance;
    wchar_t szClassName[100];
    if (LoadStringW(hInstance, IDS_CLASSNAME, szClassName, 100) == 0) szClassName[0] = L'\0';
    RegisterMainWindowClass(hInstance, szClassName);
    // A folder dropped from Explorer anywhere on the window is offered to it.
    HWND hWnd =
        CreateWindowExW(WS_EX_ACCEPTFILES, szClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, 0, 0,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    if (hWnd == nullptr) return false;
    ShowWindow(hWnd, nCmdShow);
    UpdateWindow(hWnd);
    *phWnd = hWnd;
    return true;
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, PWSTR /*pszCmdLine*/,
                    int nCmdShow) {
    // The wide command line keeps non-ASCII paths intact.
    ReadCommandLine();
    HWND hMainWnd = nullptr;
    if (!InitInstance(hInstance, nCmdShow, &hMainWnd)) return 0;
    HACCEL hAccelerators = LoadAcceleratorsW(hInstance, MAKEINTRESOURCEW(IDR_HOTKEYS));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // The hot keys belong to the main window whichever child has the focus.
        if (TranslateAcceleratorW(hMainWnd, hAccelerators, &msg) == 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}
