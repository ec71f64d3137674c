// The multipart/form-data reader on buffers: every split of a body gives the same files,
// fields that are not files are skipped, and malformed or unfinished bodies are told apart.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/multipart.h"

namespace {

// Writes down each file as "name=bytes", and "!" after one that began without ending.
class CRecorder : public CFormFileHandler {
public:
    bool BeginFile(const std::string& sentName) override {
        m_files.push_back(sentName + "=");
        return m_bOpen = true;
    }
    bool TakeFileBytes(const char* p, size_t n) override {
        m_files.back().append(p, n);
        return true;
    }
    bool EndFile() override { return !(m_bOpen = false); }

    std::vector<std::string> m_files;
    bool m_bOpen = false;
};

// The files of body fed in pieces: up to split in one, the rest in pieces of at most piece
// bytes; then "!" for a file left open, and "<complete>", "<incomplete>" or "<malformed>".
std::vector<std::string> Read(const std::string& body, size_t piece = ~size_t{0},
                              size_t split = 0) {
    CRecorder recorder;
    CMultipartReader reader("XyZ", &recorder);
    bool bGood = reader.Feed(body.data(), split);
    for (size_t at = split; bGood && at < body.size(); at += piece) {
        bGood = reader.Feed(body.data() + at, std::min(piece, body.size() - at));
    }
    if (recorder.m_bOpen) recorder.m_files.push_back("!");
    recorder.m_files.push_back(!bGood                ? "<malformed>"
                               : reader.IsComplete() ? "<complete>"
                                                     : "<incomplete>");
    return recorder.m_files;
}

const std::string kPart = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"";

TEST(Multipart, EverySplitOfABodyGivesTheSameFiles) {
    const std::string body =
        "preamble\r\n--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n"
        "\r\na field\r\n--XyZ  \r\ncontent-disposition: form-data; "
        "filename=\"a.txt\"\r\n\r\nline\r\n--XyY\r\n--Xy\r\n" +
        kPart + "\"\r\n\r\n\r\n" + kPart + "empty.bin\"\r\n\r\n\r\n--XyZ--\r\nend";
    const std::vector<std::string> expected = {"a.txt=line\r\n--XyY\r\n--Xy",
                                               "empty.bin=", "<complete>"};
    for (size_t split = 0; split <= body.size(); ++split) {
        EXPECT_EQ(Read(body, ~size_t{0}, split), expected) << split;
    }
    EXPECT_EQ(Read(body, 1), expected);
    std::string big;
    for (int i = 0; big.size() < 300000; ++i) big += "\r\n--X" + std::to_string(i);
    EXPECT_EQ(Read(kPart + "big\"\r\n\r\n" + big + "\r\n--XyZ--", 70000),
              (std::vector<std::string>{"big=" + big, "<complete>"}));
}

TEST(Multipart, UnfinishedAndMalformedBodiesAreToldApart) {
    const std::string part = kPart + "a\"\r\n\r\nab";
    EXPECT_EQ(Read(part), (std::vector<std::string>{"a=", "!", "<incomplete>"}));
    EXPECT_EQ(Read(part + "\r\n--XyZ\r\n"), (std::vector<std::string>{"a=ab", "<incomplete>"}));
    EXPECT_EQ(Read("--XyZ junk\r\n"), (std::vector<std::string>{"<malformed>"}));
    EXPECT_EQ(Read("--XyZ\r\n" + std::string(CMultipartReader::kMaxPartHead + 10, 'h')),
              (std::vector<std::string>{"<malformed>"}));
}

TEST(Multipart, FileNamesAndBoundariesAreReadAsSendersWriteThem) {
    const char* const kNames[][2] = {
        {"filename=\"C:\\Users\\me\\a.jpg\"", "C:\\Users\\me\\a.jpg"},
        {"filename=\"say \\\"hi\\\" %22x%22 100%.txt\"", "say \"hi\" \"x\" 100%.txt"},
        {"filename=plain.txt ; name=f", "plain.txt"},
        {"filename=\"x\"; filename*=UTF-8''%E2%82%AC%20rate.txt", "\xE2\x82\xAC rate.txt"},
        {"filename=\"k.txt\"; filename*=latin1''x.txt", "k.txt"},
        {"name=\"field\"", "<none>"},
        {"filename=\"\"", "<none>"},
        {"filename=\"unterminated", "<none>"},
    };
    for (const auto& c : kNames) {
        const std::string head = std::string("Content-Disposition: form-data; ") + c[0];
        std::string name;
        EXPECT_EQ(FormFileNameOf(head.data(), head.size(), &name) ? name : "<none>", c[1]) << c[0];
    }
    const char* const kTypes[][2] = {
        {"multipart/form-data; boundary=----WebKitFormBoundary7MA", "----WebKitFormBoundary7MA"},
        {"Multipart/Form-Data;charset=utf-8; BOUNDARY=\"a b:c\"", "a b:c"},
        {"multipart/mixed; boundary=x", "<refused>"},
        {"multipart/form-data; boundary=\"\"", "<refused>"},
        {"multipart/form-data; boundary=12345678901234567890123456789012345678901234567890"
         "123456789012345678901",
         "<refused>"},
    };
    for (const auto& c : kTypes) {
        std::string boundary;
        EXPECT_EQ(FormBoundaryOf(c[0], std::strlen(c[0]), &boundary) ? boundary : "<refused>", c[1])
            << c[0];
    }
}

}  // namespace
