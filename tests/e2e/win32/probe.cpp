// A small Windows console tool for the GUI tests: reads text out of kovweb.exe's windows
// (not pixels), and starts and closes the program in quick succession.
//   kov_probe console                  the log console's text
//   kov_probe requests                 the request count shown by the open About box
//   kov_probe drop PATH...             drops the paths on the main window, as Explorer does
//   kov_probe close-soon EXE ROOT RUNS  starts EXE ROOT, closes its window as soon as it
//                                      exists (0 to 19 ms later, varying), RUNS times;
//                                      fails at the first run that does not end with
//                                      exit code 0 in time
#include <windows.h>

// DROPFILES; after windows.h, which it needs.
#include <shlobj.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kClassName[] = L"ZORozEzazav";
constexpr DWORD kFindTimeoutMs = 20000;
constexpr DWORD kExitTimeoutMs = 15000;

// Writes wide text to stdout as UTF-8, exactly, with no line end added.
void PrintUtf8(const std::wstring& text) {
    if (text.empty()) return;
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n,
                        nullptr, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

// The whole text of a window of another process, through WM_GETTEXT.
std::wstring WindowText(HWND hWnd) {
    LRESULT length = SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(hWnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    return std::wstring(buffer.data());
}

int PrintConsole() {
    HWND hMain = FindWindowW(kClassName, nullptr);
    if (hMain == nullptr) {
        fprintf(stderr, "no window of class ZORozEzazav\n");
        return 1;
    }
    HWND hEdit = FindWindowExW(hMain, nullptr, L"Edit", nullptr);
    if (hEdit == nullptr) {
        fprintf(stderr, "the main window has no edit control\n");
        return 1;
    }
    PrintUtf8(WindowText(hEdit));
    return 0;
}

int PrintRequests() {
    // #32770 is the dialog class.
    HWND hAbout = FindWindowW(L"#32770", L"About");
    if (hAbout == nullptr || !IsWindowVisible(hAbout)) {
        fprintf(stderr, "no About box is open\n");
        return 1;
    }
    HWND hCount = GetDlgItem(hAbout, 1001);
    if (hCount == nullptr) {
        fprintf(stderr, "the About box has no item 1001\n");
        return 1;
    }
    PrintUtf8(WindowText(hCount));
    return 0;
}

// Posts WM_DROPFILES with the paths to the main window. The drop's block is written into
// the window's process, where DragQueryFileW reads it: a fixed global block's handle is its
// address, and a handle of this process would mean nothing there.
int DropPaths(int count, wchar_t** ppPaths) {
    HWND hMain = FindWindowW(kClassName, nullptr);
    DWORD processId = 0;
    if (hMain == nullptr || GetWindowThreadProcessId(hMain, &processId) == 0) {
        fprintf(stderr, "no window of class ZORozEzazav\n");
        return 1;
    }
    std::vector<wchar_t> names;
    for (int index = 0; index < count; ++index) {
        names.insert(names.end(), ppPaths[index], ppPaths[index] + wcslen(ppPaths[index]) + 1);
    }
    names.push_back(L'\0');
    DROPFILES header;
    ZeroMemory(&header, sizeof(header));
    header.pFiles = sizeof(header);
    header.fWide = TRUE;
    std::vector<char> block(sizeof(header) + names.size() * sizeof(wchar_t));
    memcpy(block.data(), &header, sizeof(header));
    memcpy(block.data() + sizeof(header), names.data(), names.size() * sizeof(wchar_t));
    HANDLE hProcess = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, processId);
    void* pRemote = hProcess == nullptr ? nullptr
                                        : VirtualAllocEx(hProcess, nullptr, block.size(),
                                                         MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    const bool bWritten = pRemote != nullptr && WriteProcessMemory(hProcess, pRemote, block.data(),
                                                                   block.size(), nullptr);
    if (hProcess != nullptr) CloseHandle(hProcess);
    if (!bWritten || !PostMessageW(hMain, WM_DROPFILES, reinterpret_cast<WPARAM>(pRemote), 0)) {
        fprintf(stderr, "the drop could not be made: %lu\n", GetLastError());
        return 1;
    }
    return 0;
}

struct CFindRequest {
    DWORD m_nProcessId;
    HWND m_hFound;
};

BOOL CALLBACK MatchProcessWindow(HWND hWnd, LPARAM lParam) {
    CFindRequest* pRequest = reinterpret_cast<CFindRequest*>(lParam);
    DWORD processId = 0;
    GetWindowThreadProcessId(hWnd, &processId);
    wchar_t szClass[64];
    if (processId == pRequest->m_nProcessId && GetClassNameW(hWnd, szClass, 64) > 0 &&
        wcscmp(szClass, kClassName) == 0) {
        pRequest->m_hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

// The main window of the process, looked for every millisecond; null after the time-out
// or when the process has ended.
HWND WaitForMainWindow(HANDLE hProcess, DWORD processId) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < kFindTimeoutMs) {
        CFindRequest request = {processId, nullptr};
        EnumWindows(MatchProcessWindow, reinterpret_cast<LPARAM>(&request));
        if (request.m_hFound != nullptr) return request.m_hFound;
        if (WaitForSingleObject(hProcess, 1) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

// One start and close; true when the program ended with exit code 0 in time.
bool StartAndCloseOnce(const wchar_t* pszExe, const wchar_t* pszRoot, DWORD delayMs, int run) {
    std::wstring commandLine = std::wstring(L"\"") + pszExe + L"\" " + pszRoot;
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        fprintf(stderr, "run %d: CreateProcess failed: %lu\n", run, GetLastError());
        return false;
    }
    DWORD started = GetTickCount();
    bool bOk = false;
    HWND hMain = WaitForMainWindow(process.hProcess, process.dwProcessId);
    if (hMain == nullptr) {
        fprintf(stderr, "run %d: the main window did not appear\n", run);
    } else {
        Sleep(delayMs);
        PostMessageW(hMain, WM_CLOSE, 0, 0);
        DWORD closed = GetTickCount();
        if (WaitForSingleObject(process.hProcess, kExitTimeoutMs) != WAIT_OBJECT_0) {
            fprintf(stderr, "run %d: still running %lu ms after the close: hung\n", run,
                    kExitTimeoutMs);
        } else {
            DWORD code = 1;
            GetExitCodeProcess(process.hProcess, &code);
            printf("run %d: window after %lu ms, closed %lu ms later, ended in %lu ms, code %lu\n",
                   run, closed - started - delayMs, delayMs, GetTickCount() - closed, code);
            bOk = code == 0;
        }
    }
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, kExitTimeoutMs);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    fflush(stdout);
    return bOk;
}

int CloseSoon(const wchar_t* pszExe, const wchar_t* pszRoot, int runs) {
    for (int run = 0; run < runs; ++run) {
        // One hang is enough to fail; the others would only cost their time-outs.
        if (!StartAndCloseOnce(pszExe, pszRoot, static_cast<DWORD>(run % 20), run)) return 1;
    }
    printf("all %d runs ended cleanly\n", runs);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && wcscmp(argv[1], L"console") == 0) return PrintConsole();
    if (argc == 2 && wcscmp(argv[1], L"requests") == 0) return PrintRequests();
    if (argc >= 3 && wcscmp(argv[1], L"drop") == 0) return DropPaths(argc - 2, argv + 2);
    if (argc == 5 && wcscmp(argv[1], L"close-soon") == 0) {
        return CloseSoon(argv[2], argv[3], _wtoi(argv[4]));
    }
    fprintf(stderr,
            "usage: kov_probe console | requests | drop PATH... | close-soon EXE ROOT RUNS\n");
    return 2;
}
