// What the window says in words about the server: where it serves, why it cannot.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/platform_types.h"
#include "foundation/socket.h"

// The lines that follow a good start: the folder and the address to open (and that only
// this computer can, when bound to loopback), the addresses other machines may use when
// it listens on every address (host byte order; the line is left out when there are none),
// the user whose password is required (UTF-8; none when empty, and the password is never
// shown), and how to see the count and stop. Each line ends with "\r\n".
std::wstring ServingText(const std::wstring& folder, unsigned short port,
                         const CListenAddress& bound, const std::vector<uint32_t>& addresses,
                         const std::string& user = std::string());

// Why port cannot be listened on at bound, from the Windows Sockets error, with what to do
// about it; one line ending with "\r\n".
std::wstring ListenFailureText(unsigned short port, const CListenAddress& bound, int error);

// The system's own words for an error code, without a final line end; "error N" when it
// has none.
std::wstring SystemMessageText(DWORD error);
