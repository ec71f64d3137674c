// Response heads as bytes.
#include "server/response_head.h"

#include <cstring>

#include "server/target.h"

namespace {

const char kNotFoundPageStart[] = "<html><body><h1>404</h1><b>Couldn't find file: ";
const char kNotFoundPageEnd[] = "</b></body></html>\r\n";
const char kHtmlType[] = "text/html; charset=utf-8";

const char kContentLength[] = "content-length: ";
const char kContentType[] = "content-type: ";
const char kDate[] = "date: ";

}  // namespace

CResponseHead::CResponseHead(std::string* pOut, const char* pszStatus) : m_pOut(pOut) {
    m_pOut->append("HTTP/1.1 ");
    m_pOut->append(pszStatus);
    m_pOut->append("\r\n");
}

CResponseHead& CResponseHead::Text(const char* pszName, const char* pValue, size_t n) {
    m_pOut->append(pszName);
    m_pOut->append(pValue, n);
    m_pOut->append("\r\n");
    return *this;
}

CResponseHead& CResponseHead::Text(const char* pszName, const char* pszValue) {
    return Text(pszName, pszValue, std::strlen(pszValue));
}

CResponseHead& CResponseHead::Number(const char* pszName, uint64_t value) {
    m_pOut->append(pszName);
    AppendNumber(value);
    m_pOut->append("\r\n");
    return *this;
}

CResponseHead& CResponseHead::ContentRange(uint64_t first, uint64_t end, uint64_t size) {
    m_pOut->append("content-range: bytes ");
    if (end > first) {
        AppendNumber(first);
        m_pOut->push_back('-');
        AppendNumber(end - 1);
    } else {
        m_pOut->push_back('*');
    }
    m_pOut->push_back('/');
    AppendNumber(size);
    m_pOut->append("\r\n");
    return *this;
}

void CResponseHead::End() {
    m_pOut->append("\r\n");
}

void CResponseHead::AppendNumber(uint64_t value) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) m_pOut->push_back(digits[--count]);
}

void AppendFileHead(std::string* pOut, const CFileAnswer& answer, const CFileVersion& version,
                    const CValidators& validators, const char* pszContentType,
                    const char* pszDate) {
    switch (answer.m_kind) {
        case FileAnswerKind::kNotModified:
            // No body follows, whatever a content-length would say.
            CResponseHead(pOut, "304 Not Modified")
                .Text("last-modified: ", validators.m_szLastModified)
                .Text("etag: ", validators.m_szEtag, validators.m_nEtagLength)
                .Text(kDate, pszDate)
                .End();
            return;
        case FileAnswerKind::kUnsatisfiable:
            CResponseHead(pOut, "416 Range Not Satisfiable")
                .Number(kContentLength, 0)
                .ContentRange(0, 0, version.m_nSize)
                .Text(kDate, pszDate)
                .End();
            return;
        case FileAnswerKind::kWhole:
        case FileAnswerKind::kPart:
            break;
    }
    const bool bPart = answer.m_kind == FileAnswerKind::kPart;
    CResponseHead head(pOut, bPart ? "206 Partial Content" : "200 Sending file");
    head.Number(kContentLength, answer.m_nEnd - answer.m_nFirst);
    if (pszContentType != nullptr) head.Text(kContentType, pszContentType);
    if (bPart) head.ContentRange(answer.m_nFirst, answer.m_nEnd, version.m_nSize);
    head.Text("accept-ranges: ", "bytes")
        .Text("last-modified: ", validators.m_szLastModified)
        .Text("etag: ", validators.m_szEtag, validators.m_nEtagLength)
        .Text(kDate, pszDate)
        .End();
}

void AppendNotFoundAnswer(std::string* pOut, const std::string& display, const char* pszDate) {
    const std::string page = kNotFoundPageStart + EscapeHtml(display) + kNotFoundPageEnd;
    CResponseHead(pOut, "404 File not found!")
        .Number(kContentLength, page.size())
        .Text(kContentType, kHtmlType)
        .Text(kDate, pszDate)
        .End();
    pOut->append(page);
}

void AppendMovedAnswer(std::string* pOut, const std::string& location, bool bGet,
                       const char* pszDate) {
    CResponseHead head(pOut, "301 Moved Permanently");
    head.Text("location: ", location.data(), location.size());
    if (!bGet) {
        head.End();
        return;
    }
    const std::string link = EscapeHtml(location);
    const std::string page = "<html><body><h1>301</h1><b>Moved to <a href=\"" + link + "\">" +
                             link + "</a></b></body></html>\r\n";
    head.Number(kContentLength, page.size())
        .Text(kContentType, kHtmlType)
        .Text(kDate, pszDate)
        .End();
    pOut->append(page);
}

void AppendHeadAnswer(std::string* pOut, bool bExists) {
    CResponseHead(pOut, bExists ? "200 File Exists" : "404 File not found").End();
}
