// A request body's framing, a byte of framing at a time and the data in runs.
#include "server/request_body.h"

#include <algorithm>

#include "server/ascii.h"

namespace {

// A chunk size of more digits would not fit 63 bits, and no real body is that long.
constexpr int kMostSizeDigits = 15;

}  // namespace

void CBodyFraming::BeginLength(uint64_t length) {
    m_bChunked = false;
    m_nLeft = length;
    m_state = length > 0 ? State::kData : State::kDone;
}

void CBodyFraming::BeginChunked() {
    m_bChunked = true;
    m_state = State::kData;
    m_phase = Phase::kSize;
    m_nLeft = 0;
    m_nSizeDigits = 0;
    m_nLineBytes = 0;
    m_bSawCr = false;
}

size_t CBodyFraming::Read(const char* p, size_t n, size_t* pnData) {
    *pnData = 0;
    if (m_state != State::kData) return 0;
    if (!m_bChunked) {
        const size_t taken = static_cast<size_t>(std::min<uint64_t>(n, m_nLeft));
        m_nLeft -= taken;
        if (m_nLeft == 0) m_state = State::kDone;
        *pnData = taken;
        return taken;
    }
    size_t used = 0;
    while (used < n && m_state == State::kData) {
        if (m_phase == Phase::kData) {
            // Framing read up to here is used; the data follows it as one run.
            const size_t taken = static_cast<size_t>(std::min<uint64_t>(n - used, m_nLeft));
            m_nLeft -= taken;
            if (m_nLeft == 0) m_phase = Phase::kDataEnd;
            *pnData = taken;
            return used + taken;
        }
        const char c = p[used++];
        // A line of framing longer than any real one is refused rather than read on.
        bool bRead = ++m_nLineBytes <= kMostLineBytes;
        if (bRead) {
            switch (m_phase) {
                case Phase::kSize:
                    bRead = ReadSizeByte(c);
                    break;
                case Phase::kExtension:
                    bRead = ReadExtensionByte(c);
                    break;
                case Phase::kSizeEnd:
                    bRead = c == '\n';
                    if (bRead) EndChunkSize();
                    break;
                case Phase::kDataEnd:
                    bRead = ReadDataEnd(c);
                    break;
                case Phase::kTrailer:
                    bRead = ReadTrailerByte(c);
                    break;
                case Phase::kData:
                    break;
            }
        }
        if (!bRead) m_state = State::kMalformed;
    }
    return used;
}

bool CBodyFraming::ReadSizeByte(char c) {
    const int digit = HexValue(c);
    if (digit >= 0) {
        if (++m_nSizeDigits > kMostSizeDigits) return false;
        m_nLeft = m_nLeft * 16 + static_cast<uint64_t>(digit);
        return true;
    }
    if (m_nSizeDigits == 0) return false;
    if (c == ';' || IsBlank(c)) {
        m_phase = Phase::kExtension;
        m_bSawCr = false;
        return true;
    }
    if (c == '\r') {
        m_phase = Phase::kSizeEnd;
        return true;
    }
    return false;
}

void CBodyFraming::EndChunkSize() {
    m_nSizeDigits = 0;
    m_nLineBytes = 0;
    m_bSawCr = false;
    if (m_nLeft == 0) {
        m_phase = Phase::kTrailer;
        m_bSawCr = false;
        return;
    }
    m_phase = Phase::kData;
}

bool CBodyFraming::ReadExtensionByte(char c) {
    // An extension is ignored up to its line end; a bare CR or LF ends nothing.
    if (c == '\n') {
        if (!m_bSawCr) return false;
        EndChunkSize();
        return true;
    }
    if (m_bSawCr) return false;
    m_bSawCr = c == '\r';
    return true;
}

bool CBodyFraming::ReadDataEnd(char c) {
    // The CR LF after a chunk's data.
    if (!m_bSawCr) {
        m_bSawCr = c == '\r';
        return m_bSawCr;
    }
    m_bSawCr = false;
    if (c != '\n') return false;
    m_phase = Phase::kSize;
    m_nLineBytes = 0;
    m_nLeft = 0;
    return true;
}

bool CBodyFraming::ReadTrailerByte(char c) {
    // Trailer fields are read past; an empty line ends the body.
    if (c == '\n') {
        if (!m_bSawCr) return false;
        const bool bEmptyLine = m_nLineBytes == 2;  // CR LF alone
        m_bSawCr = false;
        m_nLineBytes = 0;
        if (bEmptyLine) m_state = State::kDone;
        return true;
    }
    if (m_bSawCr) return false;
    m_bSawCr = c == '\r';
    return true;
}
