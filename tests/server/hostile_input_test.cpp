// A running listener against hostile requests: every way out of the document root, names
// the host reads otherwise, links, malformed and oversized heads, bodies mixed with
// pipelining, random bytes. Whatever comes back must be whole, must never hold the secret
// kept beside the root, and the server must go on serving.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "server/listen_thread.h"
#include "tests/server/server_test_support.h"
#include "tests/support/hostile_wire.h"
#include "tests/support/links.h"
#include "tests/support/log_capture.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

const char kSecret[] = "KOV-SECRET-7f3a9c1e";
const char kLongSecretName[] = "secret_file_with_a_long_name.txt";
const char kLongInsideName[] = "inside_file_with_a_long_name.html";
const char kControlBytesInHeader[] = "GET /a.txt HTTP/1.1\r\nX: a\0b\x01\x7f\r\n\r\n";

std::string Get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\n\r\n";
}
std::string Head(const std::string& target) {
    return "HEAD " + target + " HTTP/1.1\r\n\r\n";
}

class HostileInputTest : public ::testing::Test {
protected:
    HostileInputTest() : m_listener(0) {}

    void SetUp() override {
        m_root.WriteFile("index.html", "<p>home</p>");
        m_root.WriteFile("a.txt", "hello");
        m_root.WriteFile("sub/page.html", "page");
        m_root.WriteFile(kLongInsideName, "inside");
        // Beside the root, where no request may reach.
        WriteBeside("secret.txt");
        WriteBeside(kLongSecretName);
        WriteBeside("outdir/inner.txt");
        ASSERT_TRUE(m_listener.Start());
        ASSERT_TRUE(WaitUntil([this] { return m_listener.GetPort() != 0; }, kTestReadTimeoutMs));
    }
    void TearDown() override { m_listener.Stop(); }

    void WriteBeside(const std::string& relative) {
        const fs::path path = m_root.Outside() / fs::u8path(relative);
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << kSecret;
    }

    // The statuses answered to bytes on one connection, with every answer checked.
    std::vector<int> Statuses(const std::string& bytes, const std::string& context) {
        return CheckedStatuses(SendAndCollect(m_listener.GetPort(), bytes), kSecret, context);
    }
    // GET then HEAD of target on one connection must both be 404; a target with a blank
    // makes no request line, and its refusal ends the connection.
    void ExpectNotFound(const std::string& target) {
        const std::vector<int> expected = target.find(' ') == std::string::npos
                                              ? std::vector<int>{404, 404}
                                              : std::vector<int>{400};
        EXPECT_EQ(Statuses(Get(target) + Head(target), target), expected);
    }
    // GET of target gives exactly body.
    void ExpectServed(const std::string& target, const std::string& body) {
        const CWire wire = SendAndCollect(m_listener.GetPort(), Get(target) + Head(target));
        EXPECT_EQ(CheckedStatuses(wire, kSecret, target), (std::vector<int>{200, 200}));
        std::vector<CWireAnswer> answers;
        if (SplitAnswers(wire, &answers) && !answers.empty()) {
            EXPECT_EQ(answers[0].m_body, body) << target;
        }
    }
    // A fresh client is still served as usual.
    void ExpectStillServing() { ExpectServed("/a.txt", "hello"); }

    // The absolute path of the secret in the forms a request could carry it.
    std::vector<std::string> AbsoluteSecretForms() const {
        const std::string native = (m_root.Outside() / "secret.txt").string();
        std::string slashed = native;
        std::string backslashed = native;
        for (char& c : slashed) {
            if (c == '\\') c = '/';
        }
        for (char& c : backslashed) {
            if (c == '/') c = '\\';
        }
        const std::string climbed = (m_root.Folder() / ".." / "secret.txt").string();
        std::vector<std::string> forms;
        for (const std::string& path : {native, slashed, backslashed, climbed}) {
            forms.push_back("/" + path);
            forms.push_back("//" + path);
            forms.push_back("/" + PercentEncodeAll(path));
            forms.push_back("/%5C%5C%3F%5C" + path);  // \\?\ prefix
            forms.push_back("/%5C%5C.%5C" + path);    // \\.\ prefix
            forms.push_back("//?/" + path);
        }
        return forms;
    }

    CLogCapture m_log;  // first in, last out: the threads may log until they are stopped
    CTempWebRoot m_root;
    CListenThread m_listener;
};

}  // namespace

TEST_F(HostileInputTest, EveryFormOfClimbingOutOfTheRootIsNotFound) {
    const char* const targets[] = {
        // Parent segments, raw and percent-encoded in either case, and twice encoded.
        "/../secret.txt", "/../../secret.txt", "/sub/../../secret.txt", "/./../secret.txt",
        "/%2e%2e/secret.txt", "/%2E%2E/secret.txt", "/.%2e/secret.txt", "/%2e./secret.txt",
        "/%2e%2e%2fsecret.txt", "/%2E%2E%2Fsecret.txt", "/sub/%2e%2e/%2e%2e/secret.txt",
        "/%252e%252e/secret.txt", "/%25%32%65%25%32%65/secret.txt",
        // Backslashes, raw and encoded in either case, mixed with slashes.
        "/..\\secret.txt", "/sub\\..\\..\\secret.txt", "/..%5csecret.txt", "/..%5Csecret.txt",
        "/sub/..%5c..%5csecret.txt", "/%2e%2e%5csecret.txt", "/\\..\\secret.txt",
        "/.\\../secret.txt", "/sub/..\\../secret.txt", "/%255c..%255csecret.txt",
        // Overlong and other non-UTF-8 spellings of '.' and '/'.
        "/%c0%ae%c0%ae/secret.txt", "/%C0%AE%C0%AE%C0%AFsecret.txt",
        "/%e0%80%ae%e0%80%ae/secret.txt", "/..%c0%afsecret.txt", "/..%c1%9csecret.txt",
        "/%uff0e%uff0e/secret.txt",
        // Dots and blanks that Win32 would trim into '..'.
        "/.../secret.txt", "/.. /secret.txt", "/..%20/secret.txt", "/..%2e/secret.txt",
        "/.%20./secret.txt", "/..%20%20/secret.txt", "/..%09/secret.txt",
        // Encoded NUL, which would cut a name short.
        "/../secret.txt%00.html", "/a.txt%00/../../secret.txt", "/%00../secret.txt",
        // Drive letters and drive-relative forms.
        "/C:/secret.txt", "/c:secret.txt", "/C:..\\secret.txt", "/Z:%5C", "/z:/etc/passwd",
        "/C%3A%5Csecret.txt", "C:/secret.txt",
        // UNC, \\?\ and \\.\ forms.
        "//localhost/c$/secret.txt", "/%5C%5Clocalhost%5Cc%24%5Csecret.txt", "//?/C:/secret.txt",
        "//?/UNC/localhost/c$/secret.txt", "//./C:/secret.txt", "/%5C%5C.%5CNUL",
        "\\\\?\\C:\\secret.txt",
        // Queries and fragments do not smuggle a path.
        "/x?/../../secret.txt", "/x#/../secret.txt"};
    for (const char* pszTarget : targets) ExpectNotFound(pszTarget);
    for (const std::string& target : AbsoluteSecretForms()) ExpectNotFound(target);
    ExpectStillServing();
}

TEST_F(HostileInputTest, NamesThatWin32ReadsOtherwiseAreNotFoundOnEveryHost) {
    const char* const targets[] = {
        // Alternate data streams, of files and of folders.
        "/a.txt::$DATA", "/a.txt:$DATA", "/a.txt%3A%3A%24DATA", "/a.txt:stream",
        "/sub::$INDEX_ALLOCATION/page.html", "/sub:$I30:$INDEX_ALLOCATION/page.html",
        "/..::$INDEX_ALLOCATION/secret.txt", "/index.html::$DATA",
        // Device names with and without extensions, in any segment and case.
        "/CON", "/con", "/NUL", "/nul.html", "/PRN.txt", "/aux.js", "/COM1", "/com9.txt", "/LPT1",
        "/lpt3.html", "/CONIN$", "/CONOUT%24", "/sub/NUL", "/nul/a.txt", "/CON%20.txt",
        "/COM%C2%B9",
        // Trailing dots and blanks that would open another, existing name.
        "/a.txt.", "/a.txt...", "/a.txt%20", "/a.txt.%20.", "/sub./page.html", "/sub%20/page.html",
        "/index.html%20%20"};
    for (const char* pszTarget : targets) ExpectNotFound(pszTarget);
    ExpectStillServing();
}

#ifdef _WIN32
// Inside the root a file may be asked for by its short name (it is the same file); beside
// the root, no name of the secret reaches it.
TEST_F(HostileInputTest, ShortNamesReachNothingOutsideTheRoot) {
    const auto shortNameOf = [](const fs::path& path) {
        wchar_t buffer[MAX_PATH];
        const DWORD length = GetShortPathNameW(path.wstring().c_str(), buffer, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return std::string();
        return fs::path(buffer).filename().string();
    };
    const std::string secretShort = shortNameOf(m_root.Outside() / kLongSecretName);
    const std::string insideShort = shortNameOf(m_root.Folder() / kLongInsideName);
    if (secretShort.empty() || secretShort == kLongSecretName || insideShort == kLongInsideName) {
        GTEST_SKIP() << "this file system gives no short names";
    }
    for (const std::string& target :
         {"/../" + secretShort, "/..%5C" + secretShort, "/sub/..%5C..%5C" + secretShort,
          "/%2e%2e/" + secretShort, "/" + secretShort}) {
        ExpectNotFound(target);
    }
    ExpectServed("/" + insideShort, "inside");
}
#endif

// Links are followed while they stay below the root; one that leads out is a missing file,
// or folder.
TEST_F(HostileInputTest, LinksThatLeadOutOfTheRootAreMissingFiles) {
    const fs::path root = m_root.Folder();
    if (!MakeSymbolicLink(root / "up.txt", "../secret.txt")) {
        GTEST_SKIP() << "symbolic links cannot be made here";
    }
    ASSERT_TRUE(MakeSymbolicLink(root / "abs.txt", (m_root.Outside() / "secret.txt").string()));
    ASSERT_TRUE(MakeSymbolicLink(root / "outdir", "../outdir", true));
    ASSERT_TRUE(MakeSymbolicLink(root / "sub" / "deep.txt", "../../secret.txt"));
    ASSERT_TRUE(MakeSymbolicLink(root / "same.html", "sub/page.html"));
    ASSERT_TRUE(MakeSymbolicLink(root / "pages", "sub", true));
    for (const char* pszTarget :
         {"/up.txt", "/abs.txt", "/outdir/inner.txt", "/sub/deep.txt", "/outdir/", "/outdir"}) {
        ExpectNotFound(pszTarget);
    }
    ExpectServed("/same.html", "page");
    ExpectServed("/pages/page.html", "page");
    // A linked folder inside the root is a folder of the site, one outside is nothing.
    EXPECT_EQ(Statuses(Get("/pages") + Head("/pages"), "/pages"), (std::vector<int>{301, 301}));
    ExpectStillServing();
}

// A file kept open for a connection is not served again once its name leads out of the root.
TEST_F(HostileInputTest, ALinkTurnedOutwardsBetweenTwoRequestsOfOneConnectionIsMissing) {
    const fs::path link = m_root.Folder() / "moving.txt";
    if (!MakeSymbolicLink(link, "a.txt")) GTEST_SKIP() << "symbolic links cannot be made here";
    CTestClient client;
    ASSERT_TRUE(client.Connect(m_listener.GetPort()));
    ASSERT_TRUE(client.SendText(Get("/moving.txt")));
    CTestResponse response;
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_body, "hello");
    std::error_code ignored;
    fs::remove(link, ignored);
    ASSERT_TRUE(MakeSymbolicLink(link, "../secret.txt"));
    ASSERT_TRUE(client.SendText(Get("/moving.txt") + Head("/moving.txt")));
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_nStatus, 404);
    EXPECT_EQ(response.m_body.find(kSecret), std::string::npos);
    ASSERT_TRUE(client.ReadResponse(response, true));
    EXPECT_EQ(response.m_nStatus, 404);
}

TEST_F(HostileInputTest, MalformedHeadsAreAnsweredOrClosedNeverHeld) {
    const std::string ok = Get("/a.txt");
    struct {
        std::string m_bytes;
        std::vector<int> m_statuses;
    } const cases[] = {
        {std::string("\0", 1) + ok, {}},
        {std::string(kControlBytesInHeader, sizeof kControlBytesInHeader - 1), {200}},
        {"GET /a.txt\rHTTP/1.1\r\n\r\n", {400}},
        {"GET /a.txt HTTP/1.1\n\n", {}},
        {"GET /a.txt HTTP/1.1\r\r\r\r", {}},
        {"GET /a\x01\x1b[31m\x7f.txt HTTP/1.1\r\n\r\n", {404}},
        {"GET /" + std::string(70 * 1024, 'A') + " HTTP/1.1\r\n\r\n", {}},
        {"GET /a.txt HTTP/1.1\r\n" +
             [] {
                 std::string lines;
                 for (int i = 0; i < 5000; ++i) lines += "X-" + std::to_string(i) + ": y\r\n";
                 return lines;
             }() +
             "\r\n",
         {}},
        {"GET /a.txt HTTP/1.1\r\n" +
             [] {
                 std::string lines;
                 for (int i = 0; i < 900; ++i) lines += "X:\r\n";
                 return lines;
             }() +
             "\r\n",
         {200}},
        {"GET http://localhost/a.txt HTTP/1.1\r\n\r\n", {200}},
        {"GET * HTTP/1.1\r\n\r\n", {404}},
        {"GET /%zz<script>\"x\" HTTP/1.1\r\n\r\n", {404}},
        {"GET /%\r\n\r\n" + ok, {400}},
        {"\r\n\r\n\n\n" + ok, {200}},
        {"GET /a.txt HTTP/1.1\r\n\r\n\r\n\r\n" + ok, {200, 200}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Statuses(c.m_bytes, c.m_bytes.substr(0, 40)), c.m_statuses)
            << c.m_bytes.substr(0, 40);
    }
    ExpectStillServing();
}

TEST_F(HostileInputTest, OnlyUpperCaseGetAndHeadAreServedAndTheRestIsRefused) {
    const std::string ok = Get("/a.txt");
    for (const char* pszMethod :
         {"get", "Get", "gEt", "GeT", "head", "Head", "hEAD", "GETX", "G"}) {
        const std::string unknown = std::string(pszMethod) + " /../secret.txt HTTP/1.1\r\n\r\n";
        EXPECT_EQ(Statuses(unknown + ok, pszMethod), (std::vector<int>{501, 200})) << pszMethod;
    }
    for (const char* pszMethod : {"POST", "PUT", "DELETE", "OPTIONS", "TRACE", "CONNECT"}) {
        const std::string known = std::string(pszMethod) + " /../secret.txt HTTP/1.1\r\n\r\n";
        EXPECT_EQ(Statuses(known + ok, pszMethod), (std::vector<int>{405, 200})) << pszMethod;
    }
    // What is no request line ends the connection: nothing after it is taken for a request.
    EXPECT_EQ(Statuses("GET\t/a.txt HTTP/1.1\r\n\r\n" + ok, "tab"), (std::vector<int>{400}));
    EXPECT_EQ(Statuses(" GET /a.txt HTTP/1.1\r\n\r\n" + ok, "blank"), (std::vector<int>{400}));
}

TEST_F(HostileInputTest, BodiesAndPipelinedRequestsMixedKeepTheirOrder) {
    const std::string smuggled = Get("/../secret.txt");
    const std::string post =
        "POST /a.txt HTTP/1.1\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" +
        smuggled;
    EXPECT_EQ(Statuses(post + Get("/a.txt") + post + Head("/sub/page.html"), "bodies"),
              (std::vector<int>{405, 200, 405, 200}));
    // A GET with a body is answered, and the body is not taken for the next head.
    const std::string getWithBody = "GET /index.html HTTP/1.1\r\nContent-Length: 5\r\n\r\nHEAD ";
    EXPECT_EQ(Statuses(getWithBody + Head("/a.txt") + Get("/missing"), "get body"),
              (std::vector<int>{200, 200, 404}));
    // Lengths that cannot be trusted end the connection after the answer: nothing behind
    // them is taken for a request.
    for (const char* pszLength :
         {"Content-Length: 3\r\nContent-Length: 30", "Content-Length: -1", "Content-Length: +5",
          "Content-Length: 0x10", "Content-Length: 99999999999999999999",
          "Transfer-Encoding: gzip, chunked", "Transfer-Encoding: chunked\r\nContent-Length: 5"}) {
        const std::string request = "GET /a.txt HTTP/1.1\r\n" + std::string(pszLength) +
                                    "\r\n\r\n0\r\n\r\n" + smuggled + Get("/index.html");
        EXPECT_EQ(Statuses(request, pszLength), (std::vector<int>{200})) << pszLength;
    }
    // A chunked body ends at its last chunk, and what follows is the next request; one whose
    // chunks cannot be read ends the connection.
    const std::string chunked = "POST /a.txt HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
    EXPECT_EQ(Statuses(chunked + "4\r\nGET \r\n0\r\n\r\n" + smuggled + Get("/a.txt"), "chunked"),
              (std::vector<int>{405, 404, 200}));
    EXPECT_EQ(Statuses(chunked + "4x\r\nGET \r\n0\r\n\r\n" + Get("/a.txt"), "bad chunk"),
              (std::vector<int>{405}));
    // A body that never comes whole: the end of the client's stream ends the wait.
    EXPECT_EQ(Statuses("POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\nabc", "short body"),
              (std::vector<int>{405}));
    // Many requests in one write, good and hostile interleaved, answered in order.
    std::string burst;
    std::vector<int> expected;
    for (int i = 0; i < 40; ++i) {
        burst += i % 2 == 0 ? Get("/a.txt") : Head("/..%5csecret.txt");
        expected.push_back(i % 2 == 0 ? 200 : 404);
    }
    EXPECT_EQ(Statuses(burst, "burst"), expected);
    ExpectStillServing();
}

TEST_F(HostileInputTest, RandomBytesNeverLeakAnythingAndTheServerGoesOn) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 random(seed);
        std::string bytes(2048u * seed, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
        // Half of them look like a head at first, so the rest reaches the head parser.
        if (seed % 2 == 0) bytes = "GET /" + bytes.substr(0, 1000) + "\r\n\r\n" + bytes;
        Statuses(bytes, "seed " + std::to_string(seed));
    }
    ExpectStillServing();
}

TEST_F(HostileInputTest, NotFoundPageShowsTheTargetAsTextOnly) {
    // Each target, and the text the page shows for it.
    const char* const cases[][2] = {
        {"/<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;\\script&gt;"},
        {"/%3Cimg%20src=x%20onerror=alert(1)%3E", "&lt;img src=x onerror=alert(1)&gt;"},
        {"/a\"b'c&d", "a&quot;b&#39;c&amp;d"},
        {"/x%0D%0ASet-Cookie:%20a=1", "x&#13;&#10;Set-Cookie: a=1"},
        {"/%1B%5B31mred%7F", "&#27;[31mred&#127;"},
        {"/%00%3Cb%3E", "&#0;&lt;b&gt;"},
        {"/&lt;", "&amp;lt;"},
    };
    for (const auto& c : cases) {
        const CWire wire = SendAndCollect(m_listener.GetPort(), Get(c[0]));
        ASSERT_EQ(CheckedStatuses(wire, kSecret, c[0]), (std::vector<int>{404}));
        EXPECT_NE(wire.m_bytes.find(std::string("Couldn't find file: ") + c[1] + "</b>"),
                  std::string::npos)
            << wire.m_bytes;
        EXPECT_EQ(wire.m_bytes.find("\r\nSet-Cookie"), std::string::npos)
            << "a header was injected";
    }
}
