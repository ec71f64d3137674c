// Every answer's head, built as bytes in one place: the status line and content-length
// first, then the other headers in the order they are added, then the blank line. The
// canned answers (file, 301, 404, 304, 416, and HEAD's bare status lines) are made here too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/file_answer.h"

// Appends one head to a string, header by header.
class CResponseHead {
public:
    // Starts the head with its status line ("HTTP/1.1 " and pszStatus, e.g. "200 OK") at
    // the end of *pOut.
    CResponseHead(std::string* pOut, const char* pszStatus);
    CResponseHead(const CResponseHead&) = delete;
    CResponseHead& operator=(const CResponseHead&) = delete;

    // A header line "name: value"; pszName is given with its colon and space.
    CResponseHead& Text(const char* pszName, const char* pValue, size_t n);
    CResponseHead& Text(const char* pszName, const char* pszValue);
    // A header line whose value is a decimal number.
    CResponseHead& Number(const char* pszName, uint64_t value);
    // content-range: bytes FIRST-LAST/LENGTH, of the bytes [first, end) of a file of size.
    CResponseHead& ContentRange(uint64_t first, uint64_t end, uint64_t size);
    // Ends the head with its blank line.
    void End();

private:
    // Appends value in decimal.
    void AppendNumber(uint64_t value);

    std::string* m_pOut;
};

// The head of a GET answer about a file: 200 with the whole file, 206 with a part, 304 or
// 416, each with the validators and the date; content type null when it is not known.
void AppendFileHead(std::string* pOut, const CFileAnswer& answer, const CFileVersion& version,
                    const CValidators& validators, const char* pszContentType, const char* pszDate);

// The whole 404 answer to a GET: the head and a page that shows the path (escaped here).
void AppendNotFoundAnswer(std::string* pOut, const std::string& display, const char* pszDate);

// The whole 301 answer that sends a client on to location (already escaped for a head): for
// a GET with the date and a short page that links there, for a HEAD the bare head.
void AppendMovedAnswer(std::string* pOut, const std::string& location, bool bGet,
                       const char* pszDate);

// HEAD's bare answers: "200 File Exists" or "404 File not found", without headers.
void AppendHeadAnswer(std::string* pOut, bool bExists);
