// Judging what a server sends back for hostile bytes.
#include "tests/support/hostile_wire.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

const char kPageStart[] = "<html><body><h1>404</h1><b>Couldn't find file: ";
const char kPageEnd[] = "</b></body></html>\r\n";
const char kNotFoundHeadStart[] = "HTTP/1.1 404 File not found!\r\ncontent-length: ";

// The content-length value of a head, or -1.
long long ContentLength(const std::string& head) {
    const std::string name = "\r\ncontent-length: ";
    const size_t at = head.find(name);
    if (at == std::string::npos) return -1;
    return std::atoll(head.c_str() + at + name.size());
}

// Whether the shown target of a 404 page could be read as markup or control text.
bool ShowsRawText(const std::string& shown) {
    for (char c : shown) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '<' || c == '>' || c == '"' || c == '\'' || byte < 0x20 || byte == 0x7F) {
            return true;
        }
    }
    return false;
}

// Every '&' starts one of the references that the page uses.
bool AmpersandsAreReferences(const std::string& shown) {
    for (size_t at = shown.find('&'); at != std::string::npos; at = shown.find('&', at + 1)) {
        const size_t end = shown.find(';', at);
        if (end == std::string::npos || end - at > 5) return false;
        const std::string name = shown.substr(at + 1, end - at - 1);
        const bool bNumeric = name.size() > 1 && name[0] == '#' &&
                              name.find_first_not_of("0123456789", 1) == std::string::npos;
        if (!bNumeric && name != "amp" && name != "lt" && name != "gt" && name != "quot") {
            return false;
        }
    }
    return true;
}

void CheckNotFoundPage(const CWireAnswer& answer, const std::string& context) {
    if (answer.m_head.rfind(kNotFoundHeadStart, 0) != 0) return;  // HEAD's, without the page
    EXPECT_EQ(StableBytes(answer.m_head),
              kNotFoundHeadStart + std::to_string(answer.m_body.size()) +
                  "\r\ncontent-type: text/html; charset=utf-8\r\ndate: <date>\r\n\r\n")
        << context;
    const std::string& page = answer.m_body;
    const size_t start = sizeof kPageStart - 1;
    const size_t end = sizeof kPageEnd - 1;
    ASSERT_GE(page.size(), start + end) << context;
    EXPECT_EQ(page.substr(0, start), kPageStart) << context;
    EXPECT_EQ(page.substr(page.size() - end), kPageEnd) << context;
    const std::string shown = page.substr(start, page.size() - start - end);
    EXPECT_FALSE(ShowsRawText(shown)) << context << " shows: " << shown;
    EXPECT_TRUE(AmpersandsAreReferences(shown)) << context << " shows: " << shown;
}

}  // namespace

CWire SendAndCollect(unsigned short port, const std::string& bytes, uint32_t ms) {
    CWire wire;
    CTestClient client;
    if (!client.Connect(port)) return wire;
    wire.m_bSent = client.SendText(bytes);
    client.Socket().ShutdownSend();
    wire.m_bClosed = client.WaitClosed(ms, &wire.m_bytes);
    wire.m_headRequests = client.UnansweredHeadRequests();
    return wire;
}

bool SplitAnswers(const CWire& sent, std::vector<CWireAnswer>* pAnswers) {
    const std::string& wire = sent.m_bytes;
    pAnswers->clear();
    size_t at = 0;
    while (at < wire.size()) {
        const size_t headEnd = wire.find("\r\n\r\n", at);
        if (headEnd == std::string::npos || wire.compare(at, 9, "HTTP/1.1 ") != 0) return false;
        CWireAnswer answer;
        answer.m_head = wire.substr(at, headEnd + 4 - at);
        answer.m_nStatus = std::atoi(answer.m_head.c_str() + 9);
        const long long length = ContentLength(answer.m_head);
        at = headEnd + 4;
        const size_t index = pAnswers->size();
        const bool bForHead = index < sent.m_headRequests.size() && sent.m_headRequests[index];
        if (length > 0 && !bForHead) {
            if (wire.size() - at < static_cast<size_t>(length)) return false;
            answer.m_body = wire.substr(at, static_cast<size_t>(length));
            at += static_cast<size_t>(length);
        }
        pAnswers->push_back(answer);
    }
    return true;
}

std::vector<int> CheckedStatuses(const CWire& wire, const std::string& secret,
                                 const std::string& context) {
    std::vector<int> statuses;
    EXPECT_TRUE(wire.m_bClosed) << context << ": the connection was left open";
    EXPECT_EQ(wire.m_bytes.find(secret), std::string::npos) << context << ": the secret leaked";
    std::vector<CWireAnswer> answers;
    EXPECT_TRUE(SplitAnswers(wire, &answers)) << context << ": " << wire.m_bytes;
    for (const CWireAnswer& answer : answers) {
        CheckNotFoundPage(answer, context);
        statuses.push_back(answer.m_nStatus);
    }
    return statuses;
}

std::string PercentEncodeAll(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        encoded += '%';
        encoded += kHex[byte >> 4];
        encoded += kHex[byte & 0xF];
    }
    return encoded;
}

std::string RequestHeadOfLength(const std::string& target, size_t total) {
    const std::string start = "GET " + target + " HTTP/1.1\r\nX-Pad: ";
    return start + std::string(total - start.size() - 4, 'p') + "\r\n\r\n";
}
