// The multipart/form-data reader: a fixed buffer that the body passes through, searched for
// the delimiter, so that a delimiter split across reads is found and no more than a part's
// head is ever held.
#include "server/multipart.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "server/ascii.h"

namespace {

// Bytes of body copied in at a time; the delimiter and a part head fit many times over.
constexpr size_t kBufferSize = 65536;
// RFC 2046 5.1.1: a boundary is 1 to 70 characters.
constexpr size_t kMaxBoundary = 70;
// Blanks a sender may put after a delimiter before its line end (transport padding).
constexpr size_t kMaxPadding = 64;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool IsWord(std::string_view text, const char* pszLower) {
    return ::EqualsIgnoringCase(text.data(), text.size(), pszLower);
}

// The parameters after a field value's first ';' as (lower-case-insensitive name, value)
// pairs: a value is a token or a quoted string, in which only "\"" is read as an escape, so
// that the '\' of a Windows path a browser sends as it is stays. False when malformed.
bool ReadParameters(std::string_view value,
                    std::vector<std::pair<std::string_view, std::string>>* pParameters) {
    size_t at = value.find(';');
    while (at != std::string_view::npos && at < value.size()) {
        ++at;
        const size_t equals = value.find('=', at);
        if (equals == std::string_view::npos) return Trimmed(value.substr(at)).empty();
        const size_t next = value.find(';', at);
        if (next < equals) {  // a parameter without a value, which no name here has
            at = next;
            continue;
        }
        const std::string_view name = Trimmed(value.substr(at, equals - at));
        size_t i = equals + 1;
        while (i < value.size() && IsBlank(value[i])) ++i;
        std::string text;
        if (i < value.size() && value[i] == '"') {
            for (++i;; ++i) {
                if (i >= value.size()) return false;
                if (value[i] == '"') break;
                if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == '"') ++i;
                text.push_back(value[i]);
            }
            ++i;
        } else {
            while (i < value.size() && value[i] != ';') text.push_back(value[i++]);
            text = std::string(Trimmed(text));
        }
        pParameters->emplace_back(name, std::move(text));
        at = value.find(';', i);
        if (at == std::string_view::npos && !Trimmed(value.substr(i)).empty()) return false;
    }
    return true;
}

// The text with its %XX escapes decoded; only "%22" when bQuoteOnly (a browser's escape for
// '"' in a file name, beside which a '%' of the name itself is sent as it is). False for a
// malformed escape where every escape counts.
bool Unescaped(const std::string& text, bool bQuoteOnly, std::string* pOut) {
    pOut->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            pOut->push_back(text[i]);
        } else if (bQuoteOnly) {
            const bool bQuote = text.compare(i, 3, "%22") == 0;
            pOut->push_back(bQuote ? '"' : '%');
            if (bQuote) i += 2;
        } else {
            if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) {
                return false;
            }
            pOut->push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        }
    }
    return true;
}

// The name of an RFC 8187 extended value in UTF-8 (charset'language'escaped-text).
bool ExtendedValueName(const std::string& value, std::string* pName) {
    const size_t first = value.find('\'');
    if (first == std::string::npos) return false;
    const size_t second = value.find('\'', first + 1);
    if (second == std::string::npos) return false;
    if (!IsWord(std::string_view(value).substr(0, first), "utf-8")) return false;
    return Unescaped(value.substr(second + 1), false, pName);
}

}  // namespace

bool FormBoundaryOf(const char* pContentType, size_t n, std::string* pBoundary) {
    const std::string_view value(pContentType, n);
    if (!IsWord(Trimmed(value.substr(0, value.find(';'))), "multipart/form-data")) {
        return false;
    }
    std::vector<std::pair<std::string_view, std::string>> parameters;
    if (!ReadParameters(value, &parameters)) return false;
    for (const auto& parameter : parameters) {
        if (!IsWord(parameter.first, "boundary")) continue;
        const std::string& boundary = parameter.second;
        if (boundary.empty() || boundary.size() > kMaxBoundary) return false;
        for (const char c : boundary) {
            if (static_cast<unsigned char>(c) < 0x20) return false;
        }
        *pBoundary = boundary;
        return true;
    }
    return false;
}

bool FormFileNameOf(const char* pHead, size_t n, std::string* pName) {
    const std::string_view head(pHead, n);
    size_t line = 0;
    while (line < head.size()) {
        size_t end = head.find("\r\n", line);
        if (end == std::string_view::npos) end = head.size();
        const std::string_view field = head.substr(line, end - line);
        line = end + 2;
        const size_t colon = field.find(':');
        if (colon == std::string_view::npos ||
            !IsWord(field.substr(0, colon), "content-disposition")) {
            continue;
        }
        std::vector<std::pair<std::string_view, std::string>> parameters;
        if (!ReadParameters(field.substr(colon + 1), &parameters)) return false;
        std::string plain;
        bool bPlain = false;
        for (const auto& parameter : parameters) {
            if (IsWord(parameter.first, "filename*") &&
                ExtendedValueName(parameter.second, pName)) {
                return !pName->empty();
            }
            if (IsWord(parameter.first, "filename")) {
                bPlain = Unescaped(parameter.second, true, &plain);
            }
        }
        if (!bPlain || plain.empty()) return false;
        *pName = std::move(plain);
        return true;
    }
    return false;
}

CMultipartReader::CMultipartReader(const std::string& boundary, CFormFileHandler* pHandler)
    : m_delimiter("\r\n--" + boundary), m_pHandler(pHandler), m_buffer(kBufferSize) {
    // The first delimiter may open the body, without the line end before it.
    m_buffer[0] = '\r';
    m_buffer[1] = '\n';
    m_nEnd = 2;
}

bool CMultipartReader::Feed(const char* p, size_t n) {
    while (m_state != State::kFailed) {
        if (m_nStart > 0) {
            std::memmove(m_buffer.data(), Held(), HeldCount());
            m_nEnd -= m_nStart;
            m_nStart = 0;
        }
        const size_t take = std::min(n, m_buffer.size() - m_nEnd);
        std::memcpy(m_buffer.data() + m_nEnd, p, take);
        m_nEnd += take;
        p += take;
        n -= take;
        if (!Use()) {
            m_state = State::kFailed;
            // What the file handler began is ended by its owner, which sees the failure.
            return false;
        }
        if (n == 0) return true;
    }
    return false;
}

bool CMultipartReader::Use() {
    m_bMore = false;
    while (!m_bMore) {
        bool bGood = true;
        switch (m_state) {
            case State::kPreamble:
                bGood = UsePreamble();
                break;
            case State::kAfterDelimiter:
                bGood = UseAfterDelimiter();
                break;
            case State::kHead:
                bGood = UseHead();
                break;
            case State::kBody:
                bGood = UseBody();
                break;
            case State::kEpilogue:
                m_nStart = m_nEnd;
                return true;
            case State::kFailed:
                return false;
        }
        if (!bGood) return false;
    }
    return true;
}

size_t CMultipartReader::FindDelimiter() const {
    return std::string_view(Held(), HeldCount()).find(m_delimiter);
}

bool CMultipartReader::UsePreamble() {
    const size_t at = FindDelimiter();
    if (at == std::string_view::npos) {
        // Only what could still begin a delimiter is kept.
        if (HeldCount() >= m_delimiter.size()) m_nStart = m_nEnd - (m_delimiter.size() - 1);
        m_bMore = true;
        return true;
    }
    m_nStart += at + m_delimiter.size();
    m_state = State::kAfterDelimiter;
    return true;
}

bool CMultipartReader::UseAfterDelimiter() {
    const std::string_view held(Held(), HeldCount());
    if (held.size() < 2) {
        m_bMore = true;
        return true;
    }
    if (held.compare(0, 2, "--") == 0) {
        m_state = State::kEpilogue;
        return true;
    }
    const size_t end = held.find("\r\n");
    if (end == std::string_view::npos) {
        // A CR alone may be the start of the line end.
        const std::string_view padding =
            held.back() == '\r' ? held.substr(0, held.size() - 1) : held;
        m_bMore = held.size() <= kMaxPadding + 1;
        return m_bMore && Trimmed(padding).empty();
    }
    if (end > kMaxPadding || !Trimmed(held.substr(0, end)).empty()) return false;
    m_nStart += end + 2;
    m_state = State::kHead;
    return true;
}

bool CMultipartReader::UseHead() {
    const std::string_view held(Held(), HeldCount());
    // A head of no fields is its blank line alone.
    const size_t end = held.compare(0, 2, "\r\n") == 0 ? 0 : held.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        m_bMore = held.size() < kMaxPartHead;
        return m_bMore;
    }
    if (end > kMaxPartHead) return false;
    std::string name;
    m_bInFile = FormFileNameOf(Held(), end, &name);
    m_nStart += end == 0 ? 2 : end + 4;
    m_state = State::kBody;
    return !m_bInFile || m_pHandler->BeginFile(name);
}

bool CMultipartReader::UseBody() {
    const size_t at = FindDelimiter();
    size_t content = at;
    if (at == std::string_view::npos) {
        // Only what could still begin a delimiter is held back.
        content = HeldCount() >= m_delimiter.size() ? HeldCount() - (m_delimiter.size() - 1) : 0;
        m_bMore = true;
    }
    if (m_bInFile && content > 0 && !m_pHandler->TakeFileBytes(Held(), content)) return false;
    m_nStart += content;
    if (at == std::string_view::npos) return true;
    m_nStart += m_delimiter.size();
    m_state = State::kAfterDelimiter;
    if (!m_bInFile) return true;
    m_bInFile = false;
    return m_pHandler->EndFile();
}
