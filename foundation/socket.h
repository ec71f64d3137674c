// Owning socket handle: data transfer, readiness waits and the listening operations.
#pragma once

#include <atomic>
#include <cstdint>

#include "foundation/event.h"
#include "foundation/object.h"
#include "foundation/platform_types.h"

class CFile;

enum class WaitResult { kReady, kTimeout, kWoken, kFailed };

// What a listening socket that does not wait had to give.
enum class AcceptResult { kAccepted, kNothingYet, kOutOfHandles, kFailed };

// How long sends on one connection may wait for the peer to take data: stallMs per wait
// while the program runs; once the stop event is seen, stopGraceMs in all from then on.
class CSendBudget {
public:
    CSendBudget(const CEvent* pStopEvent, uint32_t stallMs, uint32_t stopGraceMs);

    // The longest the next wait may last; 0 when the grace after a stop is spent.
    uint32_t NextWaitMs() const;
    // The event that should cut a wait short: the stop event until it has been seen.
    const CEvent* WakeEvent() const;
    // Starts the grace period (once); called when a wait was woken by the stop event.
    void NoteStop();
    // Whether the grace after a stop is over; notices a stop that no wait has seen yet,
    // so that a peer that reads fast enough never to make us wait is cut off as well.
    bool IsSpent();
    bool IsStopping() const { return m_bStopping; }

private:
    const CEvent* m_pStopEvent;
    uint32_t m_nStallMs;
    uint32_t m_nStopGraceMs;
    bool m_bStopping;
    uint64_t m_nStopDeadline;
};

class CSocket : public CObject {
public:
    CSocket();
    explicit CSocket(SOCKET s);
    ~CSocket() override;  // Close
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    bool IsEmpty() const { return m_hSocket.load(std::memory_order_acquire) == INVALID_SOCKET; }

    // Takes s when empty and returns true; otherwise keeps its own and s stays the caller's.
    bool Attach(SOCKET s);
    // Gives the held socket to the caller (INVALID_SOCKET when empty); empty afterwards.
    SOCKET Detach();
    // Shuts down sending, then closes; empty afterwards. Safe against a concurrent Accept.
    void Close();
    // Tells the peer that nothing more follows, keeping the socket open for reading.
    bool ShutdownSend();
    // Makes every later call on the socket return at once instead of waiting; sockets that
    // AcceptNoWait gives are so already.
    bool SetNonBlocking();
    // Lets small writes in a row leave at once instead of each waiting for the peer's
    // acknowledgement of the one before (which the peer may delay); where the host allows.
    bool SendSmallWritesAtOnce();

    int Receive(char* pBuffer, int length);  // one recv: count, 0 at end, SOCKET_ERROR
    // What has already arrived, without waiting: the count, 0 at the peer's end, SOCKET_ERROR
    // on failure, or kNothingYet when no byte is there (the end may then still be unseen).
    int ReceiveNoWait(char* pBuffer, int length);
    static constexpr int kNothingYet = -2;
    bool ReceiveLine(char* pBuffer, int size);        // one line, byte by byte, LF kept
    int Send(const char* pData, int length);          // one send: count taken or SOCKET_ERROR
    bool SendString(const char* pszText);             // one Send of the text; true when all went
    bool SendFile(CFile& file);                       // the rest of the file in 8192-byte chunks
    bool IoControl(long command, u_long* pArgument);  // ioctlsocket; FIONREAD: bytes waiting

    // Bytes taken without blocking: 0 when there is no room now, SOCKET_ERROR on failure.
    int SendNoWait(const char* pData, int length);
    // Sends all of data, waiting for room within the budget; false when it was not all sent.
    bool SendAll(const char* pData, int length, CSendBudget& budget);
    // Sends head (may be empty) and then exactly the first length bytes of the file, from
    // its start whatever its position, within the budget; false when the file ends sooner
    // (it shrank) or a send fails. A file that grows meanwhile is cut at length, so the
    // bytes sent always match the length announced. The head travels with the file's first
    // bytes, so that a small response leaves in one send and head and body never wait on
    // each other.
    bool SendFile(CFile& file, uint64_t length, CSendBudget& budget, const char* pHead,
                  int headLength);

    // Up to length bytes of the file from offset on, as many as the socket takes now: the
    // count, 0 when it has no room, SOCKET_ERROR on failure or when the file ends sooner.
    // For a non-blocking socket.
    long long SendFileNoWait(CFile& file, uint64_t offset, uint64_t length);

    // Waits until a receive would not block (data, end of stream or an error), the wake
    // event is set, or ms pass. The socket is looked at first when both are ready.
    WaitResult WaitReadable(uint32_t ms, const CEvent* pWake) const;
    // Waits until a send would take at least one byte, likewise.
    WaitResult WaitWritable(uint32_t ms, const CEvent* pWake) const;

    // Listening side: socket, bind to port on every local address with a backlog of 5,
    // blocking accept into client. Create and Listen log their failures.
    bool Create(int addressFamily, int type, int protocol);
    bool Listen(unsigned short port);
    bool Accept(CSocket& client, SOCKADDR* pAddress, int* pAddressLength);
    // Takes a connection that is already waiting, for a non-blocking listening socket; the
    // client's socket is non-blocking too. kOutOfHandles: the process or system has no
    // socket left for it, and it stays waiting.
    AcceptResult AcceptNoWait(CSocket& client);
    // The host's error code (errno, or WSAGetLastError on Win32) of the last Create or Listen
    // that failed on this object, so that a program can say why it cannot listen; 0 when none.
    int GetListenError() const { return m_nListenError.load(std::memory_order_acquire); }

    // Client side, for tools and tests: connects to an IPv4 address given as text.
    bool Connect(const char* pszAddress, unsigned short port);
    // The local port the socket is bound to, 0 when it has none.
    unsigned short GetLocalPort() const;
    SOCKET GetHandle() const { return m_hSocket.load(std::memory_order_acquire); }

private:
    bool WaitForRoom(CSendBudget& budget);
    // Sends exactly length bytes of the file from offset on within the budget, the host's
    // cheapest way; false when the file ends sooner or a send fails.
    bool SendFileRest(CFile& file, uint64_t offset, uint64_t length, CSendBudget& budget);
    // The same through an 8192-byte buffer, which every host can do.
    bool SendFileThroughBuffer(CFile& file, uint64_t offset, uint64_t length, CSendBudget& budget);

    std::atomic<SOCKET> m_hSocket;
    // Set by Listen: only a listening socket needs its waiting accept released on Close.
    bool m_bListening;
    // Set by SetNonBlocking and AcceptNoWait: no call needs to switch the mode for itself.
    bool m_bNonBlocking;
    std::atomic<int> m_nListenError;
};
