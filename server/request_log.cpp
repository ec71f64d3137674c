// The request log's line, each worker's ring of lines, and the writer that empties them.
#include "server/request_log.h"

#include <algorithm>
#include <cstring>

#include "server/ascii.h"

namespace {

constexpr uint32_t kDrainEveryMs = 100;
// A batch goes to the sink in pieces of whole lines of at most this much (a longer line
// alone): the return from each piece's write is a point where a worker woken on the writer's
// core takes it, so that it waits for one piece at most, not for the whole batch. The core is
// not given up between pieces: on a busy machine the writer would then fall behind its rings.
constexpr size_t kMostPerPiece = 16 * 1024;
// What the fields around the request line may take, its quotes and the line end included.
constexpr size_t kRoomAfterRequestLine = 32;

std::atomic<RequestLogSink> g_pfnRequestLogSink(nullptr);

// Where the piece of batch that starts at from ends: after its last line end within the
// most a piece takes, or after its first line end when the line alone is longer.
size_t PieceEnd(const std::string& batch, size_t from) {
    if (batch.size() - from <= kMostPerPiece) return batch.size();
    const size_t lastLineEnd = batch.rfind('\n', from + kMostPerPiece - 1);
    if (lastLineEnd != std::string::npos && lastLineEnd >= from) return lastLineEnd + 1;
    const size_t lineEnd = batch.find('\n', from);
    return lineEnd == std::string::npos ? batch.size() : lineEnd + 1;
}

// Writes the n bytes at p, escaped, at pOut with room for cap bytes; returns how many
// bytes it wrote. A byte whose escape would not fit ends the text. bSpaces: spaces are
// escaped as well.
size_t PutEscaped(const char* p, size_t n, char* pOut, size_t cap, bool bSpaces = false) {
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char byte = static_cast<unsigned char>(p[i]);
        if (byte < 0x20 || byte == 0x7F || (bSpaces && byte == ' ')) {
            if (cap - at < 4) break;
            pOut[at] = '\\';
            pOut[at + 1] = 'x';
            pOut[at + 2] = UpperHexDigit(byte >> 4);
            pOut[at + 3] = UpperHexDigit(byte);
            at += 4;
        } else if (byte == '"' || byte == '\\') {
            if (cap - at < 2) break;
            pOut[at] = '\\';
            pOut[at + 1] = static_cast<char>(byte);
            at += 2;
        } else {
            if (cap - at < 1) break;
            pOut[at++] = static_cast<char>(byte);
        }
    }
    return at;
}

}  // namespace

void FormatLogTime(const CLocalTime& local, char* pOut) {
    const int year = local.m_nYear < 0 ? 0 : (local.m_nYear > 9999 ? 9999 : local.m_nYear);
    const int month = local.m_nMonth < 1 || local.m_nMonth > 12 ? 1 : local.m_nMonth;
    FormatDigits(local.m_nDay, 2, pOut);
    pOut[2] = '/';
    std::memcpy(pOut + 3, kMonthNames[month - 1], 3);
    pOut[6] = '/';
    FormatDigits(year, 4, pOut + 7);
    pOut[11] = ':';
    FormatDigits(local.m_nHour, 2, pOut + 12);
    pOut[14] = ':';
    FormatDigits(local.m_nMinute, 2, pOut + 15);
    pOut[17] = ':';
    FormatDigits(local.m_nSecond, 2, pOut + 18);
    pOut[20] = ' ';
    const int offset = local.m_nOffsetMinutes;
    const int magnitude = (offset < 0 ? -offset : offset) % (100 * 60);
    pOut[21] = offset < 0 ? '-' : '+';
    FormatDigits(magnitude / 60, 2, pOut + 22);
    FormatDigits(magnitude % 60, 2, pOut + 24);
}

size_t FormatRequestLogLine(const CRequestRecord& record, const char* pTime, char* pOut,
                            size_t cap) {
    size_t at = 0;
    // An address is at most 45 characters; anything longer is not one.
    const char* pszClient = record.m_pszClient != nullptr ? record.m_pszClient : "-";
    size_t clientLength = std::strlen(pszClient);
    if (clientLength > 45) {
        pszClient = "-";
        clientLength = 1;
    }
    std::memcpy(pOut, pszClient, clientLength);
    at += clientLength;
    std::memcpy(pOut + at, " - ", 3);
    at += 3;
    const size_t userLength = record.m_pszUser != nullptr ? std::strlen(record.m_pszUser) : 0;
    const size_t userAt = at;
    at += PutEscaped(record.m_pszUser, userLength, pOut + at, kMaxLoggedUser, true);
    if (at == userAt) pOut[at++] = '-';
    std::memcpy(pOut + at, " [", 2);
    at += 2;
    std::memcpy(pOut + at, pTime, kLogTimeLength);
    at += kLogTimeLength;
    std::memcpy(pOut + at, "] \"", 3);
    at += 3;
    at += PutEscaped(record.m_pRequestLine, record.m_nRequestLineLength, pOut + at,
                     cap - at - kRoomAfterRequestLine);
    std::memcpy(pOut + at, "\" ", 2);
    at += 2;
    const int status = record.m_nStatus < 0 || record.m_nStatus > 999 ? 0 : record.m_nStatus;
    at += FormatDecimal(static_cast<uint64_t>(status), pOut + at);
    pOut[at++] = ' ';
    if (record.m_nBodyBytes == 0) {
        pOut[at++] = '-';
    } else {
        at += FormatDecimal(record.m_nBodyBytes, pOut + at);
    }
    pOut[at++] = '\n';
    return at;
}

CRequestLogRing::CRequestLogRing(CEvent* pDrainSoon)
    : m_pBytes(new char[kCapacity]),
      m_pDrainSoon(pDrainSoon),
      m_nHead(0),
      m_nTail(0),
      m_nDropped(0),
      m_nTimeFromMs(0),
      m_nTimeUntilMs(0),
      m_szTime{0} {}

void CRequestLogRing::Add(const CRequestRecord& record) {
    const size_t length =
        FormatRequestLogLine(record, TimeText(record.m_nAnsweredAt), m_line, sizeof(m_line));
    const uint64_t head = m_nHead.load(std::memory_order_relaxed);
    const uint64_t used = head - m_nTail.load(std::memory_order_acquire);
    if (kCapacity - used < length) {
        m_nDropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const size_t at = static_cast<size_t>(head % kCapacity);
    const size_t first = length < kCapacity - at ? length : kCapacity - at;
    std::memcpy(m_pBytes.get() + at, m_line, first);
    std::memcpy(m_pBytes.get(), m_line + first, length - first);
    m_nHead.store(head + length, std::memory_order_release);
    // Once per filling: the writer is told when the ring passes kDrainAt, not at each line.
    if (m_pDrainSoon != nullptr && used < kDrainAt && used + length >= kDrainAt) {
        m_pDrainSoon->Set();
    }
}

void CRequestLogRing::TakeLines(std::string& batch) {
    const uint64_t head = m_nHead.load(std::memory_order_acquire);
    const uint64_t tail = m_nTail.load(std::memory_order_relaxed);
    if (head == tail) return;
    const size_t at = static_cast<size_t>(tail % kCapacity);
    const size_t length = static_cast<size_t>(head - tail);
    const size_t first = length < kCapacity - at ? length : kCapacity - at;
    batch.append(m_pBytes.get() + at, first);
    batch.append(m_pBytes.get(), length - first);
    m_nTail.store(head, std::memory_order_release);
}

const char* CRequestLogRing::TimeText(uint64_t nowMs) {
    if (m_nTimeUntilMs == 0 || nowMs < m_nTimeFromMs || nowMs >= m_nTimeUntilMs) {
        const uint64_t realMs = GetSystemTimeMs();
        CLocalTime local = {1970, 1, 1, 0, 0, 0, 0};
        // When the host cannot say, the last time it said stays.
        if (LocalTimeOf(static_cast<int64_t>(realMs / 1000), local) || m_nTimeUntilMs == 0) {
            FormatLogTime(local, m_szTime);
        }
        m_nTimeFromMs = nowMs;
        m_nTimeUntilMs = nowMs + (1000 - realMs % 1000);
    }
    return m_szTime;
}

RequestLogSink SetRequestLogSink(RequestLogSink sink) {
    return g_pfnRequestLogSink.exchange(sink);
}

std::string DroppedLinesText(uint64_t count) {
    return "(" + std::to_string(count) + (count == 1 ? " request line" : " request lines") +
           " dropped: the log could not keep up)\n";
}

CRequestLogWriter::CRequestLogWriter(int ringCount) : CThread(false), m_nUntold(0) {
    for (int index = 0; index < ringCount; ++index) {
        m_rings.emplace_back(new CRequestLogRing(&m_drainSoon));
    }
    // Room for every ring's whole contents, so a batch never grows while serving.
    m_batch.reserve(CRequestLogRing::kCapacity * static_cast<size_t>(ringCount) + 128);
}

CRequestLogWriter::~CRequestLogWriter() = default;

void CRequestLogWriter::Stop() {
    RequestStop();
    m_drainSoon.Set();
    StopThread();
}

DWORD CRequestLogWriter::Run() {
    // The lines can wait; an answer that waits for their write is the tail of the latency.
    GiveWayToOtherThreads();
    for (;;) {
        m_drainSoon.Wait(kDrainEveryMs);
        // Reset before taking, so that a ring that passes half full meanwhile is not missed.
        m_drainSoon.Reset();
        const bool bStopping = m_hStopEvent.IsSet();
        Drain();
        if (bStopping) return 0;
    }
}

void CRequestLogWriter::Drain() {
    const RequestLogSink sink = g_pfnRequestLogSink.load();
    if (sink == nullptr) return;
    for (const std::unique_ptr<CRequestLogRing>& pRing : m_rings) m_nUntold += pRing->TakeDropped();
    m_batch.clear();
    if (m_nUntold != 0) m_batch.append(DroppedLinesText(m_nUntold));
    const size_t toldLength = m_batch.size();
    for (const std::unique_ptr<CRequestLogRing>& pRing : m_rings) pRing->TakeLines(m_batch);
    if (m_batch.size() == toldLength) return;
    size_t at = 0;
    while (at < m_batch.size()) {
        const size_t end = PieceEnd(m_batch, at);
        if (!sink(m_batch.data() + at, end - at, m_hStopEvent)) break;
        at = end;
    }
    // Once the count went out it is told; every line of the batch that was not taken is
    // dropped too, and its count told next time.
    if (at >= toldLength) m_nUntold = 0;
    for (at = std::max(at, toldLength); at < m_batch.size(); ++at) m_nUntold += m_batch[at] == '\n';
}
