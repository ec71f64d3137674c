// The program as an HTTP server: answers read byte for byte off the wire, and the same
// answers as a real client (curl) sees them.
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "gtest/gtest.h"
#include "tests/support/test_client.h"

namespace {

// Bytes of every value and more than one send buffer's worth, so that a lost, doubled
// or narrowed chunk shows.
std::string BinaryBlob() {
    std::string blob;
    for (int i = 0; i < 70000; ++i) blob += static_cast<char>((i * 7 + i / 256) & 0xFF);
    return blob;
}

const char kText[] = "text/plain; charset=utf-8";
const char kHtml[] = "text/html; charset=utf-8";

// The value of the header name (lower case, colon included) in head; empty when absent.
std::string HeaderValue(const std::string& head, const std::string& name) {
    const size_t at = head.find("\r\n" + name + " ");
    if (at == std::string::npos) return std::string();
    const size_t start = at + 3 + name.size();
    return head.substr(start, head.find("\r\n", start) - start);
}

// A site below a parent folder that holds a file the site must never reveal.
class KovwebHttp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(FolderText(m_parent).empty());
        m_root = FolderText(m_parent) + "/www";
        ASSERT_TRUE(PutFile(m_parent, "secret.txt", "outside the root"));
        ASSERT_TRUE(PutFile(m_parent, "www/index.html", "<h1>home</h1>\n"));
        ASSERT_TRUE(PutFile(m_parent, "www/hello.txt", "hello, world\n"));
        ASSERT_TRUE(PutFile(m_parent, "www/empty.txt", ""));
        ASSERT_TRUE(PutFile(m_parent, "www/blob.bin", BinaryBlob()));
        ASSERT_TRUE(PutFile(m_parent, "www/sub/index.html", "<p>sub</p>"));
        ASSERT_TRUE(PutFile(m_parent, "www/a b.txt", "spaced"));
    }

    void TearDown() override {
        if (m_server.Port() != 0) {
            EXPECT_TRUE(m_server.Stop()) << m_server.Child().Out();
        }
    }

    // Sends request on a fresh connection and returns as many answers as expected holds,
    // as StableAnswer shows them (fewer if the server stops early), then checks that nothing
    // more follows.
    std::string Exchange(const std::string& request, const std::string& expected) {
        CTestClient client;
        if (!client.Connect(m_server.Port()) || !client.SendText(request)) return "no connection";
        std::string got = client.ReadStableAnswers(AnswerCount(expected));
        // One more request on the same connection proves that no stray bytes followed.
        client.SendText("HEAD /hello.txt HTTP/1.1\r\n\r\n");
        std::string next = client.ReadStableAnswers();
        if (next != HelloHead()) got += "|then: " + next;
        return got;
    }

    // The answer to a HEAD of hello.txt.
    static std::string HelloHead() { return StableHeadAnswer(StableOkHead(13, kText)); }
    CTempDir m_parent;
    std::string m_root;
    CRunningServer m_server;
};

TEST_F(KovwebHttp, PipelinedRequestsAreAnsweredByteForByteInOrder) {
    ASSERT_TRUE(m_server.Start({m_root + "/"}));
    const std::string blob = BinaryBlob();
    const std::string hello = StableOkHead(13, kText) + "hello, world\n";
    // Files of every size, targets with a query, a fragment and escapes, HEADs and the 404
    // page with the target shown as text, all in one write.
    const std::string expected = StableOkHead(blob.size(), nullptr) + blob +
                                 StableOkHead(14, kHtml) + "<h1>home</h1>\n" +
                                 StableOkHead(0, kText) + hello + hello + StableOkHead(10, kHtml) +
                                 "<p>sub</p>" + StableOkHead(6, kText) + "spaced" + HelloHead() +
                                 StableHeadAnswer(StableNotFound("nope.txt")) +
                                 StableNotFound("&lt;b&gt;&quot;x&quot;&amp;.html");
    EXPECT_EQ(Exchange("GET /blob.bin HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n"
                       "GET /empty.txt HTTP/1.1\r\n\r\n"
                       "GET /hello.txt?x=1&y=/../secret.txt HTTP/1.1\r\n\r\n"
                       "GET /hello%2Etxt#part HTTP/1.1\r\n\r\nGET /sub/ HTTP/1.1\r\n\r\n"
                       "GET /a%20b.txt HTTP/1.1\r\n\r\nHEAD /hello.txt HTTP/1.1\r\n\r\n"
                       "HEAD /nope.txt HTTP/1.1\r\n\r\n"
                       "GET /%3Cb%3E%22x%22&.html HTTP/1.1\r\n\r\n",
                       expected),
              expected);
}

TEST_F(KovwebHttp, EveryRequestIsAnsweredAndOnlyUnreadableOnesEndTheConnection) {
    ASSERT_TRUE(m_server.Start({m_root + "/"}));
    CTestClient client;
    ASSERT_TRUE(client.Connect(m_server.Port()));
    // A form's POST is refused in words, its body read past, and the connection goes on.
    ASSERT_TRUE(
        client.SendText("POST /hello.txt HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1"
                        "GET http://localhost/hello.txt HTTP/1.1\r\n\r\n"));
    CTestResponse response;
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_nStatus, 405);
    EXPECT_NE(response.m_head.find("\r\nallow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_EQ(client.ReadStableAnswers(), StableOkHead(13, kText) + "hello, world\n");
    // So is one whose body comes in chunks, a chunk larger than a head can be among them.
    ASSERT_TRUE(
        client.SendText("PUT /new.txt HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "2000\r\n" +
                        std::string(0x2000, 'c') + "\r\n0\r\n\r\nGET /hello.txt HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_nStatus, 405);
    EXPECT_EQ(client.ReadStableAnswers(), StableOkHead(13, kText) + "hello, world\n");
    // What is no request gets 400, then the end.
    ASSERT_TRUE(client.SendText("HELLO THERE\r\n\r\n"));
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_nStatus, 400);
    EXPECT_NE(response.m_head.find("\r\nconnection: close\r\n"), std::string::npos);
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(KovwebHttp, RootWithoutFinalSlashGetsOne) {
    // The short port option too, and the root exactly as typed.
    ASSERT_TRUE(m_server.Start({m_root}, std::string(), "-p"));
    std::string home = StableOkHead(14, kHtml) + "<h1>home</h1>\n";
    EXPECT_EQ(Exchange("GET / HTTP/1.1\r\n\r\n", home), home);
}

TEST_F(KovwebHttp, NoRootMeansTheCurrentDirectory) {
    ASSERT_TRUE(m_server.Start({}, m_root));
    std::string hello = StableOkHead(13, kText) + "hello, world\n";
    EXPECT_EQ(Exchange("GET /hello.txt HTTP/1.1\r\n\r\n", hello), hello);
}

TEST_F(KovwebHttp, OneRangeIsSentAloneAndOnePastTheEndIsRefused) {
    ASSERT_TRUE(m_server.Start({m_root + "/"}));
    const std::string blob = BinaryBlob();
    const std::string part =
        "HTTP/1.1 206 Partial Content\r\ncontent-length: 10\r\ncontent-range: bytes "
        "69990-69999/70000\r\naccept-ranges: bytes\r\nlast-modified: <date>\r\netag: "
        "<etag>\r\ndate: <date>\r\n\r\n" +
        blob.substr(69990);
    EXPECT_EQ(Exchange("GET /blob.bin HTTP/1.1\r\nRange: bytes=-10\r\n\r\n", part), part);
    const std::string refused =
        "HTTP/1.1 416 Range Not Satisfiable\r\ncontent-length: 0\r\ncontent-range: bytes "
        "*/70000\r\ndate: <date>\r\n\r\n";
    EXPECT_EQ(Exchange("GET /blob.bin HTTP/1.1\r\nRange: bytes=70000-\r\n\r\n", refused), refused);
    // Outside the root a range changes nothing: it is the 404 it was.
    const std::string missing = StableNotFound("..\\secret.txt");
    EXPECT_EQ(Exchange("GET /../secret.txt HTTP/1.1\r\nRange: bytes=0-1\r\n\r\n", missing),
              missing);
}

TEST_F(KovwebHttp, AClientsCopyThatIsStillCurrentIsNotSentAgain) {
    ASSERT_TRUE(m_server.Start({m_root + "/"}));
    CTestClient client;
    ASSERT_TRUE(client.Connect(m_server.Port()));
    ASSERT_TRUE(client.SendText("GET /hello.txt HTTP/1.1\r\n\r\n"));
    CTestResponse first;
    ASSERT_TRUE(client.ReadResponse(first));
    const std::string etag = HeaderValue(first.m_head, "etag:");
    const std::string modified = HeaderValue(first.m_head, "last-modified:");
    const std::string notModified =
        "HTTP/1.1 304 Not Modified\r\nlast-modified: <date>\r\netag: <etag>\r\ndate: "
        "<date>\r\n\r\n";
    // Either validator will do; a tag of another version sends the file again.
    ASSERT_TRUE(
        client.SendText("GET /hello.txt HTTP/1.1\r\nIf-None-Match: \"x\", " + etag +
                        "\r\n\r\nGET /hello.txt HTTP/1.1\r\nIf-Modified-Since: " + modified +
                        "\r\n\r\nGET /hello.txt HTTP/1.1\r\nIf-None-Match: "
                        "\"x\"\r\nIf-Modified-Since: " +
                        modified + "\r\n\r\n"));
    EXPECT_EQ(client.ReadStableAnswers(3),
              notModified + notModified + StableOkHead(13, kText) + "hello, world\n");
}

TEST_F(KovwebHttp, IPv6ClientsAreServedWhereTheHostHasIPv6) {
    ASSERT_TRUE(m_server.Start({m_root + "/"}));
    CTestClient client;
    if (!client.Socket().Connect("::1", m_server.Port())) {
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ASSERT_TRUE(client.SendText("GET /hello.txt HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(client.ReadStableAnswers(), StableOkHead(13, kText) + "hello, world\n");
}

// curl ------------------------------------------------------------------------------------

class KovwebCurl : public KovwebHttp {
protected:
    void SetUp() override {
        m_curl = FindOnPath("curl");
        if (m_curl.empty()) GTEST_SKIP() << "curl is not installed";
        KovwebHttp::SetUp();
        ASSERT_TRUE(m_server.Start({m_root + "/"}));
    }

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_server.Port()) + path;
    }

    CRunResult Curl(std::vector<std::string> args) const {
        std::vector<std::string> argv = {m_curl, "--silent", "--show-error", "--max-time", "20"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(m_curl, argv, 30000);
    }

    std::string m_curl;
};

TEST_F(KovwebCurl, GetsFilesAndNotFoundOnOneConnection) {
    const std::string saved = FolderText(m_parent) + "/blob.out";
    const std::string page = FolderText(m_parent) + "/sub.out";
    // num_connects is 0 for a transfer that reused the connection of the one before.
    CRunResult get =
        Curl({"--write-out", "%{http_code} %{num_connects} %{content_type}|", "--output", saved,
              Url("/blob.bin"), "--output", page, Url("/sub/"), Url("/nope.html")});
    ASSERT_TRUE(get.m_bFinished);
    EXPECT_EQ(get.m_nExitCode, 0) << get.m_err;
    EXPECT_EQ(get.m_out,
              "200 1 |200 0 text/html; charset=utf-8|<html><body><h1>404</h1><b>Couldn't find "
              "file: nope.html</b></body></html>\r\n404 0 text/html; charset=utf-8|");
    EXPECT_TRUE(ReadWholeFile(saved) == BinaryBlob());
    EXPECT_EQ(ReadWholeFile(page), "<p>sub</p>");
}

TEST_F(KovwebCurl, ResumesACutDownloadByteExact) {
    const std::string blob = BinaryBlob();
    const std::string saved = FolderText(m_parent) + "/resumed.out";
    ASSERT_TRUE(PutFile(m_parent, "resumed.out", blob.substr(0, 12345)));
    CRunResult resume =
        Curl({"-C", "-", "--output", saved, "--write-out", "%{http_code}", Url("/blob.bin")});
    ASSERT_TRUE(resume.m_bFinished);
    EXPECT_EQ(resume.m_nExitCode, 0) << resume.m_err;
    EXPECT_EQ(resume.m_out, "206");
    EXPECT_TRUE(ReadWholeFile(saved) == blob);
}

TEST_F(KovwebCurl, HeadWithDashI) {
    CRunResult head = Curl({"-I", Url("/hello.txt")});
    ASSERT_TRUE(head.m_bFinished);
    EXPECT_EQ(head.m_nExitCode, 0) << head.m_err;
    // What the GET would send: the size, type and validators, then the date.
    EXPECT_EQ(StableBytes(head.m_out), HelloHead());
}

}  // namespace
