// A multipart/form-data body (RFC 7578, framed as RFC 2046 5.1 says) read as it arrives, in
// pieces of any size, with memory bounded by one fixed buffer: the files it holds go to a
// handler part by part; fields that are not files are skipped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Where the files of a form go, one at a time.
class CFormFileHandler {
public:
    virtual ~CFormFileHandler() = default;
    // A file part begins, with its file name as the form gave it (a path, perhaps); false
    // stops the reading.
    virtual bool BeginFile(const std::string& sentName) = 0;
    // The next n bytes of the file that began; false stops the reading.
    virtual bool TakeFileBytes(const char* p, size_t n) = 0;
    // The file that began has ended whole; false stops the reading.
    virtual bool EndFile() = 0;
};

// Reads the boundary from a Content-Type field value: multipart/form-data with a boundary
// parameter of 1 to 70 characters (quoted or not). False for any other value.
bool FormBoundaryOf(const char* pContentType, size_t n, std::string* pBoundary);

// The file name a part's head gives: from Content-Disposition's filename* (RFC 8187,
// UTF-8) when present, else its filename, with "\"" and %22 read as '"'. False when the head
// names no file, or an empty one (what a form sends for a file input left empty).
bool FormFileNameOf(const char* pHead, size_t n, std::string* pName);

class CMultipartReader {
public:
    // The longest part head taken, in bytes.
    static constexpr size_t kMaxPartHead = 8192;

    // Reads a body of the boundary, sending its files to handler (which outlives the reader).
    CMultipartReader(const std::string& boundary, CFormFileHandler* pHandler);
    CMultipartReader(const CMultipartReader&) = delete;
    CMultipartReader& operator=(const CMultipartReader&) = delete;

    // Takes the next n bytes of the body; false once the body is malformed or the handler
    // stopped, after which it takes nothing more.
    bool Feed(const char* p, size_t n);
    // Whether the final boundary has been read: every part closed.
    bool IsComplete() const { return m_state == State::kEpilogue; }

private:
    enum class State { kPreamble, kAfterDelimiter, kHead, kBody, kEpilogue, kFailed };

    // Uses what the buffer holds as far as it can; false when the body is malformed or the
    // handler stopped.
    bool Use();
    bool UsePreamble();
    bool UseAfterDelimiter();
    bool UseHead();
    bool UseBody();
    // The buffer's bytes not used yet.
    const char* Held() const { return m_buffer.data() + m_nStart; }
    size_t HeldCount() const { return m_nEnd - m_nStart; }
    // Where the delimiter starts in what is held, or npos.
    size_t FindDelimiter() const;

    std::string m_delimiter;  // CR LF "--" boundary
    CFormFileHandler* m_pHandler;
    std::vector<char> m_buffer;
    size_t m_nStart = 0;
    size_t m_nEnd = 0;
    State m_state = State::kPreamble;
    bool m_bInFile = false;  // the part being read is a file the handler takes
    bool m_bMore = false;    // Use stopped for want of bytes
};
