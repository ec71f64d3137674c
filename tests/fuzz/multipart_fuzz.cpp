// Fuzzes the multipart/form-data reader with hostile bodies. Whatever they hold, the body
// fed in pieces of any size gives the same files and the same verdict as fed whole, no file
// holds the delimiter, every file that began has ended when the body is complete, and no
// more than the head and buffer limits are ever held.
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
        FUZZ_CHECK(!m_bOpen);
        FUZZ_CHECK(!sentName.empty());
        m_files.push_back(sentName + '\0');
        m_bOpen = true;
        return true;
    }
    bool TakeFileBytes(const char* p, size_t n) override {
        FUZZ_CHECK(m_bOpen && n > 0);
        m_files.back().append(p, n);
        return true;
    }
    bool EndFile() override {
        FUZZ_CHECK(m_bOpen);
        m_bOpen = false;
        return true;
    }

    std::vector<std::string> m_files;
    bool m_bOpen = false;
};

// The files and the verdict (0 malformed, 1 incomplete, 2 complete) of body fed in pieces.
std::vector<std::string> Read(const std::string& body, size_t piece, int* pVerdict, bool* pOpen) {
    CRecorder recorder;
    CMultipartReader reader("fz", &recorder);
    bool bGood = true;
    for (size_t at = 0; bGood && at < body.size(); at += piece) {
        bGood = reader.Feed(body.data() + at, std::min(piece, body.size() - at));
    }
    *pVerdict = !bGood ? 0 : reader.IsComplete() ? 2 : 1;
    *pOpen = recorder.m_bOpen;
    return recorder.m_files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + pData[0] % 97;
    const std::string body(reinterpret_cast<const char*>(pData) + 1, size - 1);
    int wholeVerdict = 0;
    int pieceVerdict = 0;
    bool bWholeOpen = false;
    bool bPieceOpen = false;
    const std::vector<std::string> whole = Read(body, body.size() + 1, &wholeVerdict, &bWholeOpen);
    const std::vector<std::string> pieces = Read(body, piece, &pieceVerdict, &bPieceOpen);
    FUZZ_CHECK(wholeVerdict == pieceVerdict);
    // A malformed body stops where it is found, which may lie within a piece.
    if (wholeVerdict != 0) {
        FUZZ_CHECK(whole == pieces);
        FUZZ_CHECK(bWholeOpen == bPieceOpen);
    }
    if (wholeVerdict == 2) FUZZ_CHECK(!bWholeOpen);
    for (const std::string& file : whole) {
        const size_t content = file.find('\0') + 1;
        FUZZ_CHECK(file.find("\r\n--fz", content) == std::string::npos);
        FUZZ_CHECK(file.size() - content <= body.size());
    }
    return 0;
}
