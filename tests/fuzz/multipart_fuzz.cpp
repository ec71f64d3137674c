// Fuzzes the multipart/form-data reader with hostile bodies: fed in pieces of any size they
// give the same files and verdict as fed whole, no file holds the delimiter, and files
// begin and end in turn, all ended once the body is complete.
//
// Input: one byte that picks the piece size, then the body; the boundary is "fz".
#include <string>
#include <vector>

#include "server/multipart.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

class CRecorder : public CFormFileHandler {
public:
    bool BeginFile(const std::string& sentName) override {
        FUZZ_CHECK(!m_bOpen && !sentName.empty());
        m_files.push_back(sentName + '\0');
        return m_bOpen = true;
    }
    bool TakeFileBytes(const char* p, size_t n) override {
        FUZZ_CHECK(m_bOpen && n > 0);
        m_files.back().append(p, n);
        return true;
    }
    bool EndFile() override {
        FUZZ_CHECK(m_bOpen);
        return !(m_bOpen = false);
    }

    std::vector<std::string> m_files;
    bool m_bOpen = false;
};

// The files of body fed in pieces, then the verdict: 0 malformed, 1 incomplete, 2 complete,
// with 4 added while a file is open.
std::vector<std::string> Read(const std::string& body, size_t piece) {
    CRecorder recorder;
    CMultipartReader reader("fz", &recorder);
    bool bGood = true;
    for (size_t at = 0; bGood && at < body.size(); at += piece) {
        bGood = reader.Feed(body.data() + at, std::min(piece, body.size() - at));
    }
    const int verdict = (!bGood ? 0 : reader.IsComplete() ? 2 : 1) + (recorder.m_bOpen ? 4 : 0);
    recorder.m_files.push_back(std::to_string(verdict));
    return recorder.m_files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    if (size == 0) return 0;
    const std::string body(reinterpret_cast<const char*>(pData) + 1, size - 1);
    const std::vector<std::string> whole = Read(body, body.size() + 1);
    const std::vector<std::string> pieces = Read(body, 1 + pData[0] % 97);
    // A malformed body stops where it is found, which may lie inside a piece.
    FUZZ_CHECK(whole.back() == "0" || whole.back() == "4"
                   ? pieces.back() == "0" || pieces.back() == "4"
                   : whole == pieces);
    FUZZ_CHECK(whole.back() != "6");
    for (size_t i = 0; i + 1 < whole.size(); ++i) {
        FUZZ_CHECK(whole[i].find("\r\n--fz", whole[i].find('\0')) == std::string::npos);
    }
    return 0;
}
