// The program: the document root, the main window with its log console, the message loop
// with its hot keys, and the socket library's start and end.
#include "app/win32/about_box.h"
#include "app/win32/log_console.h"
#include "app/win32/resource.h"
#include "app/win32/web_root.h"
#include "foundation/log.h"
#include "server/http_thread.h"
#include "server/listen_thread.h"

HINSTANCE g_hInst = nullptr;
CListenThread* g_pListenThread = nullptr;

namespace {

const wchar_t kWindowTitle[] = L"KOV Web Server";
constexpr DWORD kConsoleStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                                ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY;

// Set by wWinMain when the command line gave a root that does not fit: nothing is served.
bool g_bRootTooLong = false;

// Fixes g_szWebRoot from the command line (without the program's name) or the program's folder.
void ChooseWebRoot() {
    wchar_t szModulePath[1024];
    DWORD length = GetModuleFileNameW(nullptr, szModulePath, 1024);
    if (length == 0 || length >= 1024) szModulePath[0] = L'\0';
    const wchar_t* pszArguments = SkipProgramName(GetCommandLineW());
    RootSource source = ChooseDocumentRoot(pszArguments, szModulePath, g_szWebRoot,
                                           sizeof(g_szWebRoot) / sizeof(g_szWebRoot[0]));
    g_bRootTooLong = source == RootSource::kTooLong;
}

}  // namespace

// Starts Windows Sockets 1.1; logs the failure code and returns false when it cannot.
bool InitSockets() {
    WSADATA data;
    int result = WSAStartup(0x0101, &data);
    if (result != 0) {
        Log(L"WSAStartup failed: %d\n", result);
        return false;
    }
    return true;
}

// Ends the use of Windows Sockets.
void CleanupSockets() {
    WSACleanup();
}

namespace {

// WM_CREATE: the console, the start-up messages, the socket library and the listener.
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
    if (g_bRootTooLong) {
        Log(L"Document root too long\r\n");
        return 0;
    }
    Log(L"Initializing sockets...\r\n");
    if (InitSockets()) {
        Log(L"Sockets Initialized OK\r\nStarting Listen Thread.\r\n");
        g_pListenThread = new CListenThread(kHttpPort);
        g_pListenThread->Start();
    } else {
        Log(L"\r\nSocket Initialization failed\r\n");
    }
    return 0;
}

// WM_DESTROY: stops the server before the console goes, so that nothing logs into a
// console that is gone; server threads never wait for this thread, so Stop cannot hang.
void OnDestroy() {
    if (g_pListenThread != nullptr) {
        g_pListenThread->Stop();
        delete g_pListenThread;
        g_pListenThread = nullptr;
    }
    DetachLogConsole();
    if (g_pLogWnd != nullptr) {
        delete g_pLogWnd;
        g_pLogWnd = nullptr;
    }
    CleanupSockets();
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
    HWND hWnd = CreateWindowExW(0, szClassName, kWindowTitle, WS_OVERLAPPEDWINDOW, 0, 0,
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
    ChooseWebRoot();
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
