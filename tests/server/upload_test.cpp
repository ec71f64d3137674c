// The upload sinks on a folder of their own, fed as a connection feeds them: files appear
// under their final names only whole, never over another, and nothing else stays behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/file.h"
#include "server/upload.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

class UploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_dir.Path() / "sub");
        m_dir.WriteFile("sub/taken.txt", "old");
        ASSERT_TRUE(m_root.Open((m_dir.Path().wstring() + kPathSeparator).c_str()));
    }

    // Decides the request head (with the blank line) and feeds it the body in pieces of 7
    // bytes, whole or cut after cut bytes; returns the status line and the location, or the
    // refusal's status line when no sink was chosen.
    std::string Upload(const std::string& head, const std::string& body,
                       size_t cut = std::string::npos) {
        m_head = head;
        const CRequest request = ParseRequest(m_head.data(), m_head.size());
        CAnswer answer;
        DecideUpload(request, &m_root, m_options, CReply(), &answer);
        if (!answer.m_pSink) return StatusAndLocation(answer.m_out);
        bool bTaking = true;
        const size_t end = std::min(cut, body.size());
        for (size_t at = 0; bTaking && at < end; at += 7) {
            bTaking = answer.m_pSink->Take(body.data() + at, std::min<size_t>(7, end - at));
        }
        if (cut != std::string::npos && bTaking) {
            answer.m_pSink.reset();  // the connection was cut: no answer
            return "<cut>";
        }
        answer.m_pSink->Finish(bTaking, &answer);
        return StatusAndLocation(answer.m_out);
    }

    static std::string StatusAndLocation(const std::string& out) {
        std::string text = out.substr(9, out.find("\r\n") - 9);
        const size_t at = out.find("\r\nlocation: ");
        if (at != std::string::npos)
            text += " -> " + out.substr(at + 12, out.find("\r\n", at + 2) - at - 12);
        return text;
    }

    // The folder's entries as "name=content", hidden ones included, in name order.
    std::vector<std::string> Entries(const char* pszFolder = "sub") const {
        std::vector<std::string> entries;
        for (const auto& entry : fs::directory_iterator(m_dir.Path() / pszFolder)) {
            std::ifstream in(entry.path(), std::ios::binary);
            entries.push_back(entry.path().filename().u8string() + "=" +
                              std::string(std::istreambuf_iterator<char>(in), {}));
        }
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    CTempDir m_dir;
    CFolder m_root;
    CServerOptions m_options;
    std::string m_head;
};

std::string PutHead(const std::string& target, const std::string& fields) {
    return "PUT " + target + " HTTP/1.1\r\nHost: h\r\n" + fields + "\r\n";
}

TEST_F(UploadTest, APutMakesANewFileOnlyWhole) {
    const std::string body(100000, 'b');
    EXPECT_EQ(Upload(PutHead("/sub/new%20%C3%A9t%C3%A9.bin", "Content-Length: 100000\r\n"), body),
              "201 Created -> /sub/new%20%C3%A9t%C3%A9.bin");
    EXPECT_EQ(Upload(PutHead("/sub/taken.txt", "Content-Length: 3\r\n"), "new"), "409 Conflict");
    EXPECT_EQ(Upload(PutHead("/sub/cut.bin", "Content-Length: 100000\r\n"), body, 5000), "<cut>");
    EXPECT_EQ(Upload(PutHead("/missing/a.txt", "Content-Length: 1\r\n"), "a"),
              "404 File not found!");
    EXPECT_EQ(Upload(PutHead("/sub/.hidden", "Content-Length: 1\r\n"), "a"), "400 Bad Request");
    EXPECT_EQ(Upload(PutHead("/sub/", "Content-Length: 1\r\n"), "a"), "400 Bad Request");
    EXPECT_EQ(
        Upload(PutHead("/sub/x.txt", "Content-Length: 1\r\nOrigin: http://evil.example\r\n"), "a"),
        "403 Forbidden");
    m_options.m_nMaxUpload = 10;
    EXPECT_EQ(Upload(PutHead("/sub/big.txt", "Content-Length: 11\r\n"), "12345678901"),
              "413 Content Too Large");
    EXPECT_EQ(Upload(PutHead("/sub/big.txt", "Transfer-Encoding: chunked\r\n"), "12345678901"),
              "413 Content Too Large");
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"new \xC3\xA9t\xC3\xA9.bin=" + body, "taken.txt=old"}));
}

TEST_F(UploadTest, AFormsFilesGetFreeNamesAndAnUnfinishedOneIsRemoved) {
    const std::string head =
        "POST /sub/ HTTP/1.1\r\nHost: h:8080\r\nOrigin: http://H:8080\r\n"
        "Content-Type: multipart/form-data; boundary=B\r\n\r\n";
    const std::string part = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"";
    const std::string form = part + "C:\\me\\taken.txt\"\r\n\r\none\r\n" + part +
                             "../taken.txt\"\r\n\r\ntwo\r\n" + part +
                             "x.txt\"\r\n\r\nxx\r\n--B--\r\n";
    EXPECT_EQ(Upload(head, form), "303 See Other -> /sub/");
    EXPECT_EQ(Upload(head, part + "cut.txt\"\r\n\r\nnot whole"), "400 Bad Request");
    EXPECT_EQ(Upload(head, part + ".profile\"\r\n\r\nx\r\n--B--"), "400 Bad Request");
    EXPECT_EQ(Upload(head, part + "y.txt\"\r\n\r\nyyyyyyyyyyyyyyyyyyyyy\r\n--B--", 20), "<cut>");
    EXPECT_EQ(Upload("POST /sub HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n\r\n", "x"),
              "415 Unsupported Media Type");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"taken (1).txt=one", "taken (2).txt=two",
                                                   "taken.txt=old", "x.txt=xx"}));
}

TEST(UploadRules, CrossSiteOriginsAndSizes) {
    const struct {
        const char* m_pszFields;
        bool m_bCrossSite;
    } kOrigins[] = {
        {"Host: 10.0.0.5:8080\r\n", false},
        {"Host: 10.0.0.5:8080\r\nOrigin: http://10.0.0.5:8080\r\n", false},
        {"Host: Box\r\nOrigin: http://box:80\r\n", false},
        {"Host: 10.0.0.5:8080\r\nOrigin: http://10.0.0.5:9090\r\n", true},
        {"Host: 10.0.0.5:8080\r\nOrigin: http://evil.example\r\n", true},
        {"Host: 10.0.0.5:8080\r\nOrigin: null\r\n", true},
        {"Origin: http://10.0.0.5\r\n", true},
    };
    for (const auto& c : kOrigins) {
        const std::string head = std::string("POST / HTTP/1.1\r\n") + c.m_pszFields + "\r\n";
        EXPECT_EQ(IsCrossSite(ParseRequest(head.data(), head.size())), c.m_bCrossSite)
            << c.m_pszFields;
    }
    const struct {
        const char* m_pszText;
        uint64_t m_nBytes;  // 0: refused
    } kSizes[] = {{"1", 1},  {"10K", 10240}, {"3m", 3u << 20}, {"2G", 2ull << 30}, {"", 0},
                  {"1T", 0}, {"-1", 0},      {"1.5M", 0},      {"99999999999G", 0}};
    for (const auto& c : kSizes) {
        uint64_t bytes = 0;
        EXPECT_EQ(ReadByteSize(c.m_pszText, &bytes) ? bytes : 0, c.m_nBytes) << c.m_pszText;
    }
}

}  // namespace
