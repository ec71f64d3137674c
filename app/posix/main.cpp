// The terminal front end: serves a document root over HTTP and uses standard output as
// its log console. Signals stand in for the window: SIGINT, SIGTERM and SIGHUP close it,
// SIGUSR1 shows the About text.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/server_session.h"
#include "foundation/critical_section.h"
#include "foundation/log.h"
#include "foundation/network.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr long kSignalWaitMs = 100;
constexpr size_t kMaxRootLength = sizeof(g_szWebRoot) / sizeof(g_szWebRoot[0]) - 1;

const char kVersionText[] = "KOVWebServer v1.0";
const char kUsageText[] =
    "Usage: kovweb [-p|--port N] [-b|--bind ADDRESS] [-q|--quiet] [--no-listing] [DOCROOT]\n"
    "Serves the files below DOCROOT (default: the current directory) over HTTP/1.1; a folder\n"
    "without an index.html is answered with a listing of what it holds.\n"
    "\n"
    "  -p, --port N          listen on TCP port N, 1 to 65535 (default 80)\n"
    "  -b, --bind ADDRESS    take clients at ADDRESS only: an IPv4 or IPv6 address of this\n"
    "                        computer, or localhost for this computer only (default: every\n"
    "                        address, so other machines on the network can connect)\n"
    "  -q, --quiet           write no line per request (by default each answered request is\n"
    "                        a Common Log Format line on standard output)\n"
    "      --no-listing      answer a folder without an index.html 404 instead of listing it\n"
    "      --help            show this text and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "The log is written to standard output: the start-up lines, then one line per answered\n"
    "request in the Common Log Format (client address, local time, request line, status,\n"
    "body bytes). SIGINT, SIGTERM and SIGHUP stop the server; SIGUSR1 writes the number of\n"
    "requests served so far.\n";

struct CCommandLine {
    unsigned short m_nPort = kHttpPort;
    CListenAddress m_address;
    std::string m_root;
    bool m_bHaveRoot = false;
    bool m_bHelp = false;
    bool m_bVersion = false;
    bool m_bQuiet = false;
    bool m_bNoListing = false;
    std::string m_error;  // what was not understood, as one line for standard error
};

// Whether the log's last message ended its line; under g_logLock.
bool g_bLogAtLineStart = true;

// Writes all of text to fd, going on after interruptions; gives up on any other error.
void WriteWhole(int fd, const char* pText, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, pText, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        pText += written;
        length -= static_cast<size_t>(written);
    }
}

// Wide text as the terminal's bytes, one per character ('?' for what a byte cannot hold).
std::string Narrow(const wchar_t* pszText, size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        wchar_t ch = pszText[i];
        bytes[i] = (ch >= 0 && ch <= 0xFF) ? static_cast<char>(ch) : '?';
    }
    return bytes;
}

std::string Narrow(const std::wstring& text) {
    return Narrow(text.data(), text.size());
}

std::wstring Widen(const char* pszText) {
    std::wstring text;
    for (const char* p = pszText; *p != '\0'; ++p) text += static_cast<unsigned char>(*p);
    return text;
}

// The log sink: one write per message, so a message is never split by buffering and the
// order on the terminal is the order in which the log lock was taken. It notes whether the
// line is open, so that the front end's own lines start on a line of their own.
void WriteLogToStdout(const wchar_t* pszText, size_t length) {
    const std::string bytes = Narrow(pszText, length);
    WriteWhole(STDOUT_FILENO, bytes.data(), bytes.size());
    if (!bytes.empty()) g_bLogAtLineStart = bytes.back() == '\n';
}

// How much of the n bytes at p to write at once, at most cap: up to the last line end
// within cap, or cap when a line is longer.
size_t WholeLinesPiece(const char* p, size_t n, size_t cap) {
    if (n <= cap) return n;
    for (size_t at = cap; at > 0; --at) {
        if (p[at - 1] == '\n') return at;
    }
    return cap;
}

// The request log's sink, on the writer's thread: writes the batch to standard output
// without ever setting it non-blocking (the shell shares it). A pipe or terminal gets
// pieces of at most PIPE_BUF bytes once it has room, so a reader that stops reading holds
// the writer in poll, from which a stop frees it; a file takes the batch whole. Each piece
// goes out under the log lock and ends a line, so that no message lands inside one.
bool WriteRequestLinesToStdout(const char* pLines, size_t length, const CEvent& stop) {
    struct stat info;
    const bool bFile = fstat(STDOUT_FILENO, &info) == 0 && S_ISREG(info.st_mode);
    while (length > 0) {
        pollfd out = {STDOUT_FILENO, POLLOUT, 0};
        const int ready = poll(&out, 1, static_cast<int>(kSignalWaitMs));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) {
            if (stop.IsSet()) return false;
            continue;
        }
        if ((out.revents & (POLLERR | POLLNVAL)) != 0) return false;
        const size_t piece = bFile ? length : WholeLinesPiece(pLines, length, PIPE_BUF);
        CCriticalLock lock(&g_logLock);
        if (!g_bLogAtLineStart) WriteWhole(STDOUT_FILENO, "\n", 1);
        g_bLogAtLineStart = true;
        const ssize_t written = write(STDOUT_FILENO, pLines, piece);
        if (written < 0 && errno != EINTR) return false;
        if (written > 0) {
            pLines += written;
            length -= static_cast<size_t>(written);
            g_bLogAtLineStart = pLines[-1] == '\n';
        }
    }
    return true;
}

// Writes text of the front end's own to standard output on a line of its own, however the
// log's last message ended.
void WriteOwnLine(const std::string& text) {
    CCriticalLock lock(&g_logLock);
    if (!g_bLogAtLineStart) WriteWhole(STDOUT_FILENO, "\n", 1);
    WriteWhole(STDOUT_FILENO, text.data(), text.size());
    g_bLogAtLineStart = !text.empty() && text.back() == '\n';
}

// Takes the port option's value, or says what is wrong with it.
bool TakePort(const char* pszValue, CCommandLine& line) {
    const std::wstring value = Widen(pszValue);
    if (ParsePort(value.c_str(), line.m_nPort)) return true;
    line.m_error = Narrow(BadPortText(value));
    return false;
}

// Takes the bind option's value, or says what is wrong with it.
bool TakeBind(const char* pszValue, CCommandLine& line) {
    const std::wstring value = Widen(pszValue);
    if (ParseBindAddress(value.c_str(), line.m_address)) return true;
    line.m_error = Narrow(BadBindText(value));
    return false;
}

// Takes the value that follows option, with take; false when there is none or it is wrong.
bool TakeNextValue(int argc, char** argv, int& i, CCommandLine& line,
                   bool (*pfnTake)(const char*, CCommandLine&)) {
    if (i + 1 >= argc) {
        line.m_error = Narrow(MissingValueText(Widen(argv[i])));
        return false;
    }
    ++i;
    return pfnTake(argv[i], line);
}

// Takes DOCROOT; a second one is an error.
bool TakeRoot(const char* pszArg, CCommandLine& line) {
    if (line.m_bHaveRoot) {
        line.m_error = "only one document root may be given";
        return false;
    }
    line.m_root = pszArg;
    line.m_bHaveRoot = true;
    return true;
}

// Fills line from argv; false, with line.m_error saying why, on anything not understood.
bool ParseCommandLine(int argc, char** argv, CCommandLine& line) {
    bool bOptionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const char* pszArg = argv[i];
        if (bOptionsEnded || pszArg[0] != '-' || pszArg[1] == '\0') {
            if (!TakeRoot(pszArg, line)) return false;
        } else if (strcmp(pszArg, "--") == 0) {
            bOptionsEnded = true;
        } else if (strcmp(pszArg, "--help") == 0) {
            line.m_bHelp = true;
        } else if (strcmp(pszArg, "--version") == 0) {
            line.m_bVersion = true;
        } else if (strcmp(pszArg, "-q") == 0 || strcmp(pszArg, "--quiet") == 0) {
            line.m_bQuiet = true;
        } else if (strcmp(pszArg, "--no-listing") == 0) {
            line.m_bNoListing = true;
        } else if (strcmp(pszArg, "-p") == 0 || strcmp(pszArg, "--port") == 0) {
            if (!TakeNextValue(argc, argv, i, line, TakePort)) return false;
        } else if (strncmp(pszArg, "--port=", 7) == 0) {
            if (!TakePort(pszArg + 7, line)) return false;
        } else if (strcmp(pszArg, "-b") == 0 || strcmp(pszArg, "--bind") == 0) {
            if (!TakeNextValue(argc, argv, i, line, TakeBind)) return false;
        } else if (strncmp(pszArg, "--bind=", 7) == 0) {
            if (!TakeBind(pszArg + 7, line)) return false;
        } else {
            line.m_error = Narrow(UnknownOptionText(Widen(pszArg)));
            return false;
        }
    }
    return true;
}

// Writes "kovweb: " and message as one line on standard error.
void ShowError(const std::string& message) {
    const std::string text = "kovweb: " + message + "\n";
    WriteWhole(STDERR_FILENO, text.data(), text.size());
}

// The folder that root names, with every link resolved; empty, and the reason told on
// standard error, when it is no folder that can be served.
std::string ResolveServedFolder(const std::string& root) {
    const std::string path = root.empty() ? "." : root;
    struct stat info;
    const char* pszWhy = nullptr;
    if (stat(path.c_str(), &info) != 0) {
        pszWhy = (errno == ENOENT || errno == ENOTDIR) ? "no such folder" : strerror(errno);
    } else if (!S_ISDIR(info.st_mode)) {
        pszWhy = "not a folder";
    }
    char* pszReal = pszWhy == nullptr ? realpath(path.c_str(), nullptr) : nullptr;
    if (pszWhy == nullptr && pszReal == nullptr) pszWhy = strerror(errno);
    if (pszWhy != nullptr) {
        ShowError("cannot serve '" + path + "': " + pszWhy);
        return std::string();
    }
    std::string real(pszReal);
    free(pszReal);
    return real;
}

// Says on standard error why the port could not be listened on at address, from the host's
// error code.
void ExplainListenFailure(unsigned short port, const CListenAddress& address, int error) {
    const std::string portText = std::to_string(port);
    if (IsAddressNotLocal(error) && address.m_kind != CListenAddress::Kind::kEvery) {
        ShowError(Narrow(NotLocalAddressText(address)));
    } else if (error == EADDRINUSE) {
        ShowError("port " + portText + " is already in use");
    } else if (error == EACCES || error == EPERM) {
        ShowError("port " + portText + " needs administrator rights here; try --port 8080");
    } else if (error != 0) {
        ShowError("cannot listen on port " + portText + ": " + strerror(error));
    }
}

// Puts root into g_szWebRoot byte for character, with a final '/' so that targets can be
// joined to it directly. An empty root means the current directory. False when too long.
bool SetWebRoot(std::string root) {
    if (root.empty()) root = "./";
    if (root.back() != '/') root += '/';
    if (root.size() > kMaxRootLength) return false;
    for (size_t i = 0; i < root.size(); ++i) {
        g_szWebRoot[i] = static_cast<wchar_t>(static_cast<unsigned char>(root[i]));
    }
    g_szWebRoot[root.size()] = L'\0';
    return true;
}

// The signals the main thread takes with sigtimedwait; blocked in every thread.
sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

// Blocks the control signals before any thread exists, so that every thread inherits the
// mask and only the main thread's sigtimedwait ever receives them.
void BlockControlSignals() {
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that goes away mid-send must cost a failed send, not the process.
    signal(SIGPIPE, SIG_IGN);
}

// The About box: the version and the request count of this moment, as one message that
// starts on a line of its own.
void ShowAbout() {
    WriteOwnLine("KOVWebServer v1.0\r\nRequests: " +
                 std::to_string(g_nRequests.load(std::memory_order_relaxed)) + "\r\n");
}

// Says where the folder is served: on this machine, then at the addresses other machines
// may use when it listens on every address.
void AnnounceServing(const std::string& folder, unsigned short port,
                     const CListenAddress& address) {
    const bool bThisComputerOnly = IsLoopbackOnly(address);
    std::string text =
        "Serving " + folder + " on " + Narrow(LocalHttpAddress(address, port)) +
        (bThisComputerOnly ? " (this computer only; Ctrl+C stops)\n" : " (Ctrl+C stops)\n");
    if (address.m_kind == CListenAddress::Kind::kEvery) {
        const std::wstring network = NetworkAddressesLine(GetNetworkAddresses(), port);
        if (!network.empty()) text += Narrow(network) + "\n";
    }
    WriteOwnLine(text);
}

// The message loop's stand-in: waits for control signals until one ends the program, or
// until the listener has failed; once it listens, says where the folder is served. Returns
// the exit code.
int RunUntilStopped(const std::string& folder) {
    sigset_t set = ControlSignals();
    timespec wait = {0, kSignalWaitMs * 1000000L};
    bool bAnnounced = false;
    const CListenStatus& status = g_pListenThread->GetStatus();
    for (;;) {
        int signo = sigtimedwait(&set, nullptr, &wait);
        if (signo == SIGUSR1) {
            ShowAbout();
        } else if (signo == SIGINT || signo == SIGTERM || signo == SIGHUP) {
            return kExitOk;
        }
        const ListenState state = status.GetState();
        if (state == ListenState::kFailed) return kExitFailed;
        if (!bAnnounced && state == ListenState::kListening) {
            AnnounceServing(folder, status.GetPort(), g_pListenThread->GetListenAddress());
            // Request lines follow the serving lines, never come before them.
            SetRequestLogSink(WriteRequestLinesToStdout);
            bAnnounced = true;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    CCommandLine line;
    if (!ParseCommandLine(argc, argv, line)) {
        ShowError(line.m_error);
        fputs(kUsageText, stderr);
        return kExitUsage;
    }
    if (line.m_bHelp) {
        fputs(kUsageText, stdout);
        return kExitOk;
    }
    if (line.m_bVersion) {
        printf("%s\n", kVersionText);
        return kExitOk;
    }

    SetLogSink(WriteLogToStdout);
    if (!SetWebRoot(line.m_root)) {
        Log(L"Document root too long\r\n");
        return kExitFailed;
    }
    const std::string folder = ResolveServedFolder(line.m_root);
    if (folder.empty()) return kExitFailed;

    BlockControlSignals();
    g_bLogRequests = !line.m_bQuiet;
    g_bListFolders = !line.m_bNoListing;
    int exitCode = kExitFailed;
    int listenError = 0;
    if (StartServer(g_szWebRoot, line.m_nPort, line.m_address, nullptr, nullptr)) {
        exitCode = RunUntilStopped(folder);
        listenError = g_pListenThread->GetStatus().GetError();
    }
    StopServer();
    SetRequestLogSink(nullptr);
    SetLogSink(nullptr);
    if (exitCode == kExitFailed) ExplainListenFailure(line.m_nPort, line.m_address, listenError);
    return exitCode;
}
