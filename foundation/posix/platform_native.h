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

constexpr DWORD STILL_ACTIVE = 259;

typedef int FileHandle;
constexpr FileHandle kInvalidFileHandle = -1;

struct KovThreadState;
typedef KovThreadState* ThreadHandle;

struct KovEventState;
typedef KovEventState* EventHandle;

struct CriticalSectionRecord {
    pthread_mutex_t m_mutex;
};
