// One worker serving loopback connections: exact responses, head reading and its deadline,
// connection ends, bounded stops, where new connections go, and what one round steps.
#include "server/http_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "foundation/clock.h"
#include "tests/server/server_test_support.h"
#include "tests/support/test_client.h"

namespace {

const char kPageStart[] = "<html><body><h1>404</h1><b>Couldn't find file: ";

std::string Get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\n\r\n";
}
std::string Head(const std::string& target) {
    return "HEAD " + target + " HTTP/1.1\r\n\r\n";
}

// A whole file's answer as StableBytes shows it.
std::string Ok(const std::string& body, const char* pszType) {
    return StableOkHead(body.size(), pszType) + body;
}

const char kText[] = "text/plain; charset=utf-8";
const char kHtml[] = "text/html; charset=utf-8";

// The answer with one more header field line (given with its CR LF) at the end of its head.
std::string WithField(std::string answer, const std::string& line) {
    return answer.insert(answer.find("\r\n\r\n") + 2, line);
}

// The refusal page a request that cannot be served gets.
std::string Refusal(const std::string& status, const std::string& fields = "") {
    const std::string page = "<html><body><h1>" + status.substr(0, 3) + "</h1><b>" +
                             status.substr(4) + "</b></body></html>\r\n";
    return "HTTP/1.1 " + status + "\r\ncontent-length: " + std::to_string(page.size()) +
           "\r\ncontent-type: text/html; charset=utf-8\r\n" + fields + "date: <date>\r\n\r\n" +
           page;
}

// Makes a loopback connection whose accepted side is placed on worker; the other side goes
// to client.
void ConnectTo(CHttpThread& worker, CTestClient& client) {
    CLoopbackPair pair;
    std::string error;
    ASSERT_TRUE(pair.Open(&error)) << error;
    ASSERT_TRUE(client.Socket().Attach(pair.m_client.Detach()));
    std::unique_ptr<CConnection> pConnection(new CConnection);
    ASSERT_TRUE(pConnection->Socket().Attach(pair.m_server.Detach()));
    ASSERT_TRUE(pConnection->Socket().SetNonBlocking());
    pConnection->Begin(GetTickCount64Ms());
    ASSERT_TRUE(worker.Place(pConnection)) << "the worker did not take the connection";
}

// A file of size bytes that holds start at its beginning and no data blocks elsewhere;
// false when the file system cannot make it.
// Renames from over to, trying again while another program's handle keeps the old file from
// being replaced, for at most ms; whether it was done.
bool RenameWithin(const std::filesystem::path& from, const std::filesystem::path& to, uint64_t ms) {
    const uint64_t start = GetTickCount64Ms();
    for (;;) {
        std::error_code error;
        std::filesystem::rename(from, to, error);
        if (!error) return true;
        if (ElapsedMs(start) > ms) return false;
        SleepMs(20);
    }
}

bool MakeSparseFile(const std::filesystem::path& path, const std::string& start, uint64_t size) {
    {
        std::ofstream out(path, std::ios::binary);
        out.write(start.data(), static_cast<std::streamsize>(start.size()));
        if (!out) return false;
    }
    std::error_code error;
    std::filesystem::resize_file(path, size, error);
    return !error;
}

class HttpWorkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_worker.ServeFrom(&m_root.DocumentRoot());
        m_root.WriteFile("a.txt", "hello");
        m_root.WriteFile("data.bin", std::string("\0\x01\xff", 3));
        m_root.WriteFile("index.html", "<p>home</p>");
        m_root.WriteFile("docs/index.html", "docs home");
        m_root.WriteFile("empty.txt", "");
        ASSERT_TRUE(m_worker.Start());
    }
    void TearDown() override { m_worker.Shutdown(); }

    void Connect(CTestClient& client) { ConnectTo(m_worker, client); }
    // Asks for large.bin (far more than the socket buffers hold) and reads only its head.
    void StartLargeDownload(CTestClient& client) {
        Connect(client);
        ASSERT_TRUE(client.SendText(Get("/large.bin")));
        CTestResponse response;
        ASSERT_TRUE(client.ReadResponse(response, true));
    }
    bool WaitIdle(uint32_t ms) {
        return WaitUntil([this] { return m_worker.GetConnectionCount() == 0; }, ms);
    }
    // Sends request and expects exactly the bytes of expected in answer.
    void ExpectAnswer(CTestClient& client, const std::string& request,
                      const std::string& expected) {
        ASSERT_TRUE(client.SendText(request));
        EXPECT_EQ(client.ReadStableAnswers(AnswerCount(expected)), expected) << request;
    }

    CTempWebRoot m_root;
    CHttpThread m_worker;
};

}  // namespace

TEST_F(HttpWorkerTest, GetAndHeadAnswersAreExactToTheByte) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
    ExpectAnswer(client, Get("/data.bin"), Ok(std::string("\0\x01\xff", 3), nullptr));
    ExpectAnswer(client, Get("/"), Ok("<p>home</p>", kHtml));
    ExpectAnswer(client, Get("/docs/"), Ok("docs home", kHtml));
    ExpectAnswer(client, Get("/empty.txt"), Ok("", kText));
    ExpectAnswer(client, Get("/missing.html"), StableNotFound("missing.html"));
    ExpectAnswer(client, Get("/docs/x.txt"), StableNotFound("docs\\x.txt"));
    // A folder named without its final '/' is sent on to the name with it.
    ExpectAnswer(client, Get("/docs?q=1"),
                 "HTTP/1.1 301 Moved Permanently\r\nlocation: /docs/?q=1\r\ncontent-length: 91\r\n"
                 "content-type: text/html; charset=utf-8\r\ndate: <date>\r\n\r\n<html><body>"
                 "<h1>301</h1><b>Moved to <a "
                 "href=\"/docs/?q=1\">/docs/?q=1</a></b></body></html>\r\n");
    ExpectAnswer(client, Get("/%3Cb%3E&x.txt?q=1"), StableNotFound("&lt;b&gt;&amp;x.txt"));
    // A HEAD is answered with the head the GET would get.
    ExpectAnswer(client, Head("/a.txt"), StableHeadAnswer(Ok("hello", kText)));
    ExpectAnswer(client, Head("/docs/"), StableHeadAnswer(Ok("docs home", kHtml)));
    ExpectAnswer(client, Head("/docs?q=1"),
                 "HTTP/1.1 301 Moved Permanently\r\nlocation: /docs/?q=1\r\ncontent-length: 91\r\n"
                 "content-type: text/html; charset=utf-8\r\ndate: <date>\r\n\r\n");
    ExpectAnswer(client, Head("/missing.html"), StableHeadAnswer(StableNotFound("missing.html")));
}

TEST_F(HttpWorkerTest, AHeadIsAnsweredWithTheHeadTheGetGets) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    CTestResponse probe;
    ASSERT_TRUE(client.SendText(Get("/a.txt")));
    ASSERT_TRUE(client.ReadResponse(probe));
    const size_t tagAt = probe.m_head.find("etag: ") + 6;
    const std::string etag = probe.m_head.substr(tagAt, probe.m_head.find("\r\n", tagAt) - tagAt);
    const std::string targets[] = {"/a.txt", "/", "/docs/", "/docs?x", "/missing", "/%zz", "/../x"};
    const std::string fields[] = {
        "",
        "Range: bytes=1-2\r\n",
        "Range: bytes=99-\r\n",
        "If-None-Match: " + etag + "\r\n",
        "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n",
        "Connection: close\r\n",
    };
    for (const std::string& target : targets) {
        for (const std::string& field : fields) {
            const std::string request = " " + target + " HTTP/1.1\r\n" + field + "\r\n";
            CTestClient get;
            CTestClient head;
            ASSERT_NO_FATAL_FAILURE(Connect(get));
            ASSERT_NO_FATAL_FAILURE(Connect(head));
            ASSERT_TRUE(get.SendText("GET" + request));
            ASSERT_TRUE(head.SendText("HEAD" + request));
            const std::string getAnswer = get.ReadStableAnswers();
            EXPECT_EQ(head.ReadStableAnswers(), StableHeadAnswer(getAnswer)) << target << field;
        }
    }
}

TEST_F(HttpWorkerTest, AFolderWithoutAnIndexIsListedAndAChangeInItShowsAtOnce) {
    m_root.WriteFile("music/song.flac", std::string(1536, 's'));
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    const auto ask = [&client](const std::string& request) {
        CTestResponse response;
        EXPECT_TRUE(client.SendText(request));
        EXPECT_TRUE(client.ReadResponse(response));
        return response;
    };
    const auto etagOf = [](const CTestResponse& response) {
        const size_t at = response.m_head.find("\r\netag: ") + 8;
        return response.m_head.substr(at, response.m_head.find("\r\n", at) - at);
    };
    const CTestResponse first = ask(Get("/music/"));
    EXPECT_EQ(first.m_nStatus, 200);
    EXPECT_NE(first.m_head.find("\r\ncontent-type: text/html; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_NE(first.m_body.find("<a href=\"song.flac\">song.flac</a>"), std::string::npos);
    EXPECT_NE(first.m_body.find("1.5 KB"), std::string::npos);
    // Asked again unchanged: the same page and tag; a HEAD gets the same head.
    const CTestResponse again = ask(Get("/music/"));
    EXPECT_EQ(again.m_body, first.m_body);
    EXPECT_EQ(etagOf(again), etagOf(first));
    ASSERT_TRUE(client.SendText(Head("/music/")));
    EXPECT_EQ(client.ReadStableAnswers(), StableBytes(first.m_head));
    // A file in it grows: the next listing shows it, under another tag.
    m_root.WriteFile("music/song.flac", std::string(3000, 's'));
    const CTestResponse grown = ask(Get("/music/"));
    EXPECT_NE(grown.m_body.find("2.9 KB"), std::string::npos) << grown.m_body;
    EXPECT_NE(etagOf(grown), etagOf(first));
    EXPECT_EQ(ask("GET /music/ HTTP/1.1\r\nIf-None-Match: " + etagOf(first) + "\r\n\r\n").m_nStatus,
              200);
    EXPECT_EQ(ask("GET /music/ HTTP/1.1\r\nIf-None-Match: " + etagOf(grown) + "\r\n\r\n").m_nStatus,
              304);
    // Without listings such a folder is the 404 it was.
    CServerOptions noListing;
    noListing.m_bListFolders = false;
    CHttpThread unlisting;
    unlisting.ServeFrom(&m_root.DocumentRoot());
    unlisting.DecideBy(&noListing);
    ASSERT_TRUE(unlisting.Start());
    CTestClient other;
    ASSERT_NO_FATAL_FAILURE(ConnectTo(unlisting, other));
    ExpectAnswer(other, Get("/music/"), StableNotFound("music\\index.html"));
    unlisting.Shutdown();
}

TEST_F(HttpWorkerTest, FilesAreFoundByTheirDecodedNames) {
    m_root.WriteFile("caf\xC3\xA9 menu.txt", "menu");
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ExpectAnswer(client, Get("/caf%c3%a9%20menu.txt"), Ok("menu", kText));
    ExpectAnswer(client, Head("/caf%C3%A9%20menu.txt"), StableHeadAnswer(Ok("menu", kText)));
}

TEST_F(HttpWorkerTest, AFileAskedForAgainIsServedAsItIsNow) {
    // A file changed a moment before it was opened is not told apart by its times alone and
    // so never kept open between requests; these are left a second untouched first, to be kept
    // everywhere.
    SleepMs(1100);
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
    // A part of it, its head alone, then the whole again.
    ASSERT_TRUE(client.SendText("GET /a.txt HTTP/1.1\r\nRange: bytes=1-2\r\n\r\n"));
    CTestResponse part;
    ASSERT_TRUE(client.ReadResponse(part));
    EXPECT_EQ(part.m_body, "el");
    ExpectAnswer(client, Head("/a.txt"), StableHeadAnswer(Ok("hello", kText)));
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
    // Written over in place while held, with the same length and then a longer one.
    m_root.WriteFile("a.txt", "HELLO");
    ExpectAnswer(client, Get("/a.txt"), Ok("HELLO", kText));
    m_root.WriteFile("a.txt", "hello, world");
    ExpectAnswer(client, Get("/a.txt"), Ok("hello, world", kText));
    // Replaced by another file under the same name, as editors save.
    m_root.WriteFile("a.new", "fresh");
    std::filesystem::rename(m_root.Folder() / "a.new", m_root.Folder() / "a.txt");
    ExpectAnswer(client, Get("/a.txt"), Ok("fresh", kText));
    ExpectAnswer(client, Head("/a.txt"), StableHeadAnswer(Ok("fresh", kText)));
    // Gone, then back.
    std::filesystem::remove(m_root.Folder() / "a.txt");
    ExpectAnswer(client, Get("/a.txt"), StableNotFound("a.txt"));
    ExpectAnswer(client, Head("/a.txt"), StableHeadAnswer(StableNotFound("a.txt")));
    m_root.WriteFile("a.txt", "back");
    ExpectAnswer(client, Get("/a.txt"), Ok("back", kText));
    // A file with a strong validator held by a connection that then waits is let go well before the
    // connection ends, so that it can be saved over meanwhile (on Win32 a file held open
    // cannot be).
    ExpectAnswer(client, Get("/data.bin"), Ok(std::string("\0\x01\xff", 3), nullptr));
    m_root.WriteFile("data.new", "fresh");
    EXPECT_TRUE(RenameWithin(m_root.Folder() / "data.new", m_root.Folder() / "data.bin", 2000));
    ExpectAnswer(client, Get("/data.bin"), Ok("fresh", nullptr));
    ExpectAnswer(client, Get("/a.txt"), Ok("back", kText));
    // Its folder swapped for another, as a site is deployed.
    ExpectAnswer(client, Get("/docs/"), Ok("docs home", kHtml));
    ExpectAnswer(client, Get("/docs/"), Ok("docs home", kHtml));
    EXPECT_TRUE(RenameWithin(m_root.Folder() / "docs", m_root.Folder() / "docs.old", 2000));
    m_root.WriteFile("docs/index.html", "new docs");
    ExpectAnswer(client, Get("/docs/"), Ok("new docs", kHtml));
}

TEST_F(HttpWorkerTest, HeadSentInPiecesIsAssembled) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    for (const char* pszPiece : {"GE", "T /a.t", "xt HTTP/1.1\r", "\nHost: x\r\n\r"}) {
        ASSERT_TRUE(client.SendText(pszPiece));
        SleepMs(20);
    }
    ExpectAnswer(client, "\n", Ok("hello", kText));
}

TEST_F(HttpWorkerTest, RequestsThatCannotBeServedAreRefusedInWords) {
    const std::string kClose = "connection: close\r\n";
    const std::string kAllow = "allow: GET, HEAD\r\n";
    struct {
        std::string m_request;
        std::string m_answer;
        bool m_bEnds;  // the connection ends after the answer
    } const cases[] = {
        // Methods: known ones not offered on files, unknown ones (methods are
        // case-sensitive); a body of known length, or in chunks, is read past.
        {"POST /a.txt HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
         Refusal("405 Method Not Allowed", kAllow), false},
        {"OPTIONS * HTTP/1.1\r\n\r\n", Refusal("405 Method Not Allowed", kAllow), false},
        {"get /a.txt HTTP/1.1\r\n\r\n", Refusal("501 Not Implemented"), false},
        // Heads that are no request, and versions not served, end the connection.
        {"HELLO THERE\r\n\r\n", Refusal("400 Bad Request"), true},
        {"GET / HTTP/2.7\r\n\r\n", Refusal("505 HTTP Version Not Supported"), true},
        {"POST /a.txt HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nT: "
         "1\r\n\r\n",
         Refusal("405 Method Not Allowed", kAllow), false},
    };
    for (const auto& c : cases) {
        CTestClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(client));
        const int32_t before = g_nRequests.load();
        ASSERT_TRUE(client.SendText(c.m_request + Get("/a.txt")));
        const std::string expected = c.m_bEnds ? WithField(c.m_answer, kClose) : c.m_answer;
        EXPECT_EQ(client.ReadStableAnswers(), expected) << c.m_request;
        if (c.m_bEnds) {
            std::string rest;
            EXPECT_TRUE(client.WaitClosed(kTestReadTimeoutMs, &rest)) << c.m_request;
            EXPECT_EQ(rest, "") << c.m_request;
            EXPECT_EQ(g_nRequests.load() - before, 1) << c.m_request;
        } else {
            // Every head counts, and the connection goes on.
            EXPECT_EQ(client.ReadStableAnswers(), Ok("hello", kText)) << c.m_request;
            EXPECT_EQ(g_nRequests.load() - before, 2) << c.m_request;
        }
        client.Close();
    }
}

TEST_F(HttpWorkerTest, HeadsThatCannotBeReadCloseTheConnectionUnanswered) {
    const std::string padStart = "GET /a.txt HTTP/1.1\r\nX-Pad: ";
    const auto headOf = [&](size_t total) {
        return padStart + std::string(total - padStart.size() - 4, 'p') + "\r\n\r\n";
    };
    struct {
        std::string m_request;
        bool m_bAnswered;
    } const cases[] = {
        {headOf(4095), true},
        {headOf(4096), false},
        {std::string("\0", 1) + Get("/a.txt"), false},
        {"\r\n\r\n" + Get("/a.txt"), true},
    };
    for (const auto& c : cases) {
        CTestClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(client));
        ASSERT_TRUE(client.SendText(c.m_request));
        if (c.m_bAnswered) {
            EXPECT_EQ(client.ReadStableAnswers(), Ok("hello", kText));
            client.Close();
        } else {
            std::string rest;
            const uint64_t start = GetTickCount64Ms();
            EXPECT_TRUE(client.WaitClosed(kTestReadTimeoutMs, &rest));
            EXPECT_EQ(rest, "");
            // Refused at once, not left to the head deadline.
            EXPECT_LT(ElapsedMs(start), 2000u);
        }
        ASSERT_TRUE(WaitIdle(kTestReadTimeoutMs));
    }
}

TEST_F(HttpWorkerTest, OverlongTargetIsNotFoundWithAnExactLength) {
    const std::string target = "/<&" + std::string(3000, 'x');
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ASSERT_TRUE(client.SendText(Get(target) + Get("/a.txt")));
    CTestResponse response;
    ASSERT_TRUE(client.ReadResponse(response));
    EXPECT_EQ(response.m_nStatus, 404);
    EXPECT_EQ(response.m_body.rfind(std::string(kPageStart) + "/&lt;&amp;xxx", 0), 0u);
    EXPECT_LT(response.m_body.size(), target.size());
    // Had the length been wrong, the next answer would not start where it is read.
    EXPECT_EQ(client.ReadStableAnswers(), Ok("hello", kText));
}

TEST_F(HttpWorkerTest, FilesOf4GiBAndMoreAnnounceTheirWholeSize) {
    const uint64_t size = (uint64_t{1} << 32) + 7;
    if (!MakeSparseFile(m_root.Folder() / "big.bin", "START", size)) {
        GTEST_SKIP() << "no room for a sparse file here";
    }
    {
        std::fstream end(m_root.Folder() / "big.bin",
                         std::ios::in | std::ios::out | std::ios::binary);
        end.seekp(static_cast<std::streamoff>(size - 3));
        end.write("END", 3);
    }
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    // A range near the end is exact to the byte.
    ASSERT_TRUE(client.SendText("GET /big.bin HTTP/1.1\r\nRange: bytes=4294967301-\r\n\r\n"));
    CTestResponse part;
    ASSERT_TRUE(client.ReadResponse(part));
    EXPECT_EQ(part.m_nStatus, 206);
    EXPECT_NE(part.m_head.find("\r\ncontent-range: bytes 4294967301-4294967302/4294967303\r\n"),
              std::string::npos);
    EXPECT_EQ(part.m_body, "ND");
    ASSERT_TRUE(client.SendText(Get("/big.bin")));
    CTestResponse response;
    ASSERT_TRUE(client.ReadResponse(response, true));
    EXPECT_EQ(StableAnswer(response),
              "HTTP/1.1 200 Sending file\r\ncontent-length: 4294967303\r\naccept-ranges: "
              "bytes\r\nlast-modified: <date>\r\netag: <etag>\r\ndate: <date>\r\n\r\n");
    EXPECT_EQ(client.ReadExactly(8), std::string("START\0\0\0", 8));
    // A client that leaves mid-file frees the worker as soon as a send fails.
    client.Close();
    EXPECT_TRUE(WaitIdle(kTestReadTimeoutMs));
}

TEST_F(HttpWorkerTest, IdleConnectionAndSlowHeadCloseAtTheDeadline) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    // The head's deadline runs from the end of the answer before it, so from no sooner than
    // this.
    const uint64_t start = GetTickCount64Ms();
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
    // Bytes that keep arriving do not extend the deadline of the head they belong to.
    const char* const pieces[] = {"GET /a.txt HTTP/1.1\r\n", "Host: x\r\n", "X-Slow: 1\r\n"};
    uint64_t lastSentAt = start;
    bool bSentAll = true;
    for (size_t i = 0; i < 3; ++i) {
        if (i > 0) SleepMs(1000);
        const uint64_t sendingAt = GetTickCount64Ms();
        // A machine slow enough to oversleep may find the connection ended by its deadline
        // already: the bounds below tell whether that came too early.
        bSentAll = client.SendText(pieces[i]);
        if (!bSentAll) break;
        lastSentAt = sendingAt;
    }
    std::string rest;
    EXPECT_TRUE(client.WaitClosed(kHeadDeadlineMs + 3000, &rest));
    const uint64_t closedAt = GetTickCount64Ms();
    EXPECT_EQ(rest, "");
    EXPECT_GE(closedAt - start, kHeadDeadlineMs - 300);
    // A deadline that the last piece had moved on would not have passed yet.
    if (bSentAll) {
        EXPECT_LT(closedAt, lastSentAt + kHeadDeadlineMs);
    }
    EXPECT_TRUE(WaitIdle(1000));
}

TEST_F(HttpWorkerTest, ClosedPeerFreesTheWorkerAtOnce) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
    EXPECT_EQ(m_worker.GetConnectionCount(), 1);
    const int32_t served = m_worker.GetServedCount();
    client.Close();
    const uint64_t start = GetTickCount64Ms();
    ASSERT_TRUE(WaitIdle(kTestReadTimeoutMs));
    EXPECT_LT(ElapsedMs(start), 1500u);
    EXPECT_EQ(m_worker.GetServedCount(), served + 1);
}

TEST_F(HttpWorkerTest, ClientsThatAskForTheEndGetItRightAfterTheAnswer) {
    // Such clients read until the connection ends; keeping it for the deadline would cost
    // each of them 3 s.
    const std::string requests[] = {
        "GET /a.txt HTTP/1.0\r\nHost: x\r\n\r\n",
        "GET /a.txt HTTP/1.1\r\nConnection: close\r\n\r\n",
    };
    for (const std::string& request : requests) {
        CTestClient client;
        ASSERT_NO_FATAL_FAILURE(Connect(client));
        const uint64_t start = GetTickCount64Ms();
        ASSERT_TRUE(client.SendText(request));
        std::string rest;
        EXPECT_TRUE(client.WaitClosed(kTestReadTimeoutMs, &rest)) << request;
        EXPECT_LT(ElapsedMs(start), 1500u) << request;
        EXPECT_EQ(StableBytes(rest), WithField(Ok("hello", kText), "connection: close\r\n"))
            << request;
        // With nothing left unread the worker does not linger for the client's own close,
        // which a client that has its answer may never hurry to make.
        EXPECT_TRUE(WaitIdle(1000)) << request;
    }
    // An HTTP/1.0 client that asks to keep the connection is told it may.
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    const std::string keep = "GET /a.txt HTTP/1.0\r\nConnection: keep-alive\r\n\r\n";
    const std::string kept = WithField(Ok("hello", kText), "connection: keep-alive\r\n");
    ExpectAnswer(client, keep, kept);
    ExpectAnswer(client, keep, kept);
}

TEST_F(HttpWorkerTest, RequestBodiesAreSkippedSoTheNextRequestIsAnswered) {
    const std::string notAllowed = Refusal("405 Method Not Allowed", "allow: GET, HEAD\r\n");
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    // Body and next request in one write.
    ExpectAnswer(client, "POST /a.txt HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello" + Get("/a.txt"),
                 notAllowed + Ok("hello", kText));
    // A body that comes in pieces after its head, and a GET that carries one.
    ASSERT_TRUE(client.SendText("PUT /x HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123"));
    ASSERT_TRUE(client.SendText("456"));
    ExpectAnswer(client, "789" + Get("/docs/"), notAllowed + Ok("docs home", kHtml));
    ExpectAnswer(client, "GET /a.txt HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyz" + Head("/a.txt"),
                 Ok("hello", kText) + StableHeadAnswer(Ok("hello", kText)));
}

TEST_F(HttpWorkerTest, TheLastAnswerArrivesWholeEvenWhenTheClientSendsMore) {
    // Closing with unread bytes would reset the connection and cut the answer short.
    const std::string body(16 * 1024 * 1024, 'b');
    m_root.WriteFile("big.bin", body);
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ASSERT_TRUE(client.SendText("GET /big.bin HTTP/1.1\r\nConnection: close\r\n\r\n"));
    SleepMs(200);  // the server is now waiting for room to send
    ASSERT_TRUE(client.SendText(Get("/a.txt") + Get("/a.txt")));
    std::string rest;
    // Moving 16 MB takes ThreadSanitizer's build several seconds even on an idle machine.
    EXPECT_TRUE(client.WaitClosed(kTestReadTimeoutMs * 6, &rest));
    const std::string stable = StableBytes(rest);
    const std::string expected = WithField(Ok(body, nullptr), "connection: close\r\n");
    EXPECT_EQ(stable.size(), expected.size());
    EXPECT_TRUE(stable == expected);
}

TEST_F(HttpWorkerTest, StopOnAnIdleConnectionEndsWithoutWaitingForTheDeadline) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
    const uint64_t start = GetTickCount64Ms();
    m_worker.Shutdown();
    EXPECT_LT(ElapsedMs(start), 2000u);
    std::string rest;
    EXPECT_TRUE(client.WaitClosed(1000, &rest));
    EXPECT_EQ(rest, "");
}

TEST_F(HttpWorkerTest, StopWhileSendingToAClientThatDoesNotReadEndsWithinTheGrace) {
    if (!MakeSparseFile(m_root.Folder() / "large.bin", "", uint64_t{256} << 20)) {
        GTEST_SKIP() << "no room for a sparse file here";
    }
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(StartLargeDownload(client));
    SleepMs(200);  // lets the socket buffers fill up
    const uint64_t start = GetTickCount64Ms();
    m_worker.Shutdown();
    EXPECT_LT(ElapsedMs(start), kStopGraceMs + 4000u);
    EXPECT_EQ(m_worker.GetConnectionCount(), 0);
}

TEST_F(HttpWorkerTest, StopEndsWithinTheGraceAlsoForAClientThatKeepsSending) {
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    std::string batch;
    for (int i = 0; i < 20; ++i) batch += Get("/a.txt");
    // Keeps requests queued ahead of the worker until the connection ends.
    std::atomic<bool> bClosed{false};
    std::atomic<size_t> nReceived{0};
    std::thread pump([&] {
        const uint64_t start = GetTickCount64Ms();
        while (ElapsedMs(start) < 3 * kStopGraceMs + 4000) {
            if (!client.SendText(batch)) break;
            const size_t count = client.ReadSome(1000).size();
            if (count == 0) break;
            nReceived += count;
        }
        bClosed = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return nReceived > 100 * 1024; }, kTestReadTimeoutMs));
    const uint64_t start = GetTickCount64Ms();
    m_worker.Shutdown();
    const uint64_t elapsed = ElapsedMs(start);
    pump.join();
    EXPECT_LT(elapsed, kStopGraceMs + 4000u);
    EXPECT_TRUE(bClosed);
}

TEST_F(HttpWorkerTest, AZipRangeThatWaitsOnAHugeFilesCrcLeavesTheWorkerToItsOthers) {
    // Reading it for its CRC-32 takes far longer than a client here waits for an answer.
    if (!MakeSparseFile(m_root.Folder() / "huge.bin", "", uint64_t{64} << 30)) {
        GTEST_SKIP() << "no room for a sparse file here";
    }
    CTestClient zip;
    ASSERT_NO_FATAL_FAILURE(Connect(zip));
    ASSERT_TRUE(zip.SendText("GET /?zip HTTP/1.1\r\nrange: bytes=-2000\r\n\r\n"));
    CTestResponse response;
    ASSERT_TRUE(zip.ReadResponse(response, true));
    EXPECT_EQ(response.m_nStatus, 206);
    // The central directory's bytes wait on that reading; a client beside it does not.
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(Connect(client));
    ExpectAnswer(client, Get("/a.txt"), Ok("hello", kText));
}

TEST_F(HttpWorkerTest, ClientThatStopsReadingFreesTheWorkerAfterTheStallTime) {
    if (!MakeSparseFile(m_root.Folder() / "large.bin", "", uint64_t{256} << 20)) {
        GTEST_SKIP() << "no room for a sparse file here";
    }
    CTestClient client;
    ASSERT_NO_FATAL_FAILURE(StartLargeDownload(client));
    const uint64_t start = GetTickCount64Ms();
    ASSERT_TRUE(WaitIdle(kSendStallMs + 8000));
    EXPECT_GE(ElapsedMs(start), kSendStallMs - 1000);
}

TEST(WorkerPlacementTest, AWorkerThatKeepsUpTakesNewConnectionsBeforeTheNextOne) {
    constexpr int32_t kPacked = 8;
    CWorkerLoad loads[5];
    for (CWorkerLoad& load : loads) load = CWorkerLoad{true, true, 0};
    EXPECT_EQ(ChooseWorker(loads, 5, kPacked), 0);
    // A few clients share one awake worker instead of waking one each.
    loads[0].m_nConnections = 4;
    EXPECT_EQ(ChooseWorker(loads, 5, kPacked), 0);
    // Where one each is best, the next idle worker takes it.
    EXPECT_EQ(ChooseWorker(loads, 5, 1), 1);
    // One that has been busy too long, or holds its share, is passed over.
    loads[0].m_bKeepsUp = false;
    loads[1].m_nConnections = kPacked;
    EXPECT_EQ(ChooseWorker(loads, 5, kPacked), 2);
    // When none keeps up, the fewest connections decide, the lower index among equals.
    const int32_t counts[5] = {40, 3, 9, 3, 7};
    for (int i = 0; i < 5; ++i) loads[i] = CWorkerLoad{true, false, counts[i]};
    EXPECT_EQ(ChooseWorker(loads, 5, kPacked), 1);
    // A worker that could never serve is never chosen.
    loads[1].m_bCanTake = false;
    loads[4].m_bKeepsUp = true;
    EXPECT_EQ(ChooseWorker(loads, 5, kPacked), 4);
    for (CWorkerLoad& load : loads) load.m_bCanTake = false;
    EXPECT_EQ(ChooseWorker(loads, 5, kPacked), -1);
}

// Rounds driven on the test's own thread, with the time each may wait given.
TEST(WorkerRoundTest, ARoundStepsEveryReadyConnectionAndAPipelinerOnlyOnce) {
    CTempWebRoot root;
    root.WriteFile("a.txt", "hello");
    const std::string answer = Ok("hello", kText);
    CHttpThread worker;
    worker.ServeFrom(&root.DocumentRoot());
    CTestClient clients[3];
    for (CTestClient& client : clients) ASSERT_NO_FATAL_FAILURE(ConnectTo(worker, client));
    // Taken in before their clients send, so that the rounds below are their first steps.
    worker.ServeRound(0);
    ASSERT_TRUE(clients[0].SendText(Get("/a.txt") + Get("/a.txt") + Get("/a.txt")));
    ASSERT_TRUE(clients[1].SendText(Get("/a.txt")));
    ASSERT_TRUE(clients[2].SendText(Get("/a.txt")));

    worker.ServeRound(kTestReadTimeoutMs);
    EXPECT_EQ(clients[1].ReadStableAnswers(), answer);
    EXPECT_EQ(clients[2].ReadStableAnswers(), answer);
    // The pipelining client had one answer, and waits its turn for the next.
    EXPECT_EQ(clients[0].ReadStableAnswers(), answer);
    EXPECT_EQ(clients[0].ReadSome(100), "");
    worker.ServeRound(0);
    worker.ServeRound(0);
    EXPECT_EQ(clients[0].ReadStableAnswers(2), answer + answer);

    // A client that leaves is seen by the next round; the others stay.
    clients[1].Close();
    worker.ServeRound(kTestReadTimeoutMs);
    EXPECT_EQ(worker.GetConnectionCount(), 2);
    EXPECT_EQ(worker.GetServedCount(), 1);
}

TEST(WorkerRoundTest, AfterAStopTheBytesAlreadySentAreAnsweredAndNothingMoreIsAwaited) {
    CTempWebRoot root;
    root.WriteFile("a.txt", "hello");
    CHttpThread worker;
    worker.ServeFrom(&root.DocumentRoot());
    CTestClient client;
    CTestClient idle;
    ASSERT_NO_FATAL_FAILURE(ConnectTo(worker, client));
    ASSERT_NO_FATAL_FAILURE(ConnectTo(worker, idle));
    ASSERT_TRUE(client.SendText(Get("/a.txt") + Head("/missing") + "GET /partial HTTP/1.1\r\n"));

    worker.AskToStop();
    const uint64_t start = GetTickCount64Ms();
    // A pipelined answer ends a step; the rounds after a stop go on without waiting (rounds
    // that waited would take four times the time each is given).
    for (int round = 0; round < 4; ++round) worker.ServeRound(kTestReadTimeoutMs);
    EXPECT_LT(ElapsedMs(start), kTestReadTimeoutMs);
    EXPECT_EQ(worker.GetConnectionCount(), 0);

    EXPECT_EQ(client.ReadStableAnswers(2),
              Ok("hello", kText) + StableHeadAnswer(StableNotFound("missing")));
    std::string rest;
    EXPECT_TRUE(client.WaitClosed(1000, &rest));
    EXPECT_EQ(rest, "");
    EXPECT_TRUE(idle.WaitClosed(1000));
}
