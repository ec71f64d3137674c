// A request's body as it arrives on a connection: its framing (a Content-Length, or chunks),
// read on buffers so that tests and fuzzers need no socket.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads a body's framing from the bytes that follow a head, piece by piece, and tells where
// its data is and where it ends: a Content-Length counts down; a chunked body (RFC 9112 7.1)
// is chunk sizes in hex, extensions ignored, the chunks' data, a last chunk of size 0 and a
// trailer section read past up to its blank line.
class CBodyFraming {
public:
    enum class State { kData, kDone, kMalformed };
    // The longest line of framing (a chunk size with its extensions, a trailer field) read.
    static constexpr size_t kMostLineBytes = 4096;

    CBodyFraming() = default;
    // A body of length bytes (0: none).
    void BeginLength(uint64_t length);
    // A chunked body.
    void BeginChunked();

    // Reads from the n bytes at p as far as the end of the next piece of data, the body's end
    // or the end of p; returns how many bytes it used, of which the last *pnData (0 when none)
    // are data of the body.
    size_t Read(const char* p, size_t n, size_t* pnData);

    State GetState() const { return m_state; }
    bool IsDone() const { return m_state == State::kDone; }
    bool IsMalformed() const { return m_state == State::kMalformed; }
    // Data bytes the framing still promises for sure: the rest of a length or of a chunk.
    uint64_t DataLeft() const { return m_nLeft; }
    // Whether the body's length was known up front.
    bool HasLength() const { return !m_bChunked; }

private:
    enum class Phase { kSize, kExtension, kSizeEnd, kData, kDataEnd, kTrailer };

    // Each reads one byte of framing in its phase; false when the framing is malformed.
    bool ReadSizeByte(char c);
    bool ReadExtensionByte(char c);
    bool ReadDataEnd(char c);
    bool ReadTrailerByte(char c);
    void EndChunkSize();

    State m_state = State::kDone;
    bool m_bChunked = false;
    Phase m_phase = Phase::kSize;
    uint64_t m_nLeft = 0;
    int m_nSizeDigits = 0;
    size_t m_nLineBytes = 0;  // of the framing line being read
    bool m_bSawCr = false;
};
