// The Win32 handle types and constants that the core names: mostly the system's own.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// WIN32_LEAN_AND_MEAN keeps windows.h from pulling in the old winsock.h beside winsock2.h.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

typedef HANDLE FileHandle;
// INVALID_HANDLE_VALUE is a cast, so it cannot be a constexpr.
static const FileHandle kInvalidFileHandle = INVALID_HANDLE_VALUE;

typedef HANDLE ThreadHandle;
typedef HANDLE EventHandle;

typedef CRITICAL_SECTION CriticalSectionRecord;
