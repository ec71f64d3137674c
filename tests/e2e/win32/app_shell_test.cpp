// The window shell's parts: the port and document root from the command line, the words
// for the server's state, the About box's place, and the log console fed from several
// threads without the window's thread ever being waited for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/about_box.h"
#include "app/win32/log_console.h"
#include "app/win32/status_text.h"
#include "app/win32/web_root.h"
#include "foundation/log.h"

namespace {

std::wstring Root(const wchar_t* pszArguments, const wchar_t* pszModule, RootSource expected) {
    wchar_t szRoot[1024] = L"untouched";
    EXPECT_EQ(ChooseDocumentRoot(pszArguments, pszModule, szRoot, 1024), expected)
        << "arguments: " << testing::PrintToString(std::wstring(pszArguments));
    return szRoot;
}

// An empty page.html in a folder of the given name in the temporary folder; both are
// removed again at the end.
class CFolderWithPage {
public:
    explicit CFolderWithPage(const wchar_t* pszName) {
        wchar_t szTemp[MAX_PATH];
        if (GetTempPathW(MAX_PATH, szTemp) == 0) return;
        m_folder = std::wstring(szTemp) + pszName;
        CreateDirectoryW(m_folder.c_str(), nullptr);
        HANDLE hFile =
            CreateFileW(File().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        m_bMade = hFile != INVALID_HANDLE_VALUE;
        if (m_bMade) CloseHandle(hFile);
    }
    ~CFolderWithPage() {
        DeleteFileW(File().c_str());
        RemoveDirectoryW(m_folder.c_str());
    }

    bool Made() const { return m_bMade; }
    const std::wstring& Folder() const { return m_folder; }  // without a final separator
    std::wstring File() const { return m_folder + L"\\page.html"; }

private:
    std::wstring m_folder;
    bool m_bMade = false;
};

TEST(DocumentRoot, ArgumentsLoseOnePairOfQuotesAndGainAFinalSeparator) {
    const wchar_t* pszExe = L"C:\\srv\\web.exe";
    EXPECT_EQ(Root(L"C:\\site\\", pszExe, RootSource::kCommandLine), L"C:\\site\\");
    EXPECT_EQ(Root(L"C:\\site", pszExe, RootSource::kCommandLine), L"C:\\site\\");
    EXPECT_EQ(Root(L"\"C:\\my site\"", pszExe, RootSource::kCommandLine), L"C:\\my site\\");
    EXPECT_EQ(Root(L"\"\"C:\\x\"\"", pszExe, RootSource::kCommandLine), L"\"C:\\x\"\\");
    EXPECT_EQ(Root(L"C:/site/", pszExe, RootSource::kCommandLine), L"C:/site/");
    // Characters above 0x7F arrive as themselves, not sign-extended bytes.
    EXPECT_EQ(Root(L"C:\\\u00e9t\u00e9", pszExe, RootSource::kCommandLine), L"C:\\\u00e9t\u00e9\\");
}

TEST(DocumentRoot, WithoutArgumentsTheProgramsFolderServes) {
    EXPECT_EQ(Root(L"", L"C:\\srv\\web.exe", RootSource::kProgramFolder), L"C:\\srv\\");
    EXPECT_EQ(Root(L"\"\"", L"Z:\\a b\\web.exe", RootSource::kProgramFolder), L"Z:\\a b\\");
    EXPECT_EQ(Root(L"", L"web.exe", RootSource::kDefault), L"\\webroot\\");
    EXPECT_EQ(Root(L"", L"", RootSource::kDefault), L"\\webroot\\");
}

TEST(DocumentRoot, ARootThatDoesNotFitIsRefusedNotCut) {
    // 1023 characters is the most the root may hold, separator included.
    std::wstring fits = L"C:\\" + std::wstring(1019, L'x') + L"\\";
    ASSERT_EQ(fits.size(), 1023u);
    EXPECT_EQ(Root(fits.c_str(), L"", RootSource::kCommandLine), fits);
    std::wstring needsSeparator(1023, L'x');
    EXPECT_EQ(Root(needsSeparator.c_str(), L"", RootSource::kTooLong), L"");
    std::wstring quoted = L"\"" + fits + L"\"";
    EXPECT_EQ(Root(quoted.c_str(), L"", RootSource::kCommandLine), fits);
    std::wstring longer(4000, L'y');
    EXPECT_EQ(Root(longer.c_str(), L"", RootSource::kTooLong), L"");
}

TEST(DocumentRoot, TheProgramsNameIsSkippedQuotedOrNot) {
    EXPECT_STREQ(SkipProgramName(L"\"C:\\Program Files\\kovweb.exe\" \"D:\\a b\""), L"\"D:\\a b\"");
    EXPECT_STREQ(SkipProgramName(L"kovweb.exe \t  D:\\site "), L"D:\\site ");
    EXPECT_STREQ(SkipProgramName(L"\"kovweb.exe\"D:\\x"), L"D:\\x");
    EXPECT_STREQ(SkipProgramName(L"\"kovweb.exe\""), L"");
    EXPECT_STREQ(SkipProgramName(L"kovweb.exe"), L"");
    EXPECT_STREQ(SkipProgramName(L""), L"");
}

// The root's text after the options, or "refused: WHY"; port and *pOptions (when given) get
// the options' values.
std::wstring AfterOptions(const wchar_t* pszArguments, unsigned short& port,
                          CStartOptions* pOptions = nullptr) {
    std::wstring refusal;
    CStartOptions options;
    options.m_nPort = port;
    const wchar_t* pszRoot = TakeOptions(pszArguments, options, refusal);
    port = options.m_nPort;
    if (pOptions != nullptr) *pOptions = options;
    return pszRoot != nullptr ? std::wstring(pszRoot) : L"refused: " + refusal;
}

TEST(CommandLine, APortOptionMayComeInFrontOfTheRootWhichStaysAsTyped) {
    unsigned short port = 80;
    EXPECT_EQ(AfterOptions(L"C:\\my site\\ ", port), L"C:\\my site\\ ");
    EXPECT_EQ(AfterOptions(L"\"C:\\a b\"", port), L"\"C:\\a b\"");
    EXPECT_EQ(port, 80);
    EXPECT_EQ(AfterOptions(L"--port 8080 C:\\site", port), L"C:\\site");
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(AfterOptions(L"-p\t 81", port), L"");
    EXPECT_EQ(port, 81);
    EXPECT_EQ(AfterOptions(L"--port=82 --port 83 \"D:\\x y\"", port), L"\"D:\\x y\"");
    EXPECT_EQ(port, 83);
    EXPECT_EQ(AfterOptions(L"-- --port", port), L"--port");
    CStartOptions options;
    EXPECT_EQ(AfterOptions(L"--port 84 --quiet --no-listing C:\\site", port, &options),
              L"C:\\site");
    EXPECT_FALSE(options.m_server.m_bLogRequests);
    EXPECT_FALSE(options.m_server.m_bListFolders);
    EXPECT_EQ(port, 84);
    EXPECT_EQ(AfterOptions(L"-q", port, &options), L"");
    EXPECT_FALSE(options.m_server.m_bLogRequests);
    EXPECT_TRUE(options.m_server.m_bListFolders);
    EXPECT_EQ(AfterOptions(L"-- -q", port, &options), L"-q");
    EXPECT_TRUE(options.m_server.m_bLogRequests);
    EXPECT_EQ(AfterOptions(L"- x", port), L"- x");
}

TEST(CommandLine, ABindOptionTakesTheFormsOfThePortOption) {
    const struct {
        const wchar_t* m_pszArguments;
        const char* m_pszHost;
    } cases[] = {
        {L"--bind 127.0.0.1 C:\\site", "127.0.0.1"},
        {L"-b localhost C:\\site", "localhost"},
        {L"--bind=[::1] --port 81 C:\\site", "[::1]"},
        {L"--bind ::1 --bind=192.0.2.7 C:\\site", "192.0.2.7"},
    };
    for (const auto& c : cases) {
        unsigned short port = 80;
        CStartOptions options;
        EXPECT_EQ(AfterOptions(c.m_pszArguments, port, &options), L"C:\\site") << c.m_pszHost;
        const CListenAddress& address = options.m_address;
        EXPECT_EQ(ListenAddressHost(address), c.m_pszHost);
    }
}

TEST(CommandLine, RefusalsAreThoseOfTheTerminalProgram) {
    unsigned short port = 80;
    EXPECT_EQ(AfterOptions(L"--port 70000 C:\\site", port),
              L"refused: port must be 1 to 65535, not '70000'");
    EXPECT_EQ(AfterOptions(L"--port=0", port), L"refused: port must be 1 to 65535, not '0'");
    EXPECT_EQ(AfterOptions(L"--port C:\\site", port),
              L"refused: port must be 1 to 65535, not 'C:\\site'");
    EXPECT_EQ(AfterOptions(L"--port", port), L"refused: option '--port' needs a value");
    EXPECT_EQ(AfterOptions(L"-p ", port), L"refused: option '-p' needs a value");
    EXPECT_EQ(AfterOptions(L"--prot 8080 C:\\site", port), L"refused: unknown option '--prot'");
    EXPECT_EQ(AfterOptions(L"--bind", port), L"refused: option '--bind' needs a value");
    EXPECT_EQ(AfterOptions(L"-b 192.0.2 C:\\site", port),
              L"refused: bind address must be an IPv4 or IPv6 address or 'localhost', not "
              L"'192.0.2'");
    EXPECT_EQ(port, 80);
}

TEST(RootCheck, AFolderServesAndAnythingElseIsSaidInWords) {
    const CFolderWithPage made(L"kov-root-check");
    ASSERT_TRUE(made.Made());
    const std::wstring folder = made.Folder() + L"\\";
    EXPECT_EQ(RootRefusal(folder.c_str()), L"");
    EXPECT_EQ(RootRefusal((folder + L"page.html\\").c_str()), L"not a folder");
    EXPECT_EQ(RootRefusal((folder + L"nope\\").c_str()), L"no such folder");
    EXPECT_EQ(RootRefusal((folder + L"nope\\deeper\\").c_str()), L"no such folder");
}

TEST(StatusText, WhereItServesThenHowToSeeTheCountAndStop) {
    const std::wstring hint =
        L"Alt+/ shows the number of requests so far; closing this window stops the server.\r\n";
    const CListenAddress every;
    EXPECT_EQ(ServingText(L"C:\\site\\", 80, every, {}),
              L"Serving C:\\site\\ on http://localhost/\r\n" + hint);
    EXPECT_EQ(ServingText(L"C:\\site\\", 8080, every, {0xC0A80114u}),
              L"Serving C:\\site\\ on http://localhost:8080/\r\n"
              L"Also on this network: http://192.168.1.20:8080/\r\n" +
                  hint);
    // Bound to one address, that is the only one named.
    CListenAddress bound;
    ASSERT_TRUE(ParseListenAddress("127.0.0.1", bound));
    EXPECT_EQ(ServingText(L"C:\\site\\", 80, bound, {0xC0A80114u}),
              L"Serving C:\\site\\ on http://127.0.0.1/ (this computer only)\r\n" + hint);
    ASSERT_TRUE(ParseListenAddress("192.168.1.20", bound));
    EXPECT_EQ(ServingText(L"C:\\site\\", 80, bound, {0xC0A80114u, 0x0A000005u}),
              L"Serving C:\\site\\ on http://192.168.1.20/\r\n" + hint);
    // With a password the user is named, in UTF-8 as given.
    ASSERT_TRUE(ParseListenAddress("127.0.0.1", bound));
    EXPECT_EQ(ServingText(L"C:\\site\\", 80, bound, {}, "j\xC3\xBCrgen"),
              L"Serving C:\\site\\ on http://127.0.0.1/ (this computer only; password required)\r\n"
              L"User name: j\u00FCrgen\r\n" +
                  hint);
}

TEST(StatusText, ListenFailuresAreExplainedInWords) {
    const CListenAddress every;
    CListenAddress remote;
    ASSERT_TRUE(ParseListenAddress("192.0.2.7", remote));
    const struct {
        unsigned short m_nPort;
        const CListenAddress& m_bound;
        int m_nError;
        const wchar_t* m_pszSaid;
    } cases[] = {
        {80, remote, WSAEADDRNOTAVAIL,
         L"Cannot listen on 192.0.2.7: that address is not this computer's. Start kovweb.exe "
         L"with another --bind address, or without it.\r\n"},
        {80, every, WSAEADDRINUSE,
         L"Port 80 is in use by another program. Close it, or start kovweb.exe with "
         L"--port 8080 and a folder.\r\n"},
        {8080, every, WSAEADDRINUSE,
         L"Port 8080 is in use by another program. Close it, or start kovweb.exe with "
         L"--port 8081 and a folder.\r\n"},
        {80, every, WSAEACCES,
         L"Port 80 is reserved or blocked on this machine (access denied). Start "
         L"kovweb.exe with --port 8080 and a folder.\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ListenFailureText(c.m_nPort, c.m_bound, c.m_nError), c.m_pszSaid);
    }
    // Anything else in the system's own words, on one line.
    const std::wstring other = ListenFailureText(80, every, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(other,
              L"Cannot listen on port 80: " + SystemMessageText(ERROR_NOT_ENOUGH_MEMORY) + L"\r\n");
    EXPECT_NE(SystemMessageText(ERROR_NOT_ENOUGH_MEMORY), L"error 8");
    EXPECT_EQ(SystemMessageText(0x2FFFFFFF), L"error 805306367");
}

TEST(DroppedFolder, OneFolderIsSharedAFileOrSeveralItemsAreRefused) {
    const CFolderWithPage made(L"kov-dropped");
    ASSERT_TRUE(made.Made());
    const std::wstring& folder = made.Folder();
    const std::wstring file = made.File();
    const struct {
        std::vector<std::wstring> m_items;
        std::wstring m_said;  // the root, or the refusal
    } cases[] = {
        {{folder}, folder + L"\\"},
        {{folder + L"\\"}, folder + L"\\"},
        {{file}, L"Cannot share " + file + L": not a folder; drop a folder to share it.\r\n"},
        {{folder, file}, L"Cannot share 2 dropped items: drop one folder to share it.\r\n"},
    };
    for (const auto& c : cases) {
        std::wstring root;
        std::wstring refusal;
        const bool bShared = ChooseDroppedRoot(c.m_items, root, refusal);
        EXPECT_EQ(bShared ? root : refusal, c.m_said);
        EXPECT_TRUE(bShared ? refusal.empty() : root.empty());
    }
}

TEST(AboutBox, SitsInTheMiddleOfTheOwnersClientAreaNeverOffIt) {
    POINT middle = CenteredOrigin(800, 600, 200, 100);
    EXPECT_EQ(middle.x, 300);
    EXPECT_EQ(middle.y, 250);
    POINT odd = CenteredOrigin(801, 601, 200, 100);
    EXPECT_EQ(odd.x, 300);
    EXPECT_EQ(odd.y, 250);
    POINT cramped = CenteredOrigin(150, 600, 200, 700);
    EXPECT_EQ(cramped.x, 0);
    EXPECT_EQ(cramped.y, 0);
}

// An owner window like the main one: it moves kept log text into the console.
LRESULT CALLBACK OwnerProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kLogPendingMessage) {
        FlushPendingLog();
        return 0;
    }
    if (message == kRequestLinesMessage) {
        TakeRequestLines(lParam);
        return 0;
    }
    if (message == WM_TIMER && wParam == kRequestLinesTimer) {
        ShowRequestLines();
        return 0;
    }
    return DefWindowProcW(hWnd, message, wParam, lParam);
}

class LogConsole : public testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = OwnerProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"KovTestOwner";
        RegisterClassW(&windowClass);
        m_hOwner = CreateWindowExW(0, L"KovTestOwner", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 300,
                                   200, nullptr, nullptr, windowClass.hInstance, nullptr);
        ASSERT_NE(m_hOwner, nullptr) << "no window: is there a display?";
        g_pLogWnd = new CWnd();
        ASSERT_TRUE(g_pLogWnd->Create(L"edit", L"Test Text", WS_CHILD | ES_MULTILINE | ES_READONLY,
                                      0, 0, 300, 200, m_hOwner));
        AttachLogConsole(m_hOwner);
    }
    void TearDown() override {
        DetachLogConsole();
        delete g_pLogWnd;
        g_pLogWnd = nullptr;
        if (m_hOwner != nullptr) DestroyWindow(m_hOwner);
    }

    // Handles the window thread's messages until none is left.
    static void PumpMessages() {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }

    static std::wstring ConsoleText() { return g_pLogWnd->GetText().GetString(); }

    HWND m_hOwner = nullptr;
};

TEST_F(LogConsole, ClearedConsoleShowsExactlyWhatIsLoggedOnTheWindowsThread) {
    EXPECT_EQ(ConsoleText(), L"Test Text");
    ClearLog();
    EXPECT_EQ(ConsoleText(), L"");
    Log(L"Initializing sockets...\r\n");
    EXPECT_EQ(ConsoleText(), L"Initializing sockets...\r\n");
    Log(L"WSAStartup failed: %d\n", 10091);
    EXPECT_EQ(ConsoleText(), L"Initializing sockets...\r\nWSAStartup failed: 10091\n");
}

TEST_F(LogConsole, OtherThreadsNeverWaitForTheWindowsThread) {
    ClearLog();
    // The window's thread joins the writers without handling messages, as it does while
    // it stops the server; a writer that waited for it would never end.
    constexpr int kThreads = 4;
    constexpr int kMessages = 50;
    std::atomic<int> finished(0);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &finished] {
            for (int i = 0; i < kMessages; ++i) Log(L"%c%d;", static_cast<wchar_t>(L'A' + t), i);
            finished.fetch_add(1);
        });
    }
    DWORD start = GetTickCount();
    while (finished.load() < kThreads && GetTickCount() - start < 10000) Sleep(10);
    EXPECT_EQ(finished.load(), kThreads) << "writers waited for the window's thread";
    // Free writers that did wait, so that the test ends either way.
    while (finished.load() < kThreads) {
        PumpMessages();
        Sleep(10);
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(ConsoleText(), L"") << "kept text goes in on the window's thread only";
    PumpMessages();
    std::wstring text = ConsoleText();
    // Every message arrives whole, each writer's in its own order.
    for (int t = 0; t < kThreads; ++t) {
        size_t position = 0;
        for (int i = 0; i < kMessages; ++i) {
            std::wstring message =
                std::wstring(1, static_cast<wchar_t>(L'A' + t)) + std::to_wstring(i) + L";";
            size_t found = text.find(message, position);
            ASSERT_NE(found, std::wstring::npos) << "writer " << t << " message " << i;
            position = found + message.size();
        }
    }
    size_t expectedLength = 0;
    for (int i = 0; i < kMessages; ++i) expectedLength += 2 + std::to_wstring(i).size();
    EXPECT_EQ(text.size(), expectedLength * kThreads);
}

TEST_F(LogConsole, KeptTextGoesInBeforeTheWindowsThreadsOwnMessage) {
    ClearLog();
    std::thread listener([] { Log(L"Starting Threads\r\n"); });
    listener.join();
    Log(L"Listening...");
    EXPECT_EQ(ConsoleText(), L"Starting Threads\r\nListening...");
}

TEST_F(LogConsole, NothingReachesTheConsoleAfterItIsDetached) {
    ClearLog();
    DetachLogConsole();
    std::thread late([] { Log(L"late\r\n"); });
    late.join();
    Log(L"also late\r\n");
    PumpMessages();
    EXPECT_EQ(ConsoleText(), L"");
}

// "1.2.3.4 - - [...] \"GET /<i> HTTP/1.1\" 200 5" and its line end, as bytes or as shown.
std::string RequestLine(int i) {
    return "10.0.0.9 - - [09/Dec/2026:14:03:07 +0100] \"GET /" + std::to_string(i) +
           " HTTP/1.1\" 200 5\n";
}

TEST_F(LogConsole, ACrowdsLinesKeepTheLogOnTopAndOnlyTheNewestThousandBelow) {
    ClearLog();
    Log(L"Initializing sockets...\r\nServing C:\\site\\\r\n");
    constexpr int kLines = 10000;
    std::string crowd;
    for (int i = 0; i < kLines; ++i) crowd += RequestLine(i);
    const std::string last =
        "10.0.0.9 - - [09/Dec/2026:14:03:08 +0100] \"GET /\xc3\xa9t\xc3\xa9 HTTP/1.1\" 200 5\n";
    CEvent stop;
    bool bPosted = false;
    // Posted from another thread, as the writer does; the sink never waits for this one.
    std::thread writer([&] {
        bPosted = PostRequestLines(crowd.data(), crowd.size(), stop) &&
                  PostRequestLines(last.data(), last.size(), stop);
    });
    writer.join();
    ASSERT_TRUE(bPosted);
    EXPECT_EQ(ConsoleText(), L"Initializing sockets...\r\nServing C:\\site\\\r\n")
        << "request lines are shown by the timer, not as they come";

    // The window's thread takes both batches and shows them once, and is never held long.
    DWORD longest = 0;
    const DWORD start = GetTickCount();
    while (ConsoleText().find(L"/\u00e9t\u00e9") == std::wstring::npos &&
           GetTickCount() - start < 10000) {
        MSG msg;
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            Sleep(5);
            continue;
        }
        const DWORD before = GetTickCount();
        DispatchMessageW(&msg);
        longest = std::max<DWORD>(longest, GetTickCount() - before);
    }
    EXPECT_LT(longest, 1000u) << "the window's thread was busy with one message that long";

    std::wstring expected = L"Initializing sockets...\r\nServing C:\\site\\\r\n";
    for (int i = kLines - kConsoleRequestLines + 1; i < kLines; ++i) {
        const std::string line = RequestLine(i);
        expected += std::wstring(line.begin(), line.end() - 1) + L"\r\n";
    }
    expected +=
        L"10.0.0.9 - - [09/Dec/2026:14:03:08 +0100] \"GET /\u00e9t\u00e9 HTTP/1.1\" 200 5\r\n";
    EXPECT_EQ(ConsoleText(), expected);

    // A later message of the log's own goes above the request lines.
    const std::wstring later = L"Serving D:\\other\\\r\n";
    Log(L"%s", later.c_str());
    const std::wstring top = L"Initializing sockets...\r\nServing C:\\site\\\r\n" + later;
    EXPECT_EQ(ConsoleText().substr(0, top.size()), top);
    EXPECT_EQ(ConsoleText().size(), expected.size() + later.size());
}

TEST(Wnd, CreateWithAnUnknownClassFailsAndHoldsNoWindow) {
    CWnd wnd;
    EXPECT_FALSE(wnd.Create(L"KovNoSuchClass", L"", WS_POPUP, 0, 0, 10, 10, nullptr));
    EXPECT_EQ(wnd.m_hWnd, nullptr);
}

}  // namespace
