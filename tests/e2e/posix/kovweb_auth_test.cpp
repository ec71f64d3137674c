// A password-protected share as curl sees it: refused without the credentials, served with
// them, the user in the log, and a guesser refused while everyone else is served.
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "gtest/gtest.h"

namespace {

class KovwebAuth : public ::testing::Test {
protected:
    void SetUp() override {
        m_curl = FindOnPath("curl");
        if (m_curl.empty()) GTEST_SKIP() << "curl is not installed";
        ASSERT_TRUE(PutFile(m_parent, "www/hello.txt", "hello, world\n"));
        ASSERT_TRUE(PutFile(m_parent, "pw", "j\xC3\xBCrgen:pa:ss\n"));
        ASSERT_TRUE(m_server.Start(
            {"--auth-file", FolderText(m_parent) + "/pw", FolderText(m_parent) + "/www"}));
    }

    void TearDown() override {
        if (m_server.Port() != 0) {
            EXPECT_TRUE(m_server.Stop()) << m_server.Child().Out();
        }
    }

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_server.Port()) + path;
    }

    // curl's standard output for args, or why it failed.
    std::string Curl(std::vector<std::string> args) const {
        std::vector<std::string> argv = {m_curl, "--silent", "--show-error", "--max-time", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        const CRunResult run = RunProgram(m_curl, argv, 30000);
        if (!run.m_bFinished || run.m_nExitCode != 0) return "curl failed: " + run.m_err;
        return run.m_out;
    }

    CTempDir m_parent;
    CRunningServer m_server;
    std::string m_curl;
};

TEST_F(KovwebAuth, WithoutTheCredentialsA401WithThemTheFileAndTheLogNamesTheUser) {
    ASSERT_TRUE(m_server.Child().WaitForOutput(
        "(password required; Ctrl+C stops)\nUser name: j\xC3\xBCrgen\n", kPromptMs));
    EXPECT_EQ(m_server.Child().Out().find("pa:ss"), std::string::npos);
    // Nothing tells a name that exists from one that does not.
    const std::string refused = Curl({"--include", Url("/hello.txt")});
    EXPECT_EQ(refused.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << refused;
    EXPECT_NE(refused.find("\r\nwww-authenticate: Basic realm=\"KOV Web Server\", "
                           "charset=\"UTF-8\"\r\n"),
              std::string::npos);
    EXPECT_EQ(Curl({"--write-out", "%{http_code}", Url("/nope.txt")}),
              Curl({"--write-out", "%{http_code}", Url("/hello.txt")}));
    EXPECT_EQ(
        Curl({"--user", "j\xC3\xBCrgen:pa:ss", "--write-out", " %{http_code}", Url("/hello.txt")}),
        "hello, world\n 200");
    EXPECT_TRUE(m_server.Child().WaitForOutput("127.0.0.1 - j\xC3\xBCrgen [", kPromptMs));
    EXPECT_NE(m_server.Child().Out().find("127.0.0.1 - - ["), std::string::npos);
    EXPECT_NE(m_server.Child().Out().find("\"GET /nope.txt HTTP/1.1\" 401 "), std::string::npos);
}

TEST_F(KovwebAuth, AGuesserIsRefusedAfterFiveWrongTriesAndAnotherAddressIsServed) {
    std::vector<std::string> guesses = {"--user", "j\xC3\xBCrgen:guess", "--write-out",
                                        "%{http_code} "};
    for (int i = 0; i < 7; ++i) {
        guesses.insert(guesses.end(), {"--output", "/dev/null", Url("/hello.txt")});
    }
    EXPECT_EQ(Curl(guesses), "401 401 401 401 401 429 429 ");
    // The right password from the guesser is refused too, so it cannot tell which was right.
    const std::string right =
        Curl({"--include", "--user", "j\xC3\xBCrgen:pa:ss", Url("/hello.txt")});
    EXPECT_EQ(right.rfind("HTTP/1.1 429 Too Many Requests\r\n", 0), 0u) << right;
    EXPECT_NE(right.find("\r\nretry-after: "), std::string::npos);
    // A request without credentials is no try, and still asked for them.
    EXPECT_EQ(Curl({"--write-out", "%{http_code}", "--output", "/dev/null", Url("/hello.txt")}),
              "401");
    EXPECT_EQ(
        Curl({"--interface", "127.0.0.2", "--user", "j\xC3\xBCrgen:pa:ss", Url("/hello.txt")}),
        "hello, world\n");
}

}  // namespace
