// The socket calls whose names, flags or error numbers differ between the hosts: each host's
// socket.cpp gives them, and socket_common.cpp builds the CSocket members on them.
#pragma once

#include "foundation/socket.h"

// A new socket that this process keeps to itself (close-on-exec where the host has that);
// INVALID_SOCKET, with LastSocketError, on failure.
SOCKET OpenNativeSocket(int addressFamily, int type, int protocol);
// Closes s, which no object holds.
void CloseNativeSocket(SOCKET s);
// The host's error code of the calling thread's last failed socket call.
int LastSocketError();
// Whether error says a call was interrupted before it did anything, so it is made again.
bool IsInterruptedCall(int error);
// Whether error says that a call which must not wait would have had to.
bool IsWouldBlock(int error);
// Lets a listening socket bind a port whose old connections still sit in TIME_WAIT, where
// the host needs to be told.
void AllowQuickRebind(SOCKET s);
// Has the listening socket s report a connection only once its client has sent something,
// where the host can: the first receive then finds the request, and a connection that sends
// nothing is never woken for. Nothing where the host cannot.
void ReportConnectionsWithDataNative(SOCKET s);
// recv and send that never wait, nor raise a signal at a peer that has gone: the count, or
// SOCKET_ERROR with LastSocketError.
int ReceiveNative(SOCKET s, char* pBuffer, int length);
int SendNative(SOCKET s, const char* pData, int length);
// A send of n1 bytes at p1 followed by n2 at p2 in one call, with SendNative's results.
int SendPairNative(SOCKET s, const char* p1, int n1, const char* p2, int n2);
// Sends up to length bytes of file from offset on straight from the host's file cache, as
// many as the non-blocking socket s takes now, into *pSent: the count (below length when s
// filled up), 0 when it had no room, SOCKET_ERROR on failure or when the file ended before any
// byte went. False, with nothing sent, where the host has no such path for this file and
// socket: the caller copies the bytes then.
bool SendFileNative(SOCKET s, CFile& file, uint64_t offset, uint64_t length, long long* pSent);
// Takes a connection waiting on the listening socket s into *pAccepted, non-blocking and
// kept to this process, and its client's address into *pPeer; a client that left before it
// was taken is passed over.
AcceptResult AcceptNative(SOCKET s, SOCKET* pAccepted, sockaddr_storage* pPeer);
