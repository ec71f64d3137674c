// A small HTTP/1.1 load client for what wrk cannot do: HEAD requests (wrk waits for the body a
// HEAD answer announces), an exact number of requests, a count of answers per connection (is
// every connection of a crowd served?) and one-shot requests, each on its own connection. One
// thread drives every connection with poll(); connects do not block, so a server that leaves
// some in its backlog stalls none of the others. It prints its figures in wrk's words.
//
//   loadclient [-m GET|HEAD] [-c CONNECTIONS] [-d SECONDS | -n REQUESTS] [-t TIMEOUT] [-o]
//              [-p PAUSE_MS] [-w WARM_UP_SECONDS] http://HOST:PORT/PATH
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using CClock = std::chrono::steady_clock;

struct SOptions {
    std::string m_strMethod = "GET", m_strHost, m_strPath = "/";
    int m_nPort = 80, m_nConnections = 1;
    long m_nRequests = 0;  // when above 0, a fixed count instead of a duration
    double m_dSeconds = 5, m_dTimeout = 5, m_dPauseMs = 0;
    bool m_bOneShot = false;  // a new connection for every request, closed after its answer
    // Up to this long before the measured time, until every connection has had an answer: the
    // connections are made (a burst of connects may wait out dropped handshakes), uncounted.
    double m_dWarmUp = 0;
};

enum EError { kConnect, kRead, kWrite, kTimeout, kErrors };

struct SCounts {
    long m_nDone = 0, m_nBytes = 0, m_nBadStatus = 0;
    long m_errors[kErrors] = {};
    std::vector<double> m_latenciesUs;  // one per answer or timeout, from the request's start
};

// One connection slot: opens a connection when it has none, sends a request, reads its answer,
// and again. Its count of answers survives the connections it goes through.
struct SSlot {
    int m_hSocket = -1;
    std::string m_strIn;
    CClock::time_point m_started, m_nextStart;       // the request's connect or send; the next's
    bool m_bConnecting = false, m_bWaiting = false;  // waiting: a request is in flight
    long m_nAnswers = 0;
};

// Reads the command line and "http://HOST[:PORT][/PATH]"; false when it is wrong.
bool ParseArguments(int argc, char** argv, SOptions& o) {
    for (int option; (option = getopt(argc, argv, "om:c:n:d:t:p:w:")) != -1;) {
        if (option == 'o')
            o.m_bOneShot = true;
        else if (option == 'm')
            o.m_strMethod = optarg;
        else if (option == 'c')
            o.m_nConnections = std::atoi(optarg);
        else if (option == 'n')
            o.m_nRequests = std::atol(optarg);
        else if (option == 'd')
            o.m_dSeconds = std::atof(optarg);
        else if (option == 't')
            o.m_dTimeout = std::atof(optarg);
        else if (option == 'p')
            o.m_dPauseMs = std::atof(optarg);
        else if (option == 'w')
            o.m_dWarmUp = std::atof(optarg);
        else
            return false;
    }
    const std::string url = optind == argc - 1 ? argv[optind] : "";
    if (url.compare(0, 7, "http://") != 0) return false;
    const size_t slash = url.find('/', 7), colon = url.find(':', 7);
    o.m_strPath = slash == std::string::npos ? "/" : url.substr(slash);
    o.m_strHost = url.substr(7, std::min(slash, colon) - 7);
    if (colon < slash) o.m_nPort = std::atoi(url.c_str() + colon + 1);
    return !o.m_strHost.empty() && o.m_nPort > 0 && o.m_nPort < 65536 && o.m_nConnections > 0 &&
           o.m_dSeconds > 0 && o.m_dTimeout > 0 && o.m_dPauseMs >= 0;
}

// Drops a slot's connection, so that its next request opens a new one.
void Drop(SSlot& slot) {
    if (slot.m_hSocket >= 0) close(slot.m_hSocket);
    slot.m_hSocket = -1;
    slot.m_bWaiting = slot.m_bConnecting = false;
}

// Sends the request on the slot's open connection; false (the connection dropped) when it failed.
bool Send(SSlot& slot, const std::string& request, SCounts& counts) {
    if (send(slot.m_hSocket, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size()))
        return true;
    ++counts.m_errors[kWrite];
    Drop(slot);
    return false;
}

// Starts a request on a slot, first opening a connection (without Nagle's delay, without
// blocking) when it has none; false when that failed at once.
bool StartRequest(SSlot& slot, const SOptions& o, const std::string& request,
                  CClock::time_point now, SCounts& counts) {
    slot.m_started = now;
    slot.m_bWaiting = true;
    if (slot.m_hSocket >= 0) return Send(slot, request, counts);
    slot.m_strIn.clear();
    slot.m_hSocket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int one = 1;
    setsockopt(slot.m_hSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(o.m_nPort));
    const bool valid = inet_pton(AF_INET, o.m_strHost.c_str(), &address.sin_addr) == 1;
    const int done =
        valid ? connect(slot.m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) : -1;
    slot.m_bConnecting = valid && done != 0 && errno == EINPROGRESS;
    if (done == 0) return Send(slot, request, counts);
    if (slot.m_bConnecting) return true;
    ++counts.m_errors[kConnect];
    Drop(slot);
    return false;
}

// Finishes a connect that poll() reported; false (the connection dropped) when it failed.
bool FinishConnect(SSlot& slot, const std::string& request, SCounts& counts) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(slot.m_hSocket, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error) {
        ++counts.m_errors[kConnect];
        Drop(slot);
        return false;
    }
    slot.m_bConnecting = false;
    return Send(slot, request, counts);
}

// Takes one whole answer from the front of the slot's input when it is there. A HEAD answer
// ends with its head, whatever length it announces.
bool TakeAnswer(SSlot& slot, bool isHead, CClock::time_point now, SCounts& counts) {
    const size_t end = slot.m_strIn.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t length = end + 4;
    for (size_t line = slot.m_strIn.find("\r\n"); !isHead && line < end;
         line = slot.m_strIn.find("\r\n", line + 2))
        if (strncasecmp(slot.m_strIn.c_str() + line + 2, "content-length:", 15) == 0)
            length += std::strtoul(slot.m_strIn.c_str() + line + 17, nullptr, 10);
    if (slot.m_strIn.size() < length) return false;
    const int status = slot.m_strIn.compare(0, 5, "HTTP/") == 0 && end > 12
                           ? std::atoi(slot.m_strIn.c_str() + 9)
                           : 0;
    if (status < 200 || status >= 400) ++counts.m_nBadStatus;
    counts.m_nBytes += static_cast<long>(length);
    ++counts.m_nDone;
    ++slot.m_nAnswers;
    counts.m_latenciesUs.push_back(
        std::chrono::duration<double, std::micro>(now - slot.m_started).count());
    slot.m_strIn.erase(0, length);
    slot.m_bWaiting = false;
    return true;
}

// Reads what the slot's connection has; false when it ended or failed.
bool Receive(SSlot& slot, SCounts& counts) {
    char buffer[65536];
    const ssize_t got = recv(slot.m_hSocket, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (got <= 0) {
        ++counts.m_errors[kRead];
        return false;
    }
    slot.m_strIn.append(buffer, static_cast<size_t>(got));
    return true;
}

// Prints the figures in wrk's words: p50 and p99 (nearest rank), counts, errors, the rate.
void PrintFigures(const SOptions& o, SCounts& counts, const std::vector<SSlot>& slots,
                  double seconds) {
    std::printf("loadclient %s %s, %d connections%s\n", o.m_strMethod.c_str(), o.m_strPath.c_str(),
                o.m_nConnections, o.m_bOneShot ? ", one request each" : "");
    std::vector<double>& latencies = counts.m_latenciesUs;
    std::sort(latencies.begin(), latencies.end());
    if (!latencies.empty()) std::printf("  Latency Distribution\n");
    for (const size_t percent : {50, 99}) {
        if (latencies.empty()) break;
        std::printf("     %zu%%   %.2fus\n", percent,
                    latencies[std::max<size_t>((latencies.size() * percent + 99) / 100, 1) - 1]);
    }
    std::printf("  %ld requests in %.2fs, %ld bytes read\n", counts.m_nDone, seconds,
                counts.m_nBytes);
    long least = slots.front().m_nAnswers, most = 0, total = 0;
    for (const SSlot& slot : slots) {
        least = std::min(least, slot.m_nAnswers);
        most = std::max(most, slot.m_nAnswers);
        total += slot.m_nAnswers;
    }
    std::printf("  Answers per connection: min %ld, mean %.2f, max %ld\n", least,
                static_cast<double>(total) / slots.size(), most);
    const long* e = counts.m_errors;
    if (e[kConnect] + e[kRead] + e[kWrite] + e[kTimeout] > 0)
        std::printf("  Socket errors: connect %ld, read %ld, write %ld, timeout %ld\n", e[kConnect],
                    e[kRead], e[kWrite], e[kTimeout]);
    if (counts.m_nBadStatus > 0)
        std::printf("  Non-2xx or 3xx responses: %ld\n", counts.m_nBadStatus);
    std::printf("Requests/sec: %10.2f\n", seconds > 0 ? counts.m_nDone / seconds : 0.0);
}

}  // namespace

// Runs the load the command line asks for and prints its figures; 2 when the line is wrong.
int main(int argc, char** argv) {
    SOptions o;
    if (!ParseArguments(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: loadclient [OPTIONS] http://HOST:PORT/PATH (see loadclient.cpp)\n");
        return 2;
    }
    const std::string request = o.m_strMethod + " " + o.m_strPath +
                                " HTTP/1.1\r\nHost: " + o.m_strHost + ":" +
                                std::to_string(o.m_nPort) + "\r\n\r\n";
    std::vector<SSlot> slots(static_cast<size_t>(o.m_nConnections));
    SCounts counts;
    CClock::time_point start = CClock::now();
    bool warmingUp = o.m_dWarmUp > 0, ending = false;  // ending: no new request starts
    const auto seconds = [](double s) { return std::chrono::duration<double>(s); };
    const auto pause = std::chrono::duration_cast<CClock::duration>(seconds(o.m_dPauseMs / 1e3));
    for (SSlot& slot : slots) slot.m_nextStart = start;
    long sent = 0;
    const auto mayStart = [&] { return !ending && (o.m_nRequests == 0 || sent < o.m_nRequests); };
    while (true) {
        const CClock::time_point now = CClock::now();
        if (warmingUp) {
            if (now - start >= seconds(o.m_dWarmUp) ||
                std::all_of(slots.begin(), slots.end(),
                            [](const SSlot& s) { return s.m_nAnswers; })) {
                // The measured time starts here, with the connections as they are.
                warmingUp = false;
                start = now;
                counts = SCounts();
                for (SSlot& slot : slots) slot.m_nAnswers = 0;
            }
        } else if (o.m_nRequests == 0 && now - start >= seconds(o.m_dSeconds)) {
            // Kept-alive loads stop at once as wrk does; a one-shot request in flight is seen
            // to its end (or its timeout), since a slow answer is what it measures.
            if (!o.m_bOneShot) break;
            ending = true;
        }
        std::vector<pollfd> polls;
        std::vector<SSlot*> owners;
        CClock::time_point wake = now + std::chrono::milliseconds(100);
        bool resting = false;  // some slot waits out its pause before its next request
        for (SSlot& slot : slots) {
            if (slot.m_bWaiting && now - slot.m_started > seconds(o.m_dTimeout)) {
                ++counts.m_errors[kTimeout];
                counts.m_latenciesUs.push_back(
                    std::chrono::duration<double, std::micro>(now - slot.m_started).count());
                Drop(slot);
                slot.m_nextStart = now + pause;
            }
            if (!slot.m_bWaiting && mayStart()) {
                if (now < slot.m_nextStart) {
                    wake = std::min(wake, slot.m_nextStart);
                    resting = true;
                } else if (StartRequest(slot, o, request, now, counts)) {
                    ++sent;
                }
            }
            if (slot.m_bWaiting) {
                const short events = slot.m_bConnecting ? POLLOUT : POLLIN;
                polls.push_back({slot.m_hSocket, events, 0});
                owners.push_back(&slot);
            }
        }
        // Nothing in flight and every request done; or a server that refuses every connection.
        if ((polls.empty() && !resting && !mayStart()) || counts.m_errors[kConnect] >= 1000) break;
        if (polls.empty() && !resting) continue;
        // Rounded up, so that a pause ending within the millisecond is not polled for in a spin.
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
            wake - now + std::chrono::microseconds(999));
        if (poll(polls.data(), polls.size(), std::max<int>(waitMs.count(), 0)) < 0 &&
            errno != EINTR)
            break;
        const CClock::time_point ready = CClock::now();
        for (size_t k = 0; k < polls.size(); ++k) {
            SSlot& slot = *owners[k];
            if (polls[k].revents == 0) continue;
            if (slot.m_bConnecting) {
                sent -= !FinishConnect(slot, request, counts);
            } else if (!Receive(slot, counts)) {
                Drop(slot);
            } else if (TakeAnswer(slot, o.m_strMethod == "HEAD", ready, counts)) {
                if (o.m_bOneShot) Drop(slot);
                slot.m_nextStart = ready + pause;
            }
        }
    }
    const double elapsed = std::chrono::duration<double>(CClock::now() - start).count();
    for (SSlot& slot : slots) Drop(slot);
    PrintFigures(o, counts, slots, elapsed);
    return 0;
}
