// The host's socket library and the machine's own network addresses.
#pragma once

#include <cstdint>
#include <vector>

// Starts the socket library (Windows Sockets 1.1 on Win32; nothing to start elsewhere);
// logs the failure code and returns false when it cannot.
bool InitSockets();
// Ends the use of the socket library; harmless when it was never started.
void CleanupSockets();

// The IPv4 addresses at which other machines may reach this one, in host byte order: those
// of the interfaces that are up, without loopback and link-local (169.254/16) addresses or
// repeats, in the host's order. Empty when the host cannot tell.
std::vector<uint32_t> GetNetworkAddresses();

// Adds address (host byte order) to the list unless it is a loopback or link-local address
// or listed already; for the hosts' GetNetworkAddresses.
void AddNetworkAddress(std::vector<uint32_t>& addresses, uint32_t address);
