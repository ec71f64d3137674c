// A small keep-alive HTTP/1.1 load client for the benchmark, for what wrk cannot do: HEAD
// requests (wrk waits for the body that a HEAD answer announces but never sends) and an exact
// number of requests. One thread drives every connection with poll(). It prints its figures in
// wrk's words, so the same parser reads both.
//
//   loadclient [-m GET|HEAD] [-c CONNECTIONS] [-d SECONDS | -n REQUESTS] [-t TIMEOUT] URL
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using CClock = std::chrono::steady_clock;

struct SOptions {
    std::string m_strMethod = "GET";
    std::string m_strHost;
    int m_nPort = 80;
    std::string m_strPath = "/";
    int m_nConnections = 1;
    double m_dSeconds = 5;
    long m_nRequests = 0;  // when above 0, a fixed count instead of a duration
    double m_dTimeout = 5;
};

struct SCounts {
    long m_nDone = 0;
    long m_nBytes = 0;
    long m_nConnectErrors = 0;
    long m_nReadErrors = 0;
    long m_nWriteErrors = 0;
    long m_nTimeouts = 0;
    long m_nBadStatus = 0;
};

// One connection: sends a request, reads its answer, and again.
class CConnection {
public:
    int m_hSocket = -1;
    std::string m_strIn;
    CClock::time_point m_sent;
    bool m_bWaiting = false;
};

// Parses "http://HOST[:PORT][/PATH]"; false when it is not such a URL.
bool ParseUrl(const std::string& url, SOptions& options) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    const std::string rest = url.substr(scheme.size());
    const size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    options.m_strPath = slash == std::string::npos ? "/" : rest.substr(slash);
    const size_t colon = authority.find(':');
    options.m_strHost = authority.substr(0, colon);
    if (colon != std::string::npos) options.m_nPort = std::atoi(authority.c_str() + colon + 1);
    return !options.m_strHost.empty() && options.m_nPort > 0 && options.m_nPort < 65536;
}

// Reads the command line; false (after a message) when it is wrong.
bool ParseArguments(int argc, char** argv, SOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-m" && hasValue)
            options.m_strMethod = argv[++i];
        else if (arg == "-c" && hasValue)
            options.m_nConnections = std::atoi(argv[++i]);
        else if (arg == "-d" && hasValue)
            options.m_dSeconds = std::atof(argv[++i]);
        else if (arg == "-n" && hasValue)
            options.m_nRequests = std::atol(argv[++i]);
        else if (arg == "-t" && hasValue)
            options.m_dTimeout = std::atof(argv[++i]);
        else if (i == argc - 1 && ParseUrl(arg, options))
            return options.m_nConnections > 0 && options.m_dSeconds > 0 && options.m_dTimeout > 0;
        else
            break;
    }
    std::fprintf(stderr,
                 "usage: loadclient [-m GET|HEAD] [-c CONNECTIONS] [-d SECONDS | -n REQUESTS] "
                 "[-t TIMEOUT] http://HOST:PORT/PATH\n");
    return false;
}

// Opens a connection without Nagle's delay; -1 when it cannot.
int Connect(const SOptions& options) {
    const int hSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (hSocket < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.m_nPort));
    if (inet_pton(AF_INET, options.m_strHost.c_str(), &address.sin_addr) != 1 ||
        connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(hSocket);
        return -1;
    }
    const int one = 1;
    setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return hSocket;
}

// The value of a header in a response head (names compared without case), or "".
std::string HeaderValue(const std::string& head, const char* name) {
    const size_t nameLength = std::strlen(name);
    size_t line = head.find("\r\n");
    while (line != std::string::npos && line + 2 < head.size()) {
        const size_t start = line + 2;
        line = head.find("\r\n", start);
        if (line - start > nameLength && head[start + nameLength] == ':' &&
            strncasecmp(head.c_str() + start, name, nameLength) == 0) {
            size_t value = start + nameLength + 1;
            while (value < line && head[value] == ' ') ++value;
            return head.substr(value, line - value);
        }
    }
    return "";
}

// Takes one whole answer from the front of the input when it is there; false when more bytes
// are needed. A HEAD answer ends with its head whatever length it announces.
bool TakeAnswer(CConnection& connection, bool isHead, SCounts& counts) {
    const size_t end = connection.m_strIn.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    const std::string head = connection.m_strIn.substr(0, end + 2);
    size_t length = end + 4;
    if (!isHead) length += std::strtoul(HeaderValue(head, "content-length").c_str(), nullptr, 10);
    if (connection.m_strIn.size() < length) return false;
    const int status =
        head.size() > 12 && head.compare(0, 5, "HTTP/") == 0 ? std::atoi(head.c_str() + 9) : 0;
    if (status < 200 || status >= 400) ++counts.m_nBadStatus;
    counts.m_nBytes += static_cast<long>(length);
    ++counts.m_nDone;
    connection.m_strIn.erase(0, length);
    connection.m_bWaiting = false;
    return true;
}

// Sends the request on a connection (opening it first when needed); false when it failed.
bool SendRequest(CConnection& connection, const SOptions& options, const std::string& request,
                 SCounts& counts) {
    if (connection.m_hSocket < 0) {
        connection.m_hSocket = Connect(options);
        connection.m_strIn.clear();
        if (connection.m_hSocket < 0) {
            ++counts.m_nConnectErrors;
            return false;
        }
    }
    if (send(connection.m_hSocket, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ++counts.m_nWriteErrors;
        close(connection.m_hSocket);
        connection.m_hSocket = -1;
        return false;
    }
    connection.m_sent = CClock::now();
    connection.m_bWaiting = true;
    return true;
}

// Drops a connection that failed, so the next request opens a new one.
void Drop(CConnection& connection) {
    close(connection.m_hSocket);
    connection.m_hSocket = -1;
    connection.m_bWaiting = false;
}

// Reads what a connection has; false when it ended or failed.
bool Receive(CConnection& connection, SCounts& counts) {
    char buffer[65536];
    const ssize_t got = recv(connection.m_hSocket, buffer, sizeof buffer, 0);
    if (got <= 0) {
        ++counts.m_nReadErrors;
        return false;
    }
    connection.m_strIn.append(buffer, static_cast<size_t>(got));
    return true;
}

void PrintFigures(const SOptions& options, const SCounts& counts, double seconds) {
    std::printf("loadclient %s %s, %d connections\n", options.m_strMethod.c_str(),
                options.m_strPath.c_str(), options.m_nConnections);
    std::printf("  %ld requests in %.2fs, %ld bytes read\n", counts.m_nDone, seconds,
                counts.m_nBytes);
    if (counts.m_nConnectErrors + counts.m_nReadErrors + counts.m_nWriteErrors +
            counts.m_nTimeouts >
        0)
        std::printf("  Socket errors: connect %ld, read %ld, write %ld, timeout %ld\n",
                    counts.m_nConnectErrors, counts.m_nReadErrors, counts.m_nWriteErrors,
                    counts.m_nTimeouts);
    if (counts.m_nBadStatus > 0)
        std::printf("  Non-2xx or 3xx responses: %ld\n", counts.m_nBadStatus);
    std::printf("Requests/sec: %10.2f\n", seconds > 0 ? counts.m_nDone / seconds : 0.0);
    std::printf("Transfer/sec: %10.2fKB\n", seconds > 0 ? counts.m_nBytes / seconds / 1024 : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    SOptions options;
    if (!ParseArguments(argc, argv, options)) return 2;
    const std::string request = options.m_strMethod + " " + options.m_strPath +
                                " HTTP/1.1\r\nHost: " + options.m_strHost + ":" +
                                std::to_string(options.m_nPort) + "\r\n\r\n";
    const bool isHead = options.m_strMethod == "HEAD";
    std::vector<CConnection> connections(static_cast<size_t>(options.m_nConnections));
    SCounts counts;
    const CClock::time_point start = CClock::now();
    const auto timeout = std::chrono::duration<double>(options.m_dTimeout);
    const auto duration = std::chrono::duration<double>(options.m_dSeconds);
    long sent = 0;
    const auto mayStart = [&] {
        return options.m_nRequests > 0 ? sent < options.m_nRequests : true;
    };
    bool running = true;
    while (running) {
        const CClock::time_point now = CClock::now();
        if (options.m_nRequests == 0 && now - start >= duration) break;
        std::vector<pollfd> polls;
        std::vector<size_t> owners;
        for (size_t i = 0; i < connections.size(); ++i) {
            CConnection& connection = connections[i];
            if (connection.m_bWaiting && now - connection.m_sent > timeout) {
                ++counts.m_nTimeouts;
                Drop(connection);
            }
            if (!connection.m_bWaiting && mayStart() &&
                SendRequest(connection, options, request, counts))
                ++sent;
            if (connection.m_bWaiting) {
                polls.push_back(pollfd{connection.m_hSocket, POLLIN, 0});
                owners.push_back(i);
            }
        }
        if (polls.empty()) {
            // Nothing in flight: every request of a fixed count is done, or no connection opens.
            running = mayStart() && counts.m_nConnectErrors < 1000;
            continue;
        }
        if (poll(polls.data(), polls.size(), 100) < 0 && errno != EINTR) break;
        for (size_t k = 0; k < polls.size(); ++k) {
            if (polls[k].revents == 0) continue;
            CConnection& connection = connections[owners[k]];
            if (!Receive(connection, counts)) {
                Drop(connection);
                continue;
            }
            TakeAnswer(connection, isHead, counts);
        }
    }
    const double seconds = std::chrono::duration<double>(CClock::now() - start).count();
    for (CConnection& connection : connections)
        if (connection.m_hSocket >= 0) close(connection.m_hSocket);
    PrintFigures(options, counts, seconds);
    return 0;
}
