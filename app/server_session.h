// The server's start and stop, written once for the window and the terminal, and the words
// both programs use for their command line and for where they serve.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "server/listen_thread.h"
#include "server/request_log.h"

// The listener: created by StartServer, deleted by StopServer.
extern CListenThread* g_pListenThread;
// The request log's writer while the server runs with the log on; null otherwise.
extern CRequestLogWriter* g_pRequestLogWriter;

// What the main window's creation does: the start-up messages, the document root pszRoot,
// the socket library, then the listener on the options' port and address, serving by the
// options, whose outcome pfnOutcome (may be null) is told on the listener's thread; with
// the request log's writer when the options log requests (lines reach the front end once
// it installs a request log sink). False, said in the log, when the socket library or the
// listener's thread cannot start.
bool StartServer(const wchar_t* pszRoot, const CStartOptions& options,
                 ListenOutcomeCallback pfnOutcome, void* pContext);
// Shares the folder at pszRoot (ending with the host's separator) from every worker's next
// request on; false, and the served folder kept, when it does not open or nothing serves.
bool ShareFolder(const wchar_t* pszRoot);
// What the main window's destruction does: stops the listener and its workers, then the
// request log's writer, which hands over the last lines; frees them and ends the socket
// library. Harmless when nothing was started.
void StopServer();

// Parses a port number, 1 to 65535, written in decimal digits only.
bool ParsePort(const wchar_t* pszText, unsigned short& port);
// Parses the bind option's value: "localhost", an IPv4 or an IPv6 address (see
// ParseListenAddress).
bool ParseBindAddress(const wchar_t* pszText, CListenAddress& address);
// Why a command line is refused, without the program's name.
std::wstring BadPortText(const std::wstring& value);
std::wstring BadBindText(const std::wstring& value);
std::wstring MissingValueText(const std::wstring& option);
std::wstring UnknownOptionText(const std::wstring& option);

// "http://host/", with ":port" before the final '/' when the port is not 80.
std::wstring HttpAddress(const std::wstring& host, unsigned short port);
// The address to open on this machine for a server listening at address: localhost unless
// it listens on one address only, which is then named (IPv6 in brackets).
std::wstring LocalHttpAddress(const CListenAddress& address, unsigned short port);
// "cannot listen on ADDRESS: that address is not this computer's", without a line end.
std::wstring NotLocalAddressText(const CListenAddress& address);
// "Uploads are on: ..." with the largest size taken, without a line end, when the options
// receive files; empty otherwise.
std::wstring UploadsLine(const CServerOptions& options);
// "Also on this network: http://a/, http://b/" for the addresses (host byte order), without
// a line end; empty when there are none.
std::wstring NetworkAddressesLine(const std::vector<uint32_t>& addresses, unsigned short port);
