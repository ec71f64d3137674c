// The floor for kovweb.exe under Wine: the least a Win32 program can do to serve one file on
// kept-alive connections. A thread per connection, blocking recv, and for every request head one
// send of an answer made once at start (the head bytes kovweb.exe sends). It parses nothing and
// opens nothing per request, so what it costs is what Wine costs.
//
//   win32_floor.exe PORT FILE
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string g_answer;  // the whole answer, head and body; written before any thread starts

// Serves one connection until the client closes it or a call fails, then closes it.
DWORD WINAPI ServeConnection(LPVOID pParameter) {
    const SOCKET s = static_cast<SOCKET>(reinterpret_cast<UINT_PTR>(pParameter));
    const int length = static_cast<int>(g_answer.size());
    int matched = 0;  // bytes of "\r\n\r\n" seen so far, across receives
    char buffer[4096];
    for (int received; (received = recv(s, buffer, sizeof buffer, 0)) > 0;) {
        for (int i = 0; i < received; ++i) {
            matched = buffer[i] == "\r\n\r\n"[matched] ? matched + 1 : (buffer[i] == '\r' ? 1 : 0);
            if (matched < 4) continue;
            matched = 0;
            if (send(s, g_answer.data(), length, 0) != length) received = 0;
        }
        if (received == 0) break;
    }
    closesocket(s);
    return 0;
}

}  // namespace

// Listens on the port until killed; 1 when it cannot start.
int main(int argc, char** argv) {
    std::ifstream in(argc == 3 ? argv[2] : "", std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "usage: win32_floor PORT FILE (a readable file)\n");
        return 1;
    }
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    g_answer = "HTTP/1.1 200 Sending file\r\ncontent-length: " + std::to_string(body.size()) +
               "\r\ncontent-type: text/plain\r\n\r\n" + body;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener == INVALID_SOCKET ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, SOMAXCONN) != 0) {
        std::fprintf(stderr, "win32_floor: cannot listen on port %s: %d\n", argv[1],
                     WSAGetLastError());
        return 1;
    }
    for (;;) {
        const SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) continue;
        const HANDLE hThread =
            CreateThread(nullptr, 0, ServeConnection,
                         reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(s)), 0, nullptr);
        if (hThread == nullptr)
            closesocket(s);
        else
            CloseHandle(hThread);
    }
}
