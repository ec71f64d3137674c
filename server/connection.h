// One client connection with everything that is known about it: the bytes read but not yet
// used, the answer in progress and its deadlines. The worker it was placed on holds it for
// its whole life.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/change_watch.h"
#include "foundation/file.h"
#include "foundation/socket.h"
#include "server/request_head.h"
#include "server/response_head.h"

struct CMappedTarget;
class CListingCache;
class CRequestLogRing;
struct CListingPage;
struct CListingOrder;

// The document root: targets are joined to it without a separator, so it ends with one.
// Written once before any server thread starts.
extern wchar_t g_szWebRoot[1024];
// Whether a folder without an index.html is answered with a listing of its entries (else
// 404). Written once before any server thread starts.
extern std::atomic<bool> g_bListFolders;
// Request heads read by all workers since start.
extern std::atomic<int32_t> g_nRequests;

constexpr uint32_t kHeadDeadlineMs = 3000;  // for each head, from the start of its read
constexpr uint32_t kSendStallMs = 10000;    // longest wait for a peer that takes no data
constexpr uint32_t kLingerMs = 2000;        // for the client's end after a last answer
constexpr uint32_t kStopGraceMs = 2000;     // what a connection may still take after a stop
// How long a connection waiting for its next request holds the file it last answered with,
// where a file held open keeps other programs from deleting or renaming it.
constexpr uint32_t kKeptFileIdleMs = 250;

// What a connection waits for before it can go on. kGoOn: nothing, it can go on at once;
// it stops between answers so that its worker steps the others before it goes on.
enum class ConnectionWant { kRead, kWrite, kGoOn, kEnd };

struct CConnectionWait {
    ConnectionWant m_want;
    uint64_t m_deadline;  // when the wait is given up and the connection ends
};

// What the thread that holds a connection tells it of the time and of a stop.
struct CServeTime {
    uint64_t m_now;
    bool m_bStopping;     // the program is stopping: only what has arrived is still answered
    uint64_t m_graceEnd;  // when stopping: the moment the connection must be over
    // The thread's watch on the files it serves, with the changes its last wait reported
    // taken in; null where it has none.
    CChangeWatch* m_pChanges = nullptr;
    // The listings the thread keeps; null where it keeps none.
    CListingCache* m_pListings = nullptr;
    // The thread's request log; null when requests are not logged.
    CRequestLogRing* m_pRequestLog = nullptr;
};

class CConnection {
public:
    // An empty connection; Begin gives it its socket.
    CConnection();
    ~CConnection();  // closes the socket
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Starts serving the non-blocking socket in m_socket (put there by an accept): its first
    // head is due within the head deadline from now.
    void Begin(uint64_t now);

    // Does the work that needs no waiting, up to the end of one answer: reads what has
    // arrived, answers a complete head, sends what the socket takes. Returns what it waits
    // for next, kGoOn when it can go on at once, or kEnd when the connection is over (the
    // caller then destroys it).
    CConnectionWait Advance(const CServeTime& time);
    // The wait that the last Advance returned.
    const CConnectionWait& GetWait() const { return m_wait; }
    // Tells it that bytes may have arrived since its last receive, and whether the client's
    // end (or an error) has.
    void NoteReady(bool bPeerEnded) {
        m_bMayRead = true;
        m_bPeerEnded = m_bPeerEnded || bPeerEnded;
        m_bHeadReported = m_phase == Phase::kHead;
    }

    CSocket& Socket() { return m_socket; }
    int GetAnswerCount() const { return m_nAnswered; }

private:
    enum class Phase { kHead, kAnswer, kBody, kLinger };
    static constexpr bool kStepAgain = true;

    // Each step does what its phase can without waiting: kStepAgain when the phase changed and
    // Advance should look again, otherwise it has set m_wait.
    bool ReadHeadStep(const CServeTime& time);
    bool SendStep(const CServeTime& time);
    bool SkipBodyStep(const CServeTime& time);
    bool LingerStep(const CServeTime& time);
    bool WaitFor(ConnectionWant want, uint64_t deadline);
    bool End();

    // Reads what has arrived into m_pending: its count, 0 when nothing has, -1 when the
    // connection ended or failed. Notes whether more may be waiting.
    int ReceivePending();
    // Reads and drops up to n bytes that have arrived, with the same results.
    int ReceiveAndDrop(long long n);

    // Counts and answers the request, leaving the answer to send in m_out and the file.
    void Answer(const CRequest& request, const CServeTime& time);
    // The status line of the refusal a request gets (a request that cannot be read, a
    // version or method not served), or null when it asks for a file.
    static const char* RefusalOf(const CRequest& request);
    // The answer to a GET or HEAD of the request's target, on top of reply (its date and
    // connection): the file, a part of it, 304 or 416, or a 301 or 404 page; a HEAD gets the
    // same head without the body.
    void PrepareFileAnswer(const CRequest& request, const CReply& reply, const CServeTime& time);
    // The answer to a GET or HEAD of a folder that has no index.html: its listing, from the
    // page kept of it while nothing in it has changed, else read anew. False when the
    // target names no folder that may be listed.
    bool PrepareListing(const CRequest& request, const CMappedTarget& mapped, CReply reply,
                        const CServeTime& time);
    // Reads the folder's entries and builds its page into *pPage, watching the folder first
    // where the thread keeps listings, so that the page can be kept. False when the target
    // names no folder that may be listed.
    bool BuildListing(const CMappedTarget& mapped, const CListingOrder& order,
                      const CServeTime& time, CListingPage* pPage, bool* pKeepable);
    // Reads the first bytes of the answer's range to go out with the head.
    void PrepareFileBytes(const CFileAnswer& answer);
    // Notes what the log says of the answer just prepared for request: its request line,
    // status and where its body starts.
    void NoteForLog(const CRequest& request);
    // Adds the answer's line to the log, with the body bytes sent so far; once per answer.
    void LogAnswer(const CServeTime& time);
    // What comes after a request has been answered (or skipped): its body, the linger
    // after a last answer, or the next head.
    void FinishRequest(uint64_t now);
    void StartHead(uint64_t now);
    // Until when the wait for the next head may last before this step is taken again: the
    // head's deadline, or sooner while a file held would keep others out.
    uint64_t HeadWaitEnd(uint64_t now);
    void CloseKeptFile();
    // Empties m_out for a new answer, which no longer holds a copy of the kept file then.
    void ClearOut();
    // Makes m_keptFile the regular file the target names: the one already open when its
    // name still leads to it unchanged, else freshly opened. False when there is no such file.
    // With pChanges the names to a file kept are watched, and the look at them is skipped
    // while nothing on the way has changed.
    bool OpenForServing(const CMappedTarget& mapped, CChangeWatch* pChanges);

    CSocket m_socket;
    CHeadBuffer m_pending;
    Phase m_phase;
    CConnectionWait m_wait;
    uint64_t m_deadline;  // of the phase: head, body, linger, or the send stall
    // A receive may find bytes: set at the start and when readiness is reported, cleared
    // when a receive took less than it had room for, which left nothing behind. A wait that
    // reports changes of readiness reports bytes that arrive after that.
    bool m_bMayRead;
    // The client's end has arrived: no later report of it would come, so receives go on
    // until they find it.
    bool m_bPeerEnded;
    // This step began with a report of bytes while a head was awaited: the first head it
    // answers was on its way before that report, and so was every change made before the
    // client sent it. Cleared by that head and at the end of the step.
    bool m_bHeadReported;
    bool m_bFreshRequest;  // the request being answered is that first head
    int m_nAnswered;

    // The request being answered.
    std::string m_out;  // head and first bytes of the answer
    size_t m_nOutSent;
    // Where in m_out the kept file's whole content starts, left from the last answer, or
    // kNoFileCopy when m_out holds no such copy.
    size_t m_nOutFileAt;
    static constexpr size_t kNoFileCopy = std::string::npos;
    std::string m_head;      // the new head for a copy of the kept file already in m_out
    uint64_t m_nFileOffset;  // the file's bytes from here to m_nFileEnd follow m_out
    uint64_t m_nFileEnd;
    bool m_bCutShort;       // the file ended before its announced length
    bool m_bLast;           // the connection ends after this request
    long long m_nBodyLeft;  // body bytes of the request still to skip

    // What the request log says of the answer, while its line is still to be added.
    bool m_bLogPending;
    char m_szPeer[46];          // the client's address
    std::string m_requestLine;  // as received
    int m_nStatus;
    size_t m_nHeadLength;         // of the answer's head in m_out
    uint64_t m_nFileOffsetFirst;  // where the file's bytes after m_out started

    // The file last answered with, kept open while the connection lasts: asking for it
    // again costs one look at its name instead of an open and a close.
    std::string m_keptPath;  // its name below the root
    CFile m_keptFile;
    // The root its names were watched from, and the watch's generation when they were last
    // looked at; kNotWatched when they are not watched.
    std::shared_ptr<CFolder> m_pKeptRoot;
    uint64_t m_nKeptLookedAt;
    bool m_bKeptWatchable;  // false once its names could not be watched
    static constexpr uint64_t kNotWatched = ~uint64_t{0};
    uint64_t m_nLetFileGoAt;  // where holding it keeps others out, while no request comes
};
