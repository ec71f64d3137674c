// A worker: waits for a connection through its work event and serves it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/event.h"
#include "foundation/socket.h"
#include "foundation/thread.h"
#include "server/request_head.h"

class CFile;
class CString;

// The document root: targets are joined to it without a separator, so it ends with one.
// Written once before any server thread starts.
extern wchar_t g_szWebRoot[1024];
// Request heads read by all workers since start.
extern std::atomic<int32_t> g_nRequests;

constexpr uint32_t kHeadDeadlineMs = 3000;  // for each head, from the start of its read
constexpr uint32_t kSendStallMs = 10000;    // longest wait for a peer that takes no data
constexpr uint32_t kLingerMs = 2000;        // for the client's end after a last answer
constexpr uint32_t kStopGraceMs = 2000;     // what a connection may still take after a stop

class CHttpThread : public CThread {
public:
    CHttpThread();
    ~CHttpThread() override;

    // Offers an accepted socket: true when this worker was idle and has taken it.
    // Called only by the listener thread.
    bool Assign(SOCKET s);
    // Stops the thread (a connection in progress first ends) and closes a socket still held.
    void Shutdown();
    // Makes a stopped worker keep taking connections until pEvent is set: a listener that
    // still holds a connection when the stop comes hands it over and has it served.
    // Called before Start.
    void SetHandOffsEndedEvent(const CEvent* pEvent) { m_pHandOffsEnded = pEvent; }
    // Has the worker set pEvent each time it becomes idle, so that a listener holding a
    // connection need not wait out its retry period. Called before Start.
    void SetFreedEvent(CEvent* pEvent) { m_pFreed = pEvent; }

    DWORD Run() override;

    // Serves m_socket until the client stops sending, then closes it. Returns 1.
    int ServeConnection();

    bool IsBusy() const { return m_hWorkEvent.IsSet(); }
    // Connections this worker has finished serving.
    int32_t GetServedCount() const { return m_nServed.load(std::memory_order_acquire); }

private:
    // The next complete head (its length in *pnLength), or null when the connection has
    // nothing more in time, or nothing more at all once the stop event is set.
    std::unique_ptr<char[]> ReadRequest(CHeadBuffer& pending, CSendBudget& budget, int* pnLength);
    // Receives what fits into pending; false when the connection ended or failed.
    // Reads and drops the length bytes of a request body, so that the next head starts
    // where it should; false when they do not all arrive within the head deadline.
    bool SkipBody(CHeadBuffer& pending, long long length);
    // When the client has sent bytes that will not be read, ends our side after the
    // connection's last answer, then reads what it still sends until it closes too or
    // kLingerMs pass.
    void LingerAfterLastAnswer();
    // Reads and drops length bytes (kUntilEnd: up to the client's end of stream) within ms;
    // true when they all came (or the end did). A stop cuts it short.
    bool DropIncoming(long long length, uint32_t ms);
    static constexpr long long kUntilEnd = -1;
    bool ReceiveInto(CHeadBuffer& pending, int maxBytes);
    // The handlers answer one request; false when the answer did not go out whole.
    bool HandleGet(const char* pTarget, size_t n, CSendBudget& budget);
    bool HandleHead(const char* pTarget, size_t n, CSendBudget& budget);
    bool SendNotFoundPage(const std::string& display, CSendBudget& budget);
    bool SendHeader(int status, const wchar_t* pszReason, long long contentLength,
                    const char* pszContentType, CSendBudget& budget);
    // Builds a response head as bytes; contentLength -1 leaves content-length out.
    static std::string FormatHeader(int status, const wchar_t* pszReason, long long contentLength,
                                    const char* pszContentType);

    CSocket m_socket;
    CEvent m_hWorkEvent;
    std::atomic<int32_t> m_nServed;
    const CEvent* m_pHandOffsEnded;
    CEvent* m_pFreed;
};
