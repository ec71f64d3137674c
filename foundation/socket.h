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
    // Up to length bytes of the file from offset on, as many as the socket takes now: the
    // count, 0 when it has no room, SOCKET_ERROR on failure or when the file ends sooner.
    // For a non-blocking socket.
    long long SendFileNoWait(CFile& file, uint64_t offset, uint64_t length);

    // Waits until a receive would not block (data, end of stream or an error), the wake
    // event is set, or ms pass. The socket is looked at first when both are ready.
    WaitResult WaitReadable(uint32_t ms, const CEvent* pWake) const;
    // Waits until a send would take at least one byte, likewise.
    WaitResult WaitWritable(uint32_t ms, const CEvent* pWake) const;

    // Listening side: socket, bind to port on every local address with the system's largest
    // backlog, blocking accept into client. Create and Listen log their failures.
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
    std::atomic<SOCKET> m_hSocket;
    // Set by Listen: only a listening socket needs its waiting accept released on Close.
    bool m_bListening;
    // Set by SetNonBlocking and AcceptNoWait: no call needs to switch the mode for itself.
    bool m_bNonBlocking;
    std::atomic<int> m_nListenError;
};
