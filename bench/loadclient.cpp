// A small HTTP/1.1 load client for the benchmark, for what wrk cannot do: HEAD requests (wrk
// waits for the body that a HEAD answer announces but never sends), an exact number of requests,
// a count of answers per connection (is every connection of a crowd served?), and one-shot
// requests that each open and close their own connection. One thread drives every connection
// with poll(); connections open without blocking, so a server that leaves them in its backlog
// stalls none of the others. It prints its figures in wrk's words, so the same parser reads both.
//
//   loadclient [-m GET|HEAD] [-c CONNECTIONS] [-d SECONDS | -n REQUESTS] [-t TIMEOUT]
//              [-o] [-p PAUSE_MS] URL
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    bool m_bOneShot = false;  // a new connection for every request, closed after its answer
    double m_dPauseMs = 0;    // how long a connection rests after an answer before its next request
    // Up to this long before the measured time, until every connection has had an answer:
    // the connections are made (a burst of connects may wait out dropped handshakes) and
    // nothing of it is counted.
    double m_dWarmUp = 0;
};

struct SCounts {
    long m_nDone = 0;
    long m_nBytes = 0;
    long m_nConnectErrors = 0;
    long m_nReadErrors = 0;
    long m_nWriteErrors = 0;
    long m_nTimeouts = 0;
    long m_nBadStatus = 0;
    std::vector<double> m_latenciesUs;  // one per answer or timeout, from the request's start
};

// One connection slot: opens a connection when it has none, sends a request, reads its answer,
// and again. Its count of answers survives the connections it goes through.
class CConnection {
public:
    int m_hSocket = -1;
    std::string m_strIn;
    CClock::time_point m_started;  // when the request began: its connect, or else its send
    CClock::time_point m_nextStart;
    bool m_bConnecting = false;
    bool m_bWaiting = false;  // a request is in flight (connecting or waiting for its answer)
    long m_nAnswers = 0;
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
        else if (arg == "-o")
            options.m_bOneShot = true;
        else if (arg == "-p" && hasValue)
            options.m_dPauseMs = std::atof(argv[++i]);
        else if (arg == "-w" && hasValue)
            options.m_dWarmUp = std::atof(argv[++i]);
        else if (i == argc - 1 && ParseUrl(arg, options))
            return options.m_nConnections > 0 && options.m_dSeconds > 0 && options.m_dTimeout > 0 &&
                   options.m_dPauseMs >= 0;
        else
            break;
    }
    std::fprintf(stderr,
                 "usage: loadclient [-m GET|HEAD] [-c CONNECTIONS] [-d SECONDS | -n REQUESTS] "
                 "[-t TIMEOUT] [-o] [-p PAUSE_MS] [-w WARM_UP_SECONDS] http://HOST:PORT/PATH\n");
    return false;
}

// Starts opening a non-blocking connection without Nagle's delay; -1 when it cannot.
// `pending` tells whether the connect is still under way.
int StartConnect(const SOptions& options, bool& pending) {
    const int hSocket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (hSocket < 0) return -1;
    const int one = 1;
    setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.m_nPort));
    if (inet_pton(AF_INET, options.m_strHost.c_str(), &address.sin_addr) != 1) {
        close(hSocket);
        return -1;
    }
    pending = false;
    if (connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return hSocket;
    if (errno == EINPROGRESS) {
        pending = true;
        return hSocket;
    }
    close(hSocket);
    return -1;
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
bool TakeAnswer(CConnection& connection, bool isHead, CClock::time_point now, SCounts& counts) {
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
    ++connection.m_nAnswers;
    counts.m_latenciesUs.push_back(
        std::chrono::duration<double, std::micro>(now - connection.m_started).count());
    connection.m_strIn.erase(0, length);
    connection.m_bWaiting = false;
    return true;
}

// Drops a connection that failed or is done, so the next request opens a new one.
void Drop(CConnection& connection) {
    if (connection.m_hSocket >= 0) close(connection.m_hSocket);
    connection.m_hSocket = -1;
    connection.m_bWaiting = false;
    connection.m_bConnecting = false;
}

// Sends the request on an open connection; false (the connection dropped) when it failed.
bool Send(CConnection& connection, const std::string& request, SCounts& counts) {
    if (send(connection.m_hSocket, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ++counts.m_nWriteErrors;
        Drop(connection);
        return false;
    }
    return true;
}

// Starts a request on a connection slot, opening a connection first when it has none; false
// when it failed at once.
bool StartRequest(CConnection& connection, const SOptions& options, const std::string& request,
                  CClock::time_point now, SCounts& counts) {
    connection.m_started = now;
    connection.m_bWaiting = true;
    if (connection.m_hSocket < 0) {
        connection.m_strIn.clear();
        connection.m_hSocket = StartConnect(options, connection.m_bConnecting);
        if (connection.m_hSocket < 0) {
            ++counts.m_nConnectErrors;
            connection.m_bWaiting = false;
            return false;
        }
        if (connection.m_bConnecting) return true;
    }
    return Send(connection, request, counts);
}

// Finishes a connect that poll() reported; false (the connection dropped) when it failed.
bool FinishConnect(CConnection& connection, const std::string& request, SCounts& counts) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(connection.m_hSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error) {
        ++counts.m_nConnectErrors;
        Drop(connection);
        return false;
    }
    connection.m_bConnecting = false;
    return Send(connection, request, counts);
}

// Reads what a connection has; false when it ended or failed.
bool Receive(CConnection& connection, SCounts& counts) {
    char buffer[65536];
    const ssize_t got = recv(connection.m_hSocket, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) {
        ++counts.m_nReadErrors;
        return false;
    }
    connection.m_strIn.append(buffer, static_cast<size_t>(got));
    return true;
}

// Prints a time in microseconds as wrk does, with its unit.
void PrintTime(double us) {
    if (us < 1000)
        std::printf("%.2fus", us);
    else if (us < 1e6)
        std::printf("%.2fms", us / 1e3);
    else
        std::printf("%.2fs", us / 1e6);
}

// Prints the percentiles of the request times (nearest rank) as wrk --latency does.
void PrintLatencies(std::vector<double> latencies) {
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    std::printf("  Latency Distribution\n");
    for (const int percent : {50, 75, 90, 99}) {
        size_t rank = (latencies.size() * static_cast<size_t>(percent) + 99) / 100;
        std::printf("     %d%%   ", percent);
        PrintTime(latencies[std::max<size_t>(rank, 1) - 1]);
        std::printf("\n");
    }
}

// Prints how the answers spread over the connection slots.
void PrintSpread(const std::vector<CConnection>& connections) {
    long least = connections.front().m_nAnswers, most = 0, total = 0;
    int unserved = 0;
    for (const CConnection& connection : connections) {
        least = std::min(least, connection.m_nAnswers);
        most = std::max(most, connection.m_nAnswers);
        total += connection.m_nAnswers;
        if (connection.m_nAnswers == 0) ++unserved;
    }
    std::printf("  Answers per connection: min %ld, mean %.2f, max %ld, unserved %d of %zu\n",
                least, static_cast<double>(total) / connections.size(), most, unserved,
                connections.size());
}

void PrintFigures(const SOptions& options, const SCounts& counts,
                  const std::vector<CConnection>& connections, double seconds) {
    std::printf("loadclient %s %s, %d connections%s\n", options.m_strMethod.c_str(),
                options.m_strPath.c_str(), options.m_nConnections,
                options.m_bOneShot ? ", one request each" : "");
    PrintLatencies(counts.m_latenciesUs);
    std::printf("  %ld requests in %.2fs, %ld bytes read\n", counts.m_nDone, seconds,
                counts.m_nBytes);
    PrintSpread(connections);
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
    CClock::time_point start = CClock::now();
    const auto warmUp = std::chrono::duration<double>(options.m_dWarmUp);
    bool warmingUp = options.m_dWarmUp > 0;
    const auto timeout = std::chrono::duration<double>(options.m_dTimeout);
    const auto duration = std::chrono::duration<double>(options.m_dSeconds);
    const auto pause = std::chrono::duration_cast<CClock::duration>(
        std::chrono::duration<double, std::milli>(options.m_dPauseMs));
    for (CConnection& connection : connections) connection.m_nextStart = start;
    long sent = 0;
    bool ending = false;  // the time is up: no new request starts
    const auto mayStart = [&] {
        return !ending && (options.m_nRequests > 0 ? sent < options.m_nRequests : true);
    };
    while (true) {
        const CClock::time_point now = CClock::now();
        if (warmingUp) {
            const bool allServed = std::all_of(
                connections.begin(), connections.end(),
                [](const CConnection& connection) { return connection.m_nAnswers > 0; });
            if (allServed || now - start >= warmUp) {
                // The measured time starts here, with the connections as they are.
                warmingUp = false;
                start = now;
                counts = SCounts();
                for (CConnection& connection : connections) connection.m_nAnswers = 0;
            }
        } else if (options.m_nRequests == 0 && now - start >= duration) {
            // Kept-alive loads stop at once as wrk does; a one-shot request in flight is seen
            // to its end (or its timeout), since a slow answer is what it measures.
            if (!options.m_bOneShot) break;
            ending = true;
        }
        std::vector<pollfd> polls;
        std::vector<size_t> owners;
        CClock::time_point wake = now + std::chrono::milliseconds(100);
        bool resting = false;  // some connection waits out its pause before its next request
        for (size_t i = 0; i < connections.size(); ++i) {
            CConnection& connection = connections[i];
            if (connection.m_bWaiting && now - connection.m_started > timeout) {
                ++counts.m_nTimeouts;
                counts.m_latenciesUs.push_back(
                    std::chrono::duration<double, std::micro>(now - connection.m_started).count());
                Drop(connection);
                connection.m_nextStart = now + pause;
            }
            if (!connection.m_bWaiting && mayStart()) {
                if (now < connection.m_nextStart) {
                    wake = std::min(wake, connection.m_nextStart);
                    resting = true;
                } else if (StartRequest(connection, options, request, now, counts))
                    ++sent;
            }
            if (connection.m_bWaiting) {
                polls.push_back(
                    pollfd{connection.m_hSocket,
                           static_cast<short>(connection.m_bConnecting ? POLLOUT : POLLIN), 0});
                owners.push_back(i);
            }
        }
        if (polls.empty() && !resting) {
            // Nothing in flight: every request is done, or no connection opens.
            if (!mayStart() || counts.m_nConnectErrors >= 1000) break;
            continue;
        }
        // Rounded up, so a pause that ends within the millisecond is not polled for in a spin.
        const int waitMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                wake - now + std::chrono::microseconds(999))
                                                .count());
        if (poll(polls.data(), polls.size(), std::max(waitMs, 0)) < 0 && errno != EINTR) break;
        const CClock::time_point ready = CClock::now();
        for (size_t k = 0; k < polls.size(); ++k) {
            if (polls[k].revents == 0) continue;
            CConnection& connection = connections[owners[k]];
            if (connection.m_bConnecting) {
                if (!FinishConnect(connection, request, counts)) --sent;
                continue;
            }
            if (!Receive(connection, counts)) {
                Drop(connection);
                continue;
            }
            if (TakeAnswer(connection, isHead, ready, counts)) {
                if (options.m_bOneShot) Drop(connection);
                connection.m_nextStart = ready + pause;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(CClock::now() - start).count();
    for (CConnection& connection : connections)
        if (connection.m_hSocket >= 0) close(connection.m_hSocket);
    PrintFigures(options, counts, connections, seconds);
    return 0;
}
