// The window shell's parts: the document root from the command line, the About box's
// place, and the log console fed from several threads without the window's thread ever
// being waited for.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "app/win32/about_box.h"
#include "app/win32/log_console.h"
#include "app/win32/web_root.h"
#include "foundation/log.h"

namespace {

std::wstring Root(const wchar_t* pszArguments, const wchar_t* pszModule, RootSource expected) {
    wchar_t szRoot[1024] = L"untouched";
    EXPECT_EQ(ChooseDocumentRoot(pszArguments, pszModule, szRoot, 1024), expected)
        << "arguments: " << testing::PrintToString(std::wstring(pszArguments));
    return szRoot;
}

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

TEST(Wnd, CreateWithAnUnknownClassFailsAndHoldsNoWindow) {
    CWnd wnd;
    EXPECT_FALSE(wnd.Create(L"KovNoSuchClass", L"", WS_POPUP, 0, 0, 10, 10, nullptr));
    EXPECT_EQ(wnd.m_hWnd, nullptr);
}

}  // namespace
