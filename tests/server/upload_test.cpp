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

    // Decides the head and feeds the sink the body in pieces of 7 bytes, whole or cut after
    // cut bytes; the answer's status and location, "<cut>" when the connection was cut.
    std::string Upload(const std::string& head, const std::string& body,
                       size_t cut = std::string::npos) {
        const CRequest request = ParseRequest(head.data(), head.size());
        CAnswer answer;
        DecideUpload(request, &m_root, m_options, CReply(), &answer);
        bool bTaking = true;
        for (size_t at = 0; answer.m_pSink && bTaking && at < std::min(cut, body.size()); at += 7) {
            bTaking = answer.m_pSink->Take(body.data() + at, std::min<size_t>(7, body.size() - at));
        }
        if (cut != std::string::npos && bTaking) return "<cut>";  // the sink goes unanswered
        if (answer.m_pSink) answer.m_pSink->Finish(bTaking, &answer);
        const std::string& out = answer.m_out;
        const size_t at = out.find("\r\nlocation: ");
        return out.substr(9, out.find("\r\n") - 9) +
               (at == std::string::npos
                    ? ""
                    : " -> " + out.substr(at + 12, out.find('\r', at + 2) - at - 12));
    }

    // The folder's entries as "name=content", hidden ones included, in name order.
    std::vector<std::string> Entries() const {
        std::vector<std::string> entries;
        for (const auto& entry : fs::directory_iterator(m_dir.Path() / "sub")) {
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
};

std::string Put(const std::string& target, const std::string& field) {
    return "PUT " + target + " HTTP/1.1\r\nHost: h\r\n" + field + "\r\n\r\n";
}

TEST_F(UploadTest, APutMakesANewFileOnlyWhole) {
    const std::string body(100000, 'b');
    EXPECT_EQ(Upload(Put("/sub/n%C3%A9w.bin", "Content-Length: 100000"), body),
              "201 Created -> /sub/n%C3%A9w.bin");
    EXPECT_EQ(Upload(Put("/sub/taken.txt", "Content-Length: 3"), "new"), "409 Conflict");
    EXPECT_EQ(Upload(Put("/sub/cut.bin", "Content-Length: 100000"), body, 5000), "<cut>");
    EXPECT_EQ(Upload(Put("/missing/a.txt", "Content-Length: 1"), "a"), "404 File not found!");
    EXPECT_EQ(Upload(Put("/sub/.hidden", "Content-Length: 1"), "a"), "400 Bad Request");
    m_options.m_nMaxUpload = 10;
    EXPECT_EQ(Upload(Put("/sub/big.txt", "Content-Length: 11"), "12345678901"),
              "413 Content Too Large");
    EXPECT_EQ(Upload(Put("/sub/big.txt", "Transfer-Encoding: chunked"), "12345678901"),
              "413 Content Too Large");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"n\xC3\xA9w.bin=" + body, "taken.txt=old"}));
}

TEST_F(UploadTest, AFormsFilesGetFreeNamesAndAnUnfinishedOneIsRemoved) {
    const std::string head =
        "POST /sub/ HTTP/1.1\r\nHost: h:8080\r\nOrigin: http://H:8080\r\n"
        "Content-Type: multipart/form-data; boundary=B\r\n\r\n";
    const std::string part = "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"";
    EXPECT_EQ(Upload(head, part + "C:\\me\\taken.txt\"\r\n\r\none\r\n" + part +
                               "../taken.txt\"\r\n\r\ntwo\r\n--B--\r\n"),
              "303 See Other -> /sub/");
    EXPECT_EQ(Upload(head, part + "cut.txt\"\r\n\r\nnot whole"), "400 Bad Request");
    EXPECT_EQ(Upload(head, part + ".profile\"\r\n\r\nx\r\n--B--"), "400 Bad Request");
    EXPECT_EQ(Upload(head, part + "y.txt\"\r\n\r\nyyyyyyyyyyyyyyyyyyyy\r\n--B--", 75), "<cut>");
    EXPECT_EQ(Upload("POST /sub HTTP/1.1\r\nHost: h\r\nContent-Type: text/plain\r\n\r\n", "x"),
              "415 Unsupported Media Type");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"taken (1).txt=one", "taken (2).txt=two",
                                                   "taken.txt=old"}));
}

TEST(UploadRules, OriginsOfOtherHostsOrPortsAreCrossSite) {
    const std::pair<const char*, bool> kOrigins[] = {
        {"Host: 10.0.0.5:8080\r\n", false},
        {"Host: Box\r\nOrigin: http://box:80\r\n", false},
        {"Host: 10.0.0.5:8080\r\nOrigin: http://10.0.0.5:9090\r\n", true},
        {"Host: 10.0.0.5:8080\r\nOrigin: null\r\n", true},
    };
    for (const auto& c : kOrigins) {
        const std::string head = std::string("POST / HTTP/1.1\r\n") + c.first + "\r\n";
        EXPECT_EQ(IsCrossSite(ParseRequest(head.data(), head.size())), c.second) << c.first;
    }
}

}  // namespace
