// Requests over a real connection that Win32 paths would let out of the document root or
// onto something that is not a file: colons and alternate data streams, device names,
// trailing dots and blanks, drive letters, UNC and \\?\ forms. And the UTF-8 names that
// must reach their files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "server/listen_thread.h"
#include "tests/server/server_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_client.h"

namespace {

class Win32Confinement : public testing::Test {
protected:
    Win32Confinement() : m_listener(0) {}

    void SetUp() override {
        m_root.WriteFile("index.html", "<p>home</p>");
        m_root.WriteFile("sub/page.html", "<p>sub</p>");
        WriteWide(L"caf\u00e9.txt", "coffee");
        WriteWide(L"\u65e5\u672c.txt", "nihon");
        // Beside the root, where no request may reach.
        std::ofstream(m_root.Outside() / "secret.txt", std::ios::binary) << "secret";
        ASSERT_TRUE(m_listener.Start());
        ASSERT_TRUE(WaitUntil([this] { return m_listener.GetPort() != 0; }, kTestReadTimeoutMs));
    }
    void TearDown() override { m_listener.Stop(); }

    void WriteWide(const std::wstring& name, const std::string& bytes) {
        // A wide name: a narrow one would be read in the ANSI code page.
        std::ofstream(std::filesystem::path(m_root.Folder().wstring() + L"\\" + name),
                      std::ios::binary)
            << bytes;
    }

    // One request on a fresh connection; the status, or 0 when no whole answer came.
    int Status(const std::string& method, const std::string& target, std::string* pBody = nullptr) {
        CTestClient client;
        if (!client.Connect(m_listener.GetPort())) return 0;
        if (!client.SendText(method + " " + target + " HTTP/1.1\r\n\r\n")) return 0;
        CTestResponse response;
        if (!client.ReadResponse(response, method == "HEAD")) return 0;
        if (pBody != nullptr) *pBody = response.m_body;
        // The 404 page's length is what was sent.
        if (method == "GET") {
            EXPECT_EQ(response.m_nContentLength, static_cast<long long>(response.m_body.size()));
        }
        return response.m_nStatus;
    }

    CLogCapture m_log;
    CTempWebRoot m_root;
    CListenThread m_listener;
};

TEST_F(Win32Confinement, UTF8TargetsReachTheirUTF16Files) {
    std::string body;
    EXPECT_EQ(Status("GET", "/caf%C3%A9.txt", &body), 200);
    EXPECT_EQ(body, "coffee");
    EXPECT_EQ(Status("GET", "/%E6%97%A5%E6%9C%AC.txt", &body), 200);
    EXPECT_EQ(body, "nihon");
    EXPECT_EQ(Status("HEAD", "/caf%C3%A9.txt"), 200);
    // Bytes that are not UTF-8 are taken byte for character: Latin-1 finds the same file.
    EXPECT_EQ(Status("GET", "/caf%E9.txt", &body), 200);
    EXPECT_EQ(body, "coffee");
    EXPECT_EQ(Status("GET", "/sub/page.html", &body), 200);
    EXPECT_EQ(body, "<p>sub</p>");
}

TEST_F(Win32Confinement, NamesThatWin32ReadsOtherwiseAreNotFound) {
    const char* const targets[] = {
        // Alternate data streams: the main stream of a file that exists, and named ones.
        "/index.html::$DATA", "/index.html:%24DATA", "/index.html%3A%3A%24DATA", "/index.html:x",
        "/sub:stream",
        // Devices, in any segment, with or without an extension.
        "/CON", "/con.html", "/sub/NUL", "/sub/nul.txt", "/AUX/index.html", "/COM1", "/lpt9.txt",
        "/CONIN$", "/conout%24", "/COM%C2%B9",
        // What the file system would trim to another, existing name.
        "/index.html.", "/index.html%20", "/index.html.%20.", "/sub./page.html",
        "/sub%20/page.html",
        // Ways out of the root: drive letters, UNC, \\?\ and \\.\ forms, climbing.
        "/C:/windows/win.ini", "/Z:%5Cetc%5Cpasswd", "/%5C%5C%3F%5CC:%5Cwindows%5Cwin.ini",
        "//?/C:/windows/win.ini", "/%5C%5C.%5CNUL", "//./CON", "//localhost/c$/windows/win.ini",
        "/%5C%5Clocalhost%5Cc%24%5Cwindows%5Cwin.ini", "/../secret.txt",
        "/sub/..%5C..%5Csecret.txt", "/%2E%2E/secret.txt", "/..%5Csecret.txt"};
    for (const char* pszTarget : targets) {
        EXPECT_EQ(Status("GET", pszTarget), 404) << pszTarget;
        EXPECT_EQ(Status("HEAD", pszTarget), 404) << pszTarget;
    }
    // The server is still serving after all of them.
    EXPECT_EQ(Status("GET", "/"), 200);
}

}  // namespace
