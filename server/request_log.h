// The request log: one Common Log Format line per request answered, kept by each worker in
// a ring of its own and written out in batches by one writer thread, so that serving never
// takes a lock shared with another worker, makes a system call per line or waits for the
// log's reader.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/clock.h"
#include "foundation/event.h"
#include "foundation/thread.h"

// What the log says of one answered request.
struct CRequestRecord {
    const char* m_pszClient;     // the client's address, as CSocket::GetPeerAddress gives it
    const char* m_pRequestLine;  // the request line's bytes as received, without its line end
    size_t m_nRequestLineLength;
    int m_nStatus;
    uint64_t m_nBodyBytes;   // bytes of the body sent: 0 for HEAD, 304 and the like
    uint64_t m_nAnsweredAt;  // the monotonic milliseconds of the response (CServeTime::m_now)
    // The user whose credentials the request carried and were right; null or empty: none.
    const char* m_pszUser = nullptr;
};

// "09/Dec/2026:14:03:07 +0100": the local time with its offset from UTC.
constexpr size_t kLogTimeLength = 26;
// The most bytes the user's name takes in a line, escaped; a longer one is cut.
constexpr size_t kMaxLoggedUser = 64;
// The longest line: every byte of a 4 KiB request line escaped, the user, and the other
// fields.
constexpr size_t kMaxRequestLogLine = 4 * 4096 + kMaxLoggedUser + 160;

// Writes local as the log's time, kLogTimeLength bytes at pOut without a terminator.
void FormatLogTime(const CLocalTime& local, char* pOut);

// Writes the record's line at pOut, room for cap bytes (at least kMaxLoggedUser + 160):
// `client - user [time] "request line" status bytes` and "\n", with pTime's kLogTimeLength
// bytes as the time. In the request line and the user a byte below 0x20 or 0x7F is written
// \xHH and `"` and `\` as \" and \\, bytes from 0x80 on stay as they are (UTF-8 stays
// readable); the user's spaces are written \x20 too, as the field is not quoted; each is
// cut where it would not fit. The user and the bytes sent are "-" when there are none, as
// the format has it. Returns the line's length.
size_t FormatRequestLogLine(const CRequestRecord& record, const char* pTime, char* pOut,
                            size_t cap);

// One worker's lines on their way to the writer: a ring of bytes with one producer (the
// worker) and one consumer (the writer), which share nothing but the two positions. A line
// that does not fit is dropped and counted.
class CRequestLogRing {
public:
    static constexpr size_t kCapacity = 256 * 1024;
    // What a ring holds when the writer is asked to come early. The writer, however low its
    // priority, takes the core in one go for as long as its batch takes, from a worker that
    // has run a while and so has used up its fair share: a small batch keeps that short.
    static constexpr size_t kDrainAt = 16 * 1024;

    // pDrainSoon, set when the ring passes kDrainAt, asks the writer to come early.
    explicit CRequestLogRing(CEvent* pDrainSoon);
    CRequestLogRing(const CRequestLogRing&) = delete;
    CRequestLogRing& operator=(const CRequestLogRing&) = delete;

    // Adds the record's line; on the worker's thread only. Never waits.
    void Add(const CRequestRecord& record);

    // Appends the whole lines the ring holds to batch and frees their room; on the writer's
    // thread only.
    void TakeLines(std::string& batch);
    // The lines dropped since the last call; on the writer's thread only.
    uint64_t TakeDropped() { return m_nDropped.exchange(0, std::memory_order_relaxed); }

private:
    // The log's time of nowMs, formatted again only when nowMs has left the second it was
    // formatted for.
    const char* TimeText(uint64_t nowMs);

    std::unique_ptr<char[]> m_pBytes;
    CEvent* m_pDrainSoon;
    // Positions count every byte ever added or taken; the ring's index is their remainder.
    alignas(64) std::atomic<uint64_t> m_nHead;  // written by the worker
    alignas(64) std::atomic<uint64_t> m_nTail;  // written by the writer
    std::atomic<uint64_t> m_nDropped;
    // The worker's own.
    alignas(64) uint64_t m_nTimeFromMs;
    uint64_t m_nTimeUntilMs;  // 0: not formatted yet
    char m_szTime[kLogTimeLength + 1];
    char m_line[kMaxRequestLogLine];
};

// Receives a batch of whole lines on the writer's thread, one call per batch; stop is set
// when the server is stopping and the sink should not wait any more. False when the batch
// could not be taken: its lines count as dropped.
typedef bool (*RequestLogSink)(const char* pLines, size_t length, const CEvent& stop);

// Installs where the lines go (nullptr: they wait in the rings, and are dropped when they
// fill). The front end installs it once its serving lines are out. Returns the previous one.
RequestLogSink SetRequestLogSink(RequestLogSink sink);

// The line that tells of count dropped lines, with its "\n".
std::string DroppedLinesText(uint64_t count);

// The writer: every 100 ms, or sooner when a ring passes half full, takes the lines of all
// the rings and hands them to the sink in one batch, which starts with the count of lines
// dropped since the last batch that got through.
class CRequestLogWriter : public CThread {
public:
    explicit CRequestLogWriter(int ringCount);
    ~CRequestLogWriter() override;

    // The ring of worker index, which the writer owns; the worker adds to it.
    CRequestLogRing* GetRing(int index) { return m_rings[index].get(); }
    // Sets the stop, wakes the writer and waits for it: it hands over what the rings hold
    // first.
    void Stop();

    DWORD Run() override;
    // One round on the calling thread: takes the rings' lines and hands them to the sink.
    // Run's body; tests call it on a writer whose thread is not started.
    void Drain();

private:
    std::vector<std::unique_ptr<CRequestLogRing>> m_rings;
    CEvent m_drainSoon;
    std::string m_batch;
    uint64_t m_nUntold;  // lines dropped and not yet told
};
