// POSIX stand-ins for the handle types and constants that the core names.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdint>

typedef uint32_t DWORD;
typedef unsigned long u_long;
typedef int SOCKET;
typedef struct sockaddr SOCKADDR;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// File access values, as the Win32 file API spells them, for CFile::Open; only these are
// understood.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;

constexpr DWORD STILL_ACTIVE = 259;

// A time in 100 ns units since 1601, split as the Win32 file API gives it.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

typedef int FileHandle;
constexpr FileHandle kInvalidFileHandle = -1;

struct KovThreadState;
typedef KovThreadState* ThreadHandle;

struct KovEventState;
typedef KovEventState* EventHandle;

struct CriticalSectionRecord {
    pthread_mutex_t m_mutex;
};
