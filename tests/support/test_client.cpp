// Loopback helpers: every read waits with a bound, so a test fails instead of hanging.
#include "tests/support/test_client.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "foundation/clock.h"
#include "foundation/socket_poller.h"

namespace {

constexpr int kReadChunk = 65536;

// Milliseconds left until deadline, 0 once it has passed.
uint32_t MsLeft(uint64_t deadline) {
    const uint64_t now = GetTickCount64Ms();
    return now < deadline ? static_cast<uint32_t>(deadline - now) : 0;
}

// The value of a header in head (name without colon, any case); -1 when absent.
long long ContentLengthOf(const std::string& head) {
    const std::string name = "content-length:";
    size_t lineStart = head.find("\r\n");
    while (lineStart != std::string::npos) {
        lineStart += 2;
        const size_t lineEnd = head.find("\r\n", lineStart);
        if (lineEnd == std::string::npos) break;
        const std::string line = head.substr(lineStart, lineEnd - lineStart);
        bool bMatch = line.size() >= name.size();
        for (size_t i = 0; bMatch && i < name.size(); ++i)
            bMatch = std::tolower(static_cast<unsigned char>(line[i])) == name[i];
        if (bMatch) return std::atoll(line.c_str() + name.size());
        lineStart = lineEnd;
    }
    return -1;
}

// Whether value is an IMF-fixdate ("Tue, 08 Dec 2026 17:16:03 GMT").
bool IsHttpDate(const std::string& value) {
    static const std::regex kForm(
        "(Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
        "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-2][0-9]:[0-5][0-9]:"
        "[0-6][0-9] GMT");
    return std::regex_match(value, kForm);
}

// Whether value is a strong entity tag.
bool IsEntityTag(const std::string& value) {
    static const std::regex kForm("\"[!#-~]+\"");
    return std::regex_match(value, kForm);
}

}  // namespace

std::string StableBytes(const std::string& raw) {
    static const char* const kNames[] = {"\r\ndate: ", "\r\nlast-modified: ", "\r\netag: "};
    std::string stable;
    size_t at = 0;
    for (;;) {
        size_t found = std::string::npos;
        size_t nameLength = 0;
        for (const char* pszName : kNames) {
            const size_t position = raw.find(pszName, at);
            if (position < found) {
                found = position;
                nameLength = std::strlen(pszName);
            }
        }
        if (found == std::string::npos) break;
        const size_t valueStart = found + nameLength;
        const size_t valueEnd = raw.find("\r\n", valueStart);
        stable.append(raw, at, valueStart - at);
        at = valueStart;
        if (valueEnd == std::string::npos) continue;
        const std::string value = raw.substr(valueStart, valueEnd - valueStart);
        const bool bEtag = raw.compare(found, nameLength, "\r\netag: ") == 0;
        if (bEtag ? IsEntityTag(value) : IsHttpDate(value)) {
            stable += bEtag ? "<etag>" : "<date>";
            at = valueEnd;
        }
    }
    stable.append(raw, at, std::string::npos);
    return stable;
}

std::string StableAnswer(const CTestResponse& response) {
    return StableBytes(response.m_head) + response.m_body;
}

std::string StableOkHead(uint64_t length, const char* pszType) {
    std::string head =
        "HTTP/1.1 200 Sending file\r\ncontent-length: " + std::to_string(length) + "\r\n";
    if (pszType != nullptr) head += std::string("content-type: ") + pszType + "\r\n";
    return head +
           "accept-ranges: bytes\r\nlast-modified: <date>\r\netag: <etag>\r\ndate: "
           "<date>\r\n\r\n";
}

std::string StableNotFound(const std::string& shownTarget) {
    const std::string page =
        "<html><body><h1>404</h1><b>Couldn't find file: " + shownTarget + "</b></body></html>\r\n";
    return "HTTP/1.1 404 File not found!\r\ncontent-length: " + std::to_string(page.size()) +
           "\r\ncontent-type: text/html; charset=utf-8\r\ndate: <date>\r\n\r\n" + page;
}

std::string StableHeadAnswer(const std::string& getAnswer) {
    std::string head = getAnswer.substr(0, getAnswer.find("\r\n\r\n") + 4);
    for (const auto& reason : {std::make_pair("200 Sending file", "200 File Exists"),
                               std::make_pair("404 File not found!", "404 File not found")}) {
        const std::string line = std::string("HTTP/1.1 ") + reason.first + "\r\n";
        if (head.compare(0, line.size(), line) == 0) {
            head.replace(0, line.size(), std::string("HTTP/1.1 ") + reason.second + "\r\n");
        }
    }
    return head;
}

int AnswerCount(const std::string& answers) {
    int count = 0;
    for (size_t at = answers.find("HTTP/1.1 "); at != std::string::npos;
         at = answers.find("HTTP/1.1 ", at + 1)) {
        ++count;
    }
    return count;
}

bool WaitReadable(const CSocket& s, uint32_t ms) {
    CSocketPoller poller;
    char key = 0;
    if (!poller.Watch(s.GetHandle(), SocketInterest::kRead, &key)) return false;
    const uint64_t deadline = GetTickCount64Ms() + ms;
    for (;;) {
        // Where both directions are watched, a report of room to send is passed over.
        CReadySocket ready;
        if (poller.Wait(MsLeft(deadline), &ready, 1) == 1 && ready.m_bReadable) return true;
        if (MsLeft(deadline) == 0) return false;
    }
}

bool CLoopbackPair::Open(std::string* pError) {
    CSocket listener;
    if (!listener.Create(AF_INET, SOCK_STREAM, 0)) {
        if (pError) *pError = "socket could not be created";
        return false;
    }
    if (!listener.Listen(0)) {
        if (pError) *pError = "listening socket could not be set up";
        return false;
    }
    const unsigned short port = listener.GetLocalPort();
    if (port == 0 || !m_client.Connect("127.0.0.1", port)) {
        if (pError) *pError = "connect to the loopback listener failed";
        return false;
    }
    if (!WaitReadable(listener, kTestReadTimeoutMs) ||
        listener.AcceptNoWait(m_server) != AcceptResult::kAccepted) {
        if (pError) *pError = "accept on the loopback listener failed";
        return false;
    }
    return true;
}

bool CTestClient::Connect(unsigned short port, const char* pszAddress) {
    return m_socket.Connect(pszAddress, port);
}

void CTestClient::NoteSentRequests(const std::string& text) {
    std::string bytes = m_unsentHead + text;
    size_t at = 0;
    for (;;) {
        const long long skipped =
            std::min<long long>(m_nSentBodyLeft, static_cast<long long>(bytes.size() - at));
        at += static_cast<size_t>(skipped);
        m_nSentBodyLeft -= skipped;
        while (at < bytes.size() && (bytes[at] == '\r' || bytes[at] == '\n')) ++at;
        const size_t end = bytes.find("\r\n\r\n", at);
        if (end == std::string::npos) break;
        const std::string head = bytes.substr(at, end + 2 - at);
        m_headRequests.push_back(head.compare(0, 5, "HEAD ") == 0);
        m_nSentBodyLeft = std::max(0LL, ContentLengthOf(head));
        at = end + 4;
    }
    m_unsentHead = bytes.substr(at);
}

bool CTestClient::SendText(const std::string& text) {
    NoteSentRequests(text);
    const uint64_t deadline = GetTickCount64Ms() + kTestReadTimeoutMs;
    m_socket.SetNonBlocking();
    size_t sent = 0;
    while (sent < text.size()) {
        const int count =
            m_socket.SendNoWait(text.data() + sent, static_cast<int>(text.size() - sent));
        if (count == SOCKET_ERROR) return false;
        sent += static_cast<size_t>(count);
        if (count == 0) {
            // A peer that takes nothing for the whole bound fails the send.
            if (MsLeft(deadline) == 0) return false;
            SleepMs(1);
        }
    }
    return true;
}

int CTestClient::Receive(std::string& buffer, uint32_t ms) {
    const uint64_t deadline = GetTickCount64Ms() + ms;
    m_socket.SetNonBlocking();
    buffer.resize(kReadChunk);
    for (;;) {
        const int count = m_socket.ReceiveNoWait(&buffer[0], kReadChunk);
        if (count != CSocket::kNothingYet) {
            buffer.resize(count > 0 ? static_cast<size_t>(count) : 0);
            return count;
        }
        if (MsLeft(deadline) == 0 || !WaitReadable(m_socket, MsLeft(deadline))) {
            buffer.clear();
            return CSocket::kNothingYet;
        }
    }
}

std::string CTestClient::ReadSome(uint32_t ms) {
    if (!m_pending.empty()) {
        std::string some;
        some.swap(m_pending);
        return some;
    }
    std::string buffer;
    Receive(buffer, ms);
    return buffer;
}

std::string CTestClient::ReadExactly(size_t n, uint32_t ms) {
    const uint64_t deadline = GetTickCount64Ms() + ms;
    std::string data;
    data.swap(m_pending);
    while (data.size() < n) {
        const uint32_t left = MsLeft(deadline);
        if (left == 0) break;
        const std::string more = ReadSome(left);
        if (more.empty()) break;
        data += more;
    }
    if (data.size() > n) {
        m_pending = data.substr(n);
        data.resize(n);
    }
    return data;
}

bool CTestClient::ReadResponse(CTestResponse& response, bool bHeadOnly, uint32_t ms) {
    const uint64_t deadline = GetTickCount64Ms() + ms;
    response = CTestResponse();
    std::string data;
    data.swap(m_pending);
    size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        const uint32_t left = MsLeft(deadline);
        const std::string more = left > 0 ? ReadSome(left) : std::string();
        if (more.empty()) {
            m_pending = data;
            return false;
        }
        data += more;
    }
    response.m_head = data.substr(0, headEnd + 4);
    m_pending = data.substr(headEnd + 4);
    const size_t space = response.m_head.find(' ');
    if (space != std::string::npos)
        response.m_nStatus = std::atoi(response.m_head.c_str() + space + 1);
    response.m_nContentLength = ContentLengthOf(response.m_head);
    bool bAnswersHead = false;
    if (!m_headRequests.empty()) {
        bAnswersHead = m_headRequests.front();
        m_headRequests.pop_front();
    }
    if (bHeadOnly || bAnswersHead || response.m_nContentLength <= 0) return true;
    const size_t length = static_cast<size_t>(response.m_nContentLength);
    response.m_body = ReadExactly(length, MsLeft(deadline));
    return response.m_body.size() == length;
}

std::string CTestClient::ReadStableAnswers(int count, uint32_t ms) {
    std::string answers;
    for (int i = 0; i < count; ++i) {
        CTestResponse response;
        const bool bWhole = ReadResponse(response, false, ms);
        answers += StableAnswer(response);
        if (!bWhole) break;
    }
    return answers;
}

bool CTestClient::WaitClosed(uint32_t ms, std::string* pRest) {
    const uint64_t deadline = GetTickCount64Ms() + ms;
    if (pRest) *pRest = m_pending;
    m_pending.clear();
    std::string buffer;
    for (;;) {
        const int count = Receive(buffer, MsLeft(deadline));
        if (count == CSocket::kNothingYet) return false;
        if (count <= 0) return true;  // end of stream, or a reset
        if (pRest) pRest->append(buffer);
    }
}
