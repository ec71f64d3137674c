// One client connection with everything that is known about it: the bytes read but not yet
// used, the answer in progress and its deadlines. The worker it was placed on holds it for
// its whole life.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/socket.h"
#include "server/answer.h"
#include "server/request_body.h"
#include "server/request_head.h"

class CFileCache;
class CHandler;
class CRequestLogRing;

// The document root as start-up fixes it: targets are joined to it without a separator, so
// it ends with one. Written once before any server thread starts.
extern wchar_t g_szWebRoot[1024];
// Request heads read by all workers since start.
extern std::atomic<int32_t> g_nRequests;

constexpr uint32_t kHeadDeadlineMs = 3000;  // for each head, from the start of its read
constexpr uint32_t kSendStallMs = 10000;    // longest wait for a peer that takes no data
constexpr uint32_t kLingerMs = 2000;        // for the client's end after a last answer
constexpr uint32_t kStopGraceMs = 2000;     // what a connection may still take after a stop

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
    // The thread's file cache, which answers for the files below the root; null: none is
    // served.
    CFileCache* m_pFiles = nullptr;
    // The thread's request log; null when requests are not logged.
    CRequestLogRing* m_pRequestLog = nullptr;
    // What decides the answers; null: the default handler.
    CHandler* m_pHandler = nullptr;
    // The thread's buffer for the bytes that pass through it (a file's pieces where the host
    // cannot send from the file, a stream's, a request body's); shared by its connections
    // and holding nothing between steps.
    char* m_pBuffer = nullptr;
    size_t m_nBuffer = 0;
};

class CConnection {
public:
    // An empty connection; Begin gives it its socket.
    CConnection();
    ~CConnection();  // closes the socket
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Takes a connection waiting on listening into m_socket, with its client's address.
    AcceptResult AcceptFrom(CSocket& listening);
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
    // end (or an error) has; mark is the file cache's for the wait that reported it.
    void NoteReady(bool bPeerEnded, uint64_t mark = 0) {
        m_read.m_bMayRead = true;
        m_read.m_bPeerEnded = m_read.m_bPeerEnded || bPeerEnded;
        m_read.m_nHeadMark = m_phase == Phase::kHead ? mark : 0;
    }

    CSocket& Socket() { return m_socket; }
    int GetAnswerCount() const { return m_nAnswered; }

private:
    // kBody: the request's body is read, into the answer's sink before the answer or
    // dropped after it.
    enum class Phase { kHead, kBody, kAnswer, kLinger };
    static constexpr bool kStepAgain = true;
    static constexpr int kLocalPeerSendBuffer = 128 * 1024;

    // Holds the send buffer of a local client's connection before a body longer than it.
    void HoldSendBufferFor(const CAnswerBody& body);

    // Each step does what its phase can without waiting: kStepAgain when the phase changed and
    // Advance should look again, otherwise it has set m_wait.
    bool ReadHeadStep(const CServeTime& time);
    bool BodyStep(const CServeTime& time);
    bool SendStep(const CServeTime& time);
    bool LingerStep(const CServeTime& time);
    bool WaitFor(ConnectionWant want, uint64_t deadline);
    bool End();

    // Reads what has arrived into m_pending: its count, 0 when nothing has, -1 when the
    // connection ended or failed. Notes whether more may be waiting.
    int ReceivePending();
    // Reads up to n bytes that have arrived into p, with the same results.
    int ReceiveInto(char* p, size_t n);

    // Counts the request, has the handler decide it, and goes on to its body or its answer;
    // mark is the one its head arrived with (0 when no wait reported it).
    void TakeRequest(const CRequest& request, uint64_t mark, const CServeTime& time);
    // Sends the interim 100 Continue that a client waiting on Expect gets before its body;
    // false when it failed, with m_wait set when it waits for room.
    bool SendInterim(const CServeTime& time, bool* pbWaits);
    // Reads the body's framing and data from the n bytes at p, the data into the sink when
    // there is one; returns how many bytes it used.
    size_t FeedBody(const char* p, size_t n);
    // Moves on once the body has ended, whole, cut by its sink or malformed.
    void EndBody(const CServeTime& time);
    // Starts sending m_answer.
    void StartAnswer(const CServeTime& time);
    // What SendBody left to do: go on when the socket has room or at the next step, ask the
    // body's source again at the next step, or end the connection (a failed send, a body
    // that cannot go on).
    enum class BodySend { kGoesOn, kNotYet, kEnds };
    // Sends the body's bytes after m_out, at most budget of them, adding them to *pSent.
    BodySend SendBody(const CServeTime& time, uint64_t budget, uint64_t* pSent);
    // Notes what the log says of the answer just decided: its status and where its body starts.
    void NoteAnswerForLog();
    // Adds the answer's line to the log, with the body bytes sent so far; once per answer.
    void LogAnswer(const CServeTime& time);
    // What comes after a request has been answered: its body, the linger after a last
    // answer, or the next head.
    void FinishRequest(uint64_t now);
    void StartHead(uint64_t now);

    // What is known of the socket's readable side.
    struct CReadState {
        // A receive may find bytes: set at the start and when readiness is reported, cleared
        // when a receive took less than it had room for, which left nothing behind. A wait
        // that reports changes of readiness reports bytes that arrive after that.
        bool m_bMayRead = true;
        // The client's end has arrived: no later report of it would come, so receives go on
        // until they find it.
        bool m_bPeerEnded = false;
        // The file cache's mark when this step began with a report of bytes while a head was
        // awaited: the first head it answers was on its way before that report, and so was
        // every change made before the client sent it. Cleared by that head and at the end
        // of the step.
        uint64_t m_nHeadMark = 0;
    };
    // The request's body while it is read.
    struct CBodyState {
        CBodyFraming m_framing;
        bool m_bToSink = false;     // into m_answer.m_pSink, which then gives the answer
        bool m_bRefused = false;    // the sink took no more
        size_t m_nInterimSent = 0;  // of the 100 Continue, while it is being sent
        bool m_bInterim = false;    // a 100 Continue is to go out before the body is read
    };
    // What the request log says of the answer, while its line is still to be added.
    struct CLogNote {
        bool m_bPending = false;
        char m_szPeer[46] = {'-', '\0'};  // the client's address
        std::string m_requestLine;        // as received
        std::string m_user;               // whose credentials were right; empty: none
        int m_nStatus = 0;
        size_t m_nHeadLength = 0;   // of the answer's head in m_out
        uint64_t m_nBodyFirst = 0;  // where the body's bytes after m_out started
    };

    CSocket m_socket;
    CHeadBuffer m_pending;
    Phase m_phase;
    CConnectionWait m_wait;
    uint64_t m_deadline;  // of the phase: head, body, linger, or the send stall
    CReadState m_read;
    int m_nAnswered;
    bool m_bLast;                    // the connection ends after this request
    bool m_bHoldSendBuffer = false;  // at the next long body (a local client's)
    CBodyState m_body;
    CAnswer m_answer;
    size_t m_nOutSent;  // of m_answer.m_out
    CLogNote m_log;
    // A mark of the credentials found right on this connection, which its later requests
    // repeat (0: none yet).
    uint64_t m_nRightCredentials = 0;
};
