// The real program against hostile clients: links in its root and request heads one byte
// past the limit. It must stay up, keep serving others, and end cleanly.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "gtest/gtest.h"
#include "tests/support/hostile_wire.h"

namespace {

namespace fs = std::filesystem;

const char kSecret[] = "KOV-E2E-SECRET-41d8";

// A root that is reached through a link, holding links of every kind, beside a secret.
class KovwebHostile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(FolderText(m_parent).empty());
        const fs::path parent = FolderText(m_parent);
        ASSERT_TRUE(PutFile(m_parent, "secret.txt", kSecret));
        ASSERT_TRUE(PutFile(m_parent, "outdir/inner.txt", kSecret));
        ASSERT_TRUE(PutFile(m_parent, "www/hello.txt", "hello"));
        ASSERT_TRUE(PutFile(m_parent, "www/sub/page.html", "page"));
        const fs::path www = parent / "www";
        ASSERT_EQ(0, symlink("../secret.txt", (www / "up.txt").c_str()));
        ASSERT_EQ(0, symlink((parent / "secret.txt").c_str(), (www / "abs.txt").c_str()));
        ASSERT_EQ(0, symlink("../outdir", (www / "outdir").c_str()));
        ASSERT_EQ(0, symlink("/", (www / "slash").c_str()));
        ASSERT_EQ(0, symlink("sub/page.html", (www / "same.html").c_str()));
        ASSERT_EQ(0, symlink("sub", (www / "pages").c_str()));
        ASSERT_EQ(0, symlink((www / "hello.txt").c_str(), (www / "absin.txt").c_str()));
        ASSERT_EQ(0, symlink("www", (parent / "site").c_str()));
        ASSERT_TRUE(m_server.Start({(parent / "site").string() + "/"}));
    }
    void TearDown() override {
        if (m_server.Port() != 0) {
            EXPECT_TRUE(m_server.Stop()) << m_server.Child().Out();
        }
    }

    std::vector<int> Statuses(const std::string& bytes, const std::string& context) {
        return CheckedStatuses(SendAndCollect(m_server.Port(), bytes), kSecret, context);
    }
    // Served hello.txt on a fresh connection, and the process is still there.
    void ExpectAliveAndServing() {
        EXPECT_EQ(Statuses("GET /hello.txt HTTP/1.1\r\n\r\n", "afterwards"),
                  (std::vector<int>{200}));
        EXPECT_FALSE(m_server.Child().WaitExit(0)) << m_server.Child().Err();
    }

    CTempDir m_parent;
    CRunningServer m_server;
};

}  // namespace

TEST_F(KovwebHostile, LinksAreFollowedOnlyWhileTheyStayBelowTheRoot) {
    for (const char* pszTarget :
         {"/up.txt", "/abs.txt", "/outdir/inner.txt", "/slash/etc/passwd", "/absin.txt"}) {
        const std::string target(pszTarget);
        EXPECT_EQ(
            Statuses("GET " + target + " HTTP/1.1\r\n\r\nHEAD " + target + " HTTP/1.1\r\n\r\n",
                     target),
            (std::vector<int>{404, 404}))
            << target;
    }
    CWire wire = SendAndCollect(m_server.Port(),
                                "GET /same.html HTTP/1.1\r\n\r\n"
                                "GET /pages/page.html HTTP/1.1\r\n\r\n");
    std::vector<CWireAnswer> answers;
    ASSERT_TRUE(SplitAnswers(wire, &answers)) << wire.m_bytes;
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].m_body, "page");
    EXPECT_EQ(answers[1].m_body, "page");
    ExpectAliveAndServing();
}

TEST_F(KovwebHostile, OversizedHeadsAreClosedAndTheLimitIsExact) {
    EXPECT_EQ(Statuses(RequestHeadOfLength("/hello.txt", 4095), "4095"), (std::vector<int>{200}));
    EXPECT_EQ(Statuses(RequestHeadOfLength("/hello.txt", 4096), "4096"), (std::vector<int>{}));
    ExpectAliveAndServing();
}
