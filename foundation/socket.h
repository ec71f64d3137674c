// Owning socket handle: data transfer without waiting, and the listening operations.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/object.h"
#include "foundation/platform_types.h"

class CFile;

// What a listening socket that does not wait had to give.
enum class AcceptResult { kAccepted, kNothingYet, kOutOfHandles, kFailed };

// Where a listening socket takes its clients: every local address (the default), the loopback
// addresses (a socket binds 127.0.0.1; the listener adds ::1 beside it), or one IPv4 or IPv6
// address of this machine.
struct CListenAddress {
    enum class Kind { kEvery, kLoopback, kIPv4, kIPv6 };
    Kind m_kind = Kind::kEvery;
    unsigned char m_bytes[16] = {};  // network byte order; kIPv4 uses the first 4

    // The IPv6 loopback address, ::1.
    static CListenAddress IPv6Loopback();
};

// Reads "localhost", an IPv4 literal in dotted decimal, or an IPv6 literal with or without
// [brackets]; false, address untouched, for anything else (names, zone indexes, ports).
bool ParseListenAddress(const char* pszText, CListenAddress& address);
// The address as a URL's host: "localhost", "192.0.2.7", "[2001:db8::7]"; empty for every
// address.
std::string ListenAddressHost(const CListenAddress& address);
// Writes an IPv4 address (4 bytes, network order) in dotted decimal into pText (n bytes);
// false, pText untouched, when it does not fit.
bool FormatIPv4Address(const unsigned char* pBytes, char* pText, size_t n);
// Whether only programs on this machine can reach the address: the loopback ones.
bool IsLoopbackOnly(const CListenAddress& address);
// Whether a listen error (GetListenError) says the host has no such address family or
// address at all, rather than that this address or port cannot be had.
bool IsAddressFamilyMissing(int error);
// Whether a listen error says the address is not one of this machine's.
bool IsAddressNotLocal(int error);
// Fills *pOut with address (which is not kEvery) and port as the socket calls take them;
// returns its length.
int FillSocketAddress(const CListenAddress& address, unsigned short port, sockaddr_storage* pOut);

class CSocket : public CObject {
public:
    CSocket();
    // Holds s from now on, as Attach on an empty object does; part of the socket's contract
    // though the server itself only attaches.
    explicit CSocket(SOCKET s);
    ~CSocket() override;  // Close

    bool IsEmpty() const { return m_hSocket.load(std::memory_order_acquire) == INVALID_SOCKET; }

    // Takes s when empty and returns true; otherwise keeps its own and s stays the caller's.
    bool Attach(SOCKET s);
    // Gives the held socket to the caller (INVALID_SOCKET when empty); empty afterwards.
    SOCKET Detach();
    // Shuts down sending, then closes; empty afterwards.
    void Close();
    // Tells the peer that nothing more follows, keeping the socket open for reading.
    bool ShutdownSend();
    // Makes every later call on the socket return at once instead of waiting; sockets that
    // AcceptNoWait gives are so already.
    bool SetNonBlocking();
    // Lets small writes in a row leave at once instead of each waiting for the peer's
    // acknowledgement of the one before (which the peer may delay); where the host allows.
    bool SendSmallWritesAtOnce();

    // What has already arrived, for a non-blocking socket: the count, 0 at the peer's end,
    // SOCKET_ERROR on failure, or kNothingYet when no byte is there (the end may then still be
    // unseen).
    int ReceiveNoWait(char* pBuffer, int length);
    static constexpr int kNothingYet = -2;
    bool IoControl(long command, u_long* pArgument);  // ioctlsocket; FIONREAD: bytes waiting

    // Bytes a non-blocking socket takes now: 0 when it has no room, SOCKET_ERROR on failure.
    int SendNoWait(const char* pData, int length);
    // SendNoWait of the n1 bytes at p1 followed by the n2 at p2, in one call: how many of
    // the n1 + n2 the socket took.
    int SendPairNoWait(const char* p1, int n1, const char* p2, int n2);
    // Up to length bytes of the file from offset on, as many as the socket takes now: the
    // count (below length when the socket filled up), 0 when it has no room, SOCKET_ERROR on
    // failure or when the file ends before any byte went. For a non-blocking socket; the
    // file's bytes pass through the caller's buffer of nBuffer bytes where the host cannot
    // send them from the file itself.
    long long SendFileNoWait(CFile& file, uint64_t offset, uint64_t length, char* pBuffer,
                             size_t nBuffer);
    // Whether SendFileNoWait passes the file's bytes through the caller's buffer from now on
    // even where the host could send them from the file itself (false by default).
    void SendFilesByCopy(bool bByCopy) { m_bFilesByCopy = bByCopy; }
    // Holds the send buffer at nBytes (a host may double it) in place of the host's own
    // sizing, which grows it for distant peers; false when the host refused.
    bool HoldSendBuffer(int nBytes);
    // Whether AcceptNoWait took the socket from a loopback address: its peer runs on this
    // machine.
    bool HasLoopbackPeer() const { return m_bLoopbackPeer; }

    // Listening side: socket, bind to port on every local address (IPv6 ones too, through one
    // dual-stack socket in place of the one Create made, where the host has IPv6) or on the
    // one address given (a socket of its family in place of Create's), with the system's
    // largest backlog. Create and Listen log their failures.
    bool Create(int addressFamily, int type, int protocol);
    bool Listen(unsigned short port, const CListenAddress& address = CListenAddress());
    // Takes a connection that is already waiting, for a non-blocking listening socket; the
    // client's socket is non-blocking too. kOutOfHandles: the process or system has no
    // socket left for it, and it stays waiting.
    // With pPeerText, the client's address as GetPeerAddress gives it goes there too (n bytes
    // with the terminator), from the accept itself.
    AcceptResult AcceptNoWait(CSocket& client, char* pPeerText = nullptr, size_t n = 0);
    // Has a listening socket report a connection only once its client has sent something, or
    // after a second of silence, where the host can (Linux): the first receive then finds the
    // request. Nothing elsewhere.
    void ReportConnectionsWithData();
    // Whether this host can do so: a connection taken then usually has its request waiting.
    static const bool kReportsConnectionsWithData;
    // The host's error code (errno, or WSAGetLastError on Win32) of the last Create or Listen
    // that failed on this object, so that a program can say why it cannot listen; 0 when none.
    int GetListenError() const { return m_nListenError.load(std::memory_order_acquire); }

    // Client side, for tools and tests: connects to an IPv4 or IPv6 address given as text.
    bool Connect(const char* pszAddress, unsigned short port);
    // The local port the socket is bound to, 0 when it has none.
    unsigned short GetLocalPort() const;
    // The connected peer's address as text into pText (n bytes with the terminator; 46 hold
    // any): IPv4 dotted, IPv6 without brackets, an IPv4-mapped IPv6 address as its IPv4 one.
    // False, and pText "-", when the socket has no peer or the text does not fit.
    bool GetPeerAddress(char* pText, size_t n) const;
    SOCKET GetHandle() const { return m_hSocket.load(std::memory_order_acquire); }

private:
    std::atomic<SOCKET> m_hSocket;
    std::atomic<int> m_nListenError;
    // Set while the socket is set up, before any other thread can see it.
    bool m_bFilesByCopy = false;
    bool m_bLoopbackPeer = false;
};
