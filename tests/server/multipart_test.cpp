// The multipart/form-data reader on buffers: every split of a body gives the same files,
// fields that are not files are skipped, and malformed or unfinished bodies are told apart.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/multipart.h"

namespace {

// Writes down each file as "name=bytes", and "!" where one began without ending.
class CRecorder : public CFormFileHandler {
public:
    bool BeginFile(const std::string& sentName) override {
        m_files.push_back(sentName + "=");
        m_bOpen = true;
        return true;
    }
    bool TakeFileBytes(const char* p, size_t n) override {
        m_files.back().append(p, n);
        return true;
    }
    bool EndFile() override {
        m_bOpen = false;
        return true;
    }
    std::vector<std::string> Files() const {
        std::vector<std::string> files = m_files;
        if (m_bOpen) files.push_back("!");
        return files;
    }

private:
    std::vector<std::string> m_files;
    bool m_bOpen = false;
};

// The files read from body fed in pieces of at most piece bytes (all at once for 0), with
// "<complete>" or "<incomplete>" or "<malformed>" after them.
std::vector<std::string> Read(const std::string& body, size_t piece = 0,
                              const std::string& boundary = "XyZ") {
    CRecorder recorder;
    CMultipartReader reader(boundary, &recorder);
    bool bGood = true;
    const size_t step = piece == 0 ? body.size() + 1 : piece;
    for (size_t at = 0; bGood && at < body.size(); at += step) {
        bGood = reader.Feed(body.data() + at, std::min(step, body.size() - at));
    }
    std::vector<std::string> files = recorder.Files();
    files.push_back(!bGood ? "<malformed>" : reader.IsComplete() ? "<complete>" : "<incomplete>");
    return files;
}

const char kForm[] =
    "preamble to ignore\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"note\"\r\n\r\n"
    "a field, not a file\r\n"
    "--XyZ  \r\n"
    "content-disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n"
    "Content-Type: text/plain\r\n\r\n"
    "line\r\n--XyY is not a delimiter\r\n-\r\n--Xy\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"f\"; filename=\"\"\r\n\r\n"
    "\r\n"
    "--XyZ\r\n"
    "Content-Disposition: form-data; name=\"f\"; filename=\"empty.bin\"\r\n\r\n"
    "\r\n"
    "--XyZ--\r\n"
    "epilogue to ignore";

TEST(Multipart, EverySplitOfABodyGivesTheSameFiles) {
    const std::vector<std::string> expected = {
        "a.txt=line\r\n--XyY is not a delimiter\r\n-\r\n--Xy", "empty.bin=", "<complete>"};
    const std::string body = kForm;
    ASSERT_EQ(Read(body), expected);
    EXPECT_EQ(Read(body, 1), expected);
    for (size_t split = 1; split < body.size(); ++split) {
        CRecorder recorder;
        CMultipartReader reader("XyZ", &recorder);
        ASSERT_TRUE(reader.Feed(body.data(), split)) << split;
        ASSERT_TRUE(reader.Feed(body.data() + split, body.size() - split)) << split;
        EXPECT_TRUE(reader.IsComplete()) << split;
        EXPECT_EQ(recorder.Files(), std::vector<std::string>(expected.begin(), expected.end() - 1))
            << split;
    }
}

TEST(Multipart, LargeFilesPassThroughWhole) {
    std::string content;
    for (int i = 0; content.size() < 300000; ++i) content += "\r\n--X" + std::to_string(i);
    const std::string body = "--XyZ\r\nContent-Disposition: form-data; filename=\"big\"\r\n\r\n" +
                             content + "\r\n--XyZ--";
    EXPECT_EQ(Read(body, 70000), (std::vector<std::string>{"big=" + content, "<complete>"}));
}

TEST(Multipart, UnfinishedAndMalformedBodiesAreToldApart) {
    const std::string part = "--XyZ\r\nContent-Disposition: form-data; filename=\"a\"\r\n\r\nab";
    EXPECT_EQ(Read(part), (std::vector<std::string>{"a=", "!", "<incomplete>"}));
    EXPECT_EQ(Read(part + "\r\n--XyZ\r\n"), (std::vector<std::string>{"a=ab", "<incomplete>"}));
    EXPECT_EQ(Read(""), (std::vector<std::string>{"<incomplete>"}));
    EXPECT_EQ(Read("--XyZ junk\r\n"), (std::vector<std::string>{"<malformed>"}));
    EXPECT_EQ(Read("--XyZ\r\n" + std::string(CMultipartReader::kMaxPartHead + 10, 'h')),
              (std::vector<std::string>{"<malformed>"}));
}

TEST(Multipart, FileNamesAreReadAsBrowsersAndToolsSendThem) {
    const struct {
        const char* m_pszDisposition;
        const char* m_pszName;  // null: no file
    } kCases[] = {
        {"form-data; name=\"f\"; filename=\"C:\\Users\\me\\a.jpg\"", "C:\\Users\\me\\a.jpg"},
        {"form-data; name=\"f\"; filename=\"say \\\"hi\\\".txt\"", "say \"hi\".txt"},
        {"form-data; name=\"f\"; filename=\"say %22hi%22 100%.txt\"", "say \"hi\" 100%.txt"},
        {"form-data; filename=plain.txt ; name=f", "plain.txt"},
        {"form-data; name=f; filename=\"x.txt\"; filename*=UTF-8''%E2%82%AC%20rate.txt",
         "\xE2\x82\xAC rate.txt"},
        {"form-data; filename*=utf-8'en'%C3%A9.txt", "\xC3\xA9.txt"},
        {"form-data; filename=\"k.txt\"; filename*=latin1''x.txt", "k.txt"},
        {"form-data; name=\"field\"", nullptr},
        {"form-data; name=\"f\"; filename=\"\"", nullptr},
        {"form-data; filename=\"unterminated", nullptr},
    };
    for (const auto& c : kCases) {
        const std::string head = std::string("Content-Disposition: ") + c.m_pszDisposition;
        std::string name;
        const bool bFile = FormFileNameOf(head.data(), head.size(), &name);
        EXPECT_EQ(bFile ? name : "<none>", c.m_pszName ? c.m_pszName : "<none>")
            << c.m_pszDisposition;
    }
}

TEST(Multipart, TheBoundaryIsReadFromTheContentType) {
    const struct {
        const char* m_pszType;
        const char* m_pszBoundary;  // null: refused
    } kCases[] = {
        {"multipart/form-data; boundary=----WebKitFormBoundary7MA4YWxk",
         "----WebKitFormBoundary7MA4YWxk"},
        {"Multipart/Form-Data;charset=utf-8; BOUNDARY=\"a b:c\"", "a b:c"},
        {"multipart/mixed; boundary=x", nullptr},
        {"application/octet-stream", nullptr},
        {"multipart/form-data", nullptr},
        {"multipart/form-data; boundary=", nullptr},
        {"multipart/form-data; boundary=\"\"", nullptr},
    };
    for (const auto& c : kCases) {
        std::string boundary;
        const bool bRead = FormBoundaryOf(c.m_pszType, std::strlen(c.m_pszType), &boundary);
        EXPECT_EQ(bRead ? boundary : "<refused>", c.m_pszBoundary ? c.m_pszBoundary : "<refused>")
            << c.m_pszType;
    }
    std::string boundary;
    const std::string longest = "multipart/form-data; boundary=" + std::string(70, 'b');
    EXPECT_TRUE(FormBoundaryOf(longest.data(), longest.size(), &boundary));
    EXPECT_FALSE(FormBoundaryOf((longest + "b").data(), longest.size() + 1, &boundary));
}

}  // namespace
