// The program as a process: its command line, its log on standard output, its signals
// and its exit codes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "foundation/network.h"
#include "gtest/gtest.h"
#include "tests/support/links.h"
#include "tests/support/test_client.h"

namespace {

const char kUsageLine[] =
    "Usage: kovweb [-p|--port N] [-b|--bind ADDRESS] [-q|--quiet] [--no-listing] [--auth "
    "USER:PASSWORD] [--auth-file FILE] [DOCROOT]";

// Everything after the fixed start-up messages: the five dots and "Listening...".
std::string StartupTail(const std::string& out) {
    std::string head = kStartupHead;
    return out.compare(0, head.size(), head) == 0 ? out.substr(head.size()) : std::string();
}

// One GET on a fresh connection; the status, or 0 when no whole answer came.
int GetStatus(unsigned short port, const std::string& target,
              const std::string& address = "127.0.0.1") {
    CTestClient client;
    if (!client.Connect(port, address.c_str())) return 0;
    if (!client.SendText("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n")) return 0;
    CTestResponse response;
    return client.ReadResponse(response) ? response.m_nStatus : 0;
}

// The hosts of "Also on this network: http://A:port/, http://B:port/\n"; false when the
// line is not that.
bool ReadNetworkLine(const std::string& line, unsigned short port,
                     std::vector<std::string>& hosts) {
    const std::string start = "Also on this network: ";
    if (line.compare(0, start.size(), start) != 0 || line.back() != '\n') return false;
    const std::string suffix = ":" + std::to_string(port) + "/";
    size_t at = start.size();
    for (;;) {
        const size_t end = line.find_first_of(",\n", at);
        const std::string address = line.substr(at, end - at);
        if (address.compare(0, 7, "http://") != 0 || address.size() <= 7 + suffix.size() ||
            address.compare(address.size() - suffix.size(), suffix.size(), suffix) != 0) {
            return false;
        }
        hosts.push_back(address.substr(7, address.size() - 7 - suffix.size()));
        if (line[end] == '\n') return end + 1 == line.size();
        at = end + 2;
    }
}

TEST(KovwebCommandLine, HelpAndVersionPrintAndSucceed) {
    CRunResult help = RunProgram(KovwebPath(), {KovwebPath(), "--help"}, kPromptMs);
    ASSERT_TRUE(help.m_bFinished);
    EXPECT_EQ(help.m_nExitCode, 0);
    EXPECT_NE(help.m_out.find(kUsageLine), std::string::npos);
    EXPECT_NE(help.m_out.find("-b, --bind ADDRESS"), std::string::npos);
    EXPECT_EQ(help.m_err, "");

    CRunResult version = RunProgram(KovwebPath(), {KovwebPath(), "--version"}, kPromptMs);
    ASSERT_TRUE(version.m_bFinished);
    EXPECT_EQ(version.m_nExitCode, 0);
    EXPECT_EQ(version.m_out, "KOVWebServer v1.0\n");
}

TEST(KovwebCommandLine, RefusalsSayWhatWasWrongThenShowTheUsage) {
    const std::string kBadBind =
        "bind address must be an IPv4 or IPv6 address or 'localhost', not ";
    const std::string kBadAuth =
        "--auth's value must be USER:PASSWORD: a user name, a colon, then the password (at most "
        "1024 bytes, on one line)";
    const struct {
        std::vector<std::string> m_args;
        std::string m_why;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"one", "two"}, "only one document root may be given"},
        {{"--port"}, "option '--port' needs a value"},
        {{"site", "-p"}, "option '-p' needs a value"},
        {{"--port", "0"}, "port must be 1 to 65535, not '0'"},
        {{"-p", "65536"}, "port must be 1 to 65535, not '65536'"},
        {{"--port", "8x"}, "port must be 1 to 65535, not '8x'"},
        {{"-p", ""}, "port must be 1 to 65535, not ''"},
        {{"--port", "-1"}, "port must be 1 to 65535, not '-1'"},
        {{"--port=99999"}, "port must be 1 to 65535, not '99999'"},
        {{"--bind"}, "option '--bind' needs a value"},
        {{"site", "-b"}, "option '-b' needs a value"},
        {{"-b", "192.0.2"}, kBadBind + "'192.0.2'"},
        {{"--bind", "example.com"}, kBadBind + "'example.com'"},
        {{"--bind=[::1"}, kBadBind + "'[::1'"},
        {{"--bind="}, kBadBind + "''"},
        // A typo must never leave the share open, nor echo the password.
        {{"--auth", "alice"}, kBadAuth},
        {{"--auth=:secret"}, kBadAuth},
        {{"--auth-file", "/nonexistent/pw"}, "cannot read the password file '/nonexistent/pw'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {KovwebPath()};
        argv.insert(argv.end(), c.m_args.begin(), c.m_args.end());
        CRunResult run = RunProgram(KovwebPath(), argv, kPromptMs);
        ASSERT_TRUE(run.m_bFinished) << c.m_why;
        EXPECT_EQ(run.m_nExitCode, 2) << c.m_why;
        EXPECT_EQ(run.m_err.rfind("kovweb: " + c.m_why + "\n" + kUsageLine + "\n", 0), 0u)
            << run.m_err;
        EXPECT_EQ(run.m_out, "") << c.m_why;
    }
}

TEST(KovwebCommandLine, ARootThatIsNoFolderIsRefusedBeforeAnythingStarts) {
    CTempDir parent;
    ASSERT_TRUE(PutFile(parent, "page.html", "<p>a file</p>"));
    const std::string missing = FolderText(parent) + "/nope";
    const std::string file = FolderText(parent) + "/page.html";
    const struct {
        std::string m_root;
        std::string m_why;
    } cases[] = {{missing, "no such folder"}, {file, "not a folder"}};
    for (const auto& c : cases) {
        CRunResult run =
            RunProgram(KovwebPath(), {KovwebPath(), "--port", "1", c.m_root}, kPromptMs);
        ASSERT_TRUE(run.m_bFinished) << c.m_root;
        EXPECT_EQ(run.m_nExitCode, 1) << c.m_root;
        EXPECT_EQ(run.m_err, "kovweb: cannot serve '" + c.m_root + "': " + c.m_why + "\n");
        EXPECT_EQ(run.m_out, "") << c.m_root;
    }
}

TEST(KovwebCommandLine, RootLengthLimitCountsTheAddedSeparator) {
    // 1022 characters plus the '/' that the program adds fill the 1023 that fit; the
    // folder must exist to be served, so it is made of names short enough for the host.
    CTempDir base;
    std::string fits = FolderText(base);
    ASSERT_FALSE(fits.empty());
    while (fits.size() < 1022) {
        const size_t left = 1022 - fits.size();
        fits += "/" + std::string(left > 201 ? 150 : left - 1, 'a');
    }
    ASSERT_TRUE(std::filesystem::create_directories(fits));
    CRunningServer server;
    ASSERT_TRUE(server.Start({fits})) << server.Child().Out();
    EXPECT_TRUE(server.Stop());

    std::string tooLong = fits + "b";
    CRunResult run = RunProgram(KovwebPath(), {KovwebPath(), "--port", "1", tooLong}, kPromptMs);
    ASSERT_TRUE(run.m_bFinished);
    EXPECT_EQ(run.m_nExitCode, 1);
    EXPECT_EQ(run.m_out, "Document root too long\r\n");
}

TEST(KovwebLog, StartupMessagesComeWholeAndInOrderThenWhereToGo) {
    CTempDir root;
    ASSERT_FALSE(FolderText(root).empty());
    // Given through a link, the root is still named as the folder it is.
    CTempDir links;
    ASSERT_TRUE(MakeSymbolicLink(links.Path() / "site", FolderText(root), true));
    CRunningServer server;
    ASSERT_TRUE(server.Start({FolderText(links) + "/site"}));
    std::string dotsAndListening = ".....";
    dotsAndListening += kListening;
    const std::string serving = "\nServing " + std::filesystem::canonical(root.Path()).string() +
                                " on http://localhost:" + std::to_string(server.Port()) +
                                "/ (Ctrl+C stops)\n";
    const size_t servingEnd =
        std::string(kStartupHead).size() + dotsAndListening.size() + serving.size();
    ASSERT_TRUE(server.Child().WaitForOutputLength(servingEnd, kPromptMs)) << server.Child().Out();

    // The network line, when the machine has addresses, comes in the same write.
    std::string tail = StartupTail(server.Child().Out());
    ASSERT_GE(tail.size(), dotsAndListening.size() + serving.size()) << server.Child().Out();
    EXPECT_EQ(tail.substr(dotsAndListening.size(), serving.size()), serving);
    const std::string network = tail.substr(dotsAndListening.size() + serving.size());
    std::vector<std::string> hosts;
    if (!network.empty()) {
        ASSERT_TRUE(ReadNetworkLine(network, server.Port(), hosts)) << network;
    }
    // Each address named there reaches the server.
    for (const std::string& host : hosts) EXPECT_EQ(GetStatus(server.Port(), "/x", host), 404);
    tail.resize(dotsAndListening.size());
    size_t at = tail.find(kListening);
    ASSERT_NE(at, std::string::npos) << tail;
    tail.erase(at, std::string(kListening).size());
    EXPECT_EQ(tail, ".....");

    // Then each answered request is a line of the Common Log Format, within half a second.
    EXPECT_EQ(GetStatus(server.Port(), "/missing?a=%22b%22"), 404);
    const std::regex line(
        "(127\\.0\\.0\\.1|[0-9a-f.:]+) - - "
        "\\[[0-3][0-9]/[A-Z][a-z]{2}/20[0-9]{2}:[0-2][0-9]:[0-5][0-9]:"
        "[0-6][0-9] [+-][0-9]{4}\\] \"GET /(x|missing\\?a=%22b%22) HTTP/1\\.1\" 404 [0-9]+");
    EXPECT_TRUE(server.Child().WaitForOutput("\"GET /missing?a=%22b%22 HTTP/1.1\" 404 ", 500))
        << server.Child().Out();
    std::istringstream lines(server.Child().Out().substr(servingEnd + network.size()));
    std::string text;
    size_t count = 0;
    while (std::getline(lines, text)) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        ++count;
    }
    EXPECT_EQ(count, hosts.size() + 1);
    EXPECT_TRUE(server.Stop());
    EXPECT_EQ(server.Child().Err(), "");
}

TEST(KovwebLog, QuietWritesNoLinePerRequest) {
    CTempDir root;
    ASSERT_TRUE(PutFile(root, "a.txt", "a"));
    CRunningServer server;
    ASSERT_TRUE(server.Start({"--quiet", FolderText(root)}));
    ASSERT_TRUE(server.Child().WaitForOutput("(Ctrl+C stops)\n", kPromptMs))
        << server.Child().Out();
    server.Child().Pump(200);
    const size_t before = server.Child().Out().size();
    EXPECT_EQ(GetStatus(server.Port(), "/a.txt"), 200);
    server.Child().Pump(500);
    EXPECT_EQ(server.Child().Out().size(), before) << server.Child().Out();
    EXPECT_TRUE(server.Stop());
}

TEST(KovwebLog, AboutSignalShowsTheRequestCount) {
    CTempDir root;
    ASSERT_TRUE(PutFile(root, "a.txt", "a"));
    CRunningServer server;
    ASSERT_TRUE(server.Start({FolderText(root)}));
    // Sent at once, the signal most often meets the log's open "Listening..." line; the
    // text still starts on a line of its own.
    ASSERT_TRUE(server.Child().Signal(SIGUSR1));
    EXPECT_TRUE(server.Child().WaitForOutput("\nKOVWebServer v1.0\r\nRequests: 0\r\n", kPromptMs))
        << server.Child().Out();

    // Every request counts, found or not, and so does one whose method is not served.
    EXPECT_EQ(GetStatus(server.Port(), "/a.txt"), 200);
    EXPECT_EQ(GetStatus(server.Port(), "/nothing-here"), 404);
    {
        CTestClient client;
        ASSERT_TRUE(client.Connect(server.Port()));
        ASSERT_TRUE(client.SendText("HEAD /a.txt HTTP/1.1\r\n\r\nPOST / HTTP/1.1\r\n\r\n"));
        CTestResponse response;
        ASSERT_TRUE(client.ReadResponse(response));
        EXPECT_EQ(response.m_nStatus, 200);
        ASSERT_TRUE(client.ReadResponse(response));
        EXPECT_EQ(response.m_nStatus, 405);
    }
    bool counted = false;
    for (int attempt = 0; attempt < 50 && !counted; ++attempt) {
        ASSERT_TRUE(server.Child().Signal(SIGUSR1));
        counted = server.Child().WaitForOutput("Requests: 4\r\n", 200);
    }
    EXPECT_TRUE(counted) << server.Child().Out();
    EXPECT_EQ(server.Child().Out().find("Requests: 5"), std::string::npos);
    EXPECT_TRUE(server.Stop());
}

TEST(KovwebBind, BoundToLoopbackItServesThisComputerOnlyAndAnotherMachinesAddressIsRefused) {
    CTempDir root;
    ASSERT_TRUE(PutFile(root, "a.txt", "a"));
    CRunningServer server;
    ASSERT_TRUE(server.Start({"--bind", "127.0.0.1", FolderText(root)}));
    const std::string serving = "\nServing " + std::filesystem::canonical(root.Path()).string() +
                                " on http://127.0.0.1:" + std::to_string(server.Port()) +
                                "/ (this computer only; Ctrl+C stops)\n";
    ASSERT_TRUE(server.Child().WaitForOutput(serving, kPromptMs)) << server.Child().Out();
    EXPECT_EQ(GetStatus(server.Port(), "/a.txt"), 200);
    // No network line follows, and neither the machine's other addresses nor IPv6 connect.
    const std::string& out = server.Child().Out();
    EXPECT_EQ(out.substr(out.size() - serving.size()), serving);
    for (uint32_t address : GetNetworkAddresses()) {
        const in_addr bytes = {htonl(address)};
        char szHost[INET_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET, &bytes, szHost, sizeof szHost), nullptr);
        CTestClient client;
        EXPECT_FALSE(client.Connect(server.Port(), szHost)) << szHost;
    }
    CTestClient v6;
    EXPECT_FALSE(v6.Connect(server.Port(), "::1"));
    EXPECT_TRUE(server.Stop());

    // 192.0.2.0/24 is for documentation: no machine has it, and nothing is sent to it.
    CRunResult refused = RunProgram(
        KovwebPath(),
        {KovwebPath(), "-p", std::to_string(PickFreePort()), "--bind=192.0.2.7", FolderText(root)},
        kPromptMs);
    ASSERT_TRUE(refused.m_bFinished);
    EXPECT_EQ(refused.m_nExitCode, 1);
    EXPECT_EQ(refused.m_err,
              "kovweb: cannot listen on 192.0.2.7: that address is not this computer's\n");
    EXPECT_EQ(refused.m_out.find("Serving"), std::string::npos) << refused.m_out;
}

class KovwebStopSignal : public ::testing::TestWithParam<int> {};

TEST_P(KovwebStopSignal, EndsTheProgramWithStatusZero) {
    CTempDir root;
    ASSERT_TRUE(PutFile(root, "index.html", "<p>hi</p>"));
    CRunningServer server;
    ASSERT_TRUE(server.Start({FolderText(root)}));
    // An idle keep-alive connection must not hold the stop up for its whole deadline.
    CTestClient idle;
    ASSERT_TRUE(idle.Connect(server.Port()));
    ASSERT_TRUE(idle.SendText("GET / HTTP/1.1\r\n\r\n"));
    CTestResponse response;
    ASSERT_TRUE(idle.ReadResponse(response));

    ASSERT_TRUE(server.Child().Signal(GetParam()));
    ASSERT_TRUE(server.Child().WaitExit(kPromptMs));
    EXPECT_EQ(server.Child().ExitCode(), 0);
    EXPECT_EQ(server.Child().TermSignal(), 0);
    EXPECT_EQ(server.Child().Err(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, KovwebStopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             switch (info.param) {
                                 case SIGTERM:
                                     return std::string("Term");
                                 case SIGINT:
                                     return std::string("Int");
                                 default:
                                     return std::string("Hup");
                             }
                         });

TEST(KovwebStop, StopDuringStartUpStillEndsCleanly) {
    CTempDir root;
    ASSERT_FALSE(FolderText(root).empty());
    CChildProcess child;
    ASSERT_TRUE(child.Start(
        KovwebPath(), {KovwebPath(), "--port", std::to_string(PickFreePort()), FolderText(root)}));
    // The signals are blocked before the first message, so from here on they are taken.
    ASSERT_TRUE(child.WaitForOutput("Initializing sockets...", kPromptMs));
    ASSERT_TRUE(child.Signal(SIGTERM));
    ASSERT_TRUE(child.WaitExit(kPromptMs));
    EXPECT_EQ(child.ExitCode(), 0) << child.Out() << child.Err();
}

TEST(KovwebStop, BusyPortReportsTheBindFailureAndExitsWithOne) {
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_EQ(getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::string port = std::to_string(ntohs(address.sin_port));

    CTempDir root;
    CChildProcess child;
    bool started = child.Start(KovwebPath(), {KovwebPath(), "-p", port, FolderText(root)});
    bool exited = started && child.WaitExit(kPromptMs);
    close(blocker);
    ASSERT_TRUE(exited) << child.Out();
    EXPECT_EQ(child.ExitCode(), 1);
    // The workers' dots may fall between the two messages, but never inside one.
    const std::string& out = child.Out();
    const std::string bindFailed = "CS:Listen: bind failed: ";
    size_t at = out.find(bindFailed);
    ASSERT_NE(at, std::string::npos) << out;
    size_t codeEnd = out.find("\r\n", at);
    ASSERT_NE(codeEnd, std::string::npos) << out;
    // The error code is the system's own number for an address in use.
    EXPECT_EQ(out.substr(at + bindFailed.size(), codeEnd - at - bindFailed.size()),
              std::to_string(EADDRINUSE));
    EXPECT_NE(out.find("Listen Failed\r\n", codeEnd), std::string::npos) << out;
    EXPECT_EQ(out.find(kListening), std::string::npos);
    EXPECT_EQ(child.Err(), "kovweb: port " + port + " is already in use\n");
}

}  // namespace
