// The terminal front end: serves a document root over HTTP and uses standard output as
// its log console. Signals stand in for the window: SIGINT, SIGTERM and SIGHUP close it,
// SIGUSR1 shows the About text.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/critical_section.h"
#include "foundation/log.h"
#include "server/http_thread.h"
#include "server/listen_thread.h"

// The listener, created once the log is ready and deleted after its Stop.
CListenThread* g_pListenThread = nullptr;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr long kSignalWaitMs = 100;
constexpr size_t kMaxRootLength = sizeof(g_szWebRoot) / sizeof(g_szWebRoot[0]) - 1;

const char kVersionText[] = "KOVWebServer v1.0";
const char kUsageText[] =
    "Usage: kovweb [-p|--port N] [DOCROOT]\n"
    "Serves the files below DOCROOT (default: the current directory) over HTTP/1.1.\n"
    "\n"
    "  -p, --port N   listen on TCP port N, 1 to 65535 (default 80)\n"
    "      --help     show this text and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "The log is written to standard output. SIGINT, SIGTERM and SIGHUP stop the server;\n"
    "SIGUSR1 writes the number of requests served so far.\n";

struct CCommandLine {
    unsigned short m_nPort = kHttpPort;
    std::string m_root;
    bool m_bHaveRoot = false;
    bool m_bHelp = false;
    bool m_bVersion = false;
    std::string m_error;  // what was not understood, as one line for standard error
};

// What the log has shown so far; written by the sink and the front end under g_logLock.
bool g_bLogAtLineStart = true;
bool g_bListeningShown = false;
int g_nWorkerDotsShown = 0;

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

// The log sink: one write per message, so a message is never split by buffering and the
// order on the terminal is the order in which the log lock was taken. It notes where the
// start-up messages stand, so that the front end's own lines come after them.
void WriteLogToStdout(const wchar_t* pszText, size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        wchar_t ch = pszText[i];
        bytes[i] = (ch >= 0 && ch <= 0xFF) ? static_cast<char>(ch) : '?';
    }
    WriteWhole(STDOUT_FILENO, bytes.data(), bytes.size());
    if (bytes.empty()) return;
    g_bLogAtLineStart = bytes.back() == '\n';
    if (bytes == "Listening...") g_bListeningShown = true;
    if (bytes == ".") ++g_nWorkerDotsShown;
}

// Writes text of the front end's own to standard output on a line of its own, however the
// log's last message ended.
void WriteOwnLine(const std::string& text) {
    CCriticalLock lock(&g_logLock);
    if (!g_bLogAtLineStart) WriteWhole(STDOUT_FILENO, "\n", 1);
    WriteWhole(STDOUT_FILENO, text.data(), text.size());
    g_bLogAtLineStart = !text.empty() && text.back() == '\n';
}

// Whether the listener and all its workers have written their start-up messages.
bool StartupShown() {
    CCriticalLock lock(&g_logLock);
    return g_bListeningShown && g_nWorkerDotsShown >= kWorkerCount;
}

// Parses a port number, 1 to 65535, written in decimal digits only.
bool ParsePort(const char* pszText, unsigned short& port) {
    if (*pszText == '\0') return false;
    unsigned long value = 0;
    for (const char* p = pszText; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<unsigned long>(*p - '0');
        if (value > 65535) return false;
    }
    if (value == 0) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

// Takes the port option's value, or says what is wrong with it.
bool TakePort(const char* pszValue, CCommandLine& line) {
    if (ParsePort(pszValue, line.m_nPort)) return true;
    line.m_error = std::string("port must be 1 to 65535, not '") + pszValue + "'";
    return false;
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
        } else if (strcmp(pszArg, "-p") == 0 || strcmp(pszArg, "--port") == 0) {
            if (i + 1 >= argc) {
                line.m_error = std::string("option '") + pszArg + "' needs a value";
                return false;
            }
            if (!TakePort(argv[++i], line)) return false;
        } else if (strncmp(pszArg, "--port=", 7) == 0) {
            if (!TakePort(pszArg + 7, line)) return false;
        } else {
            line.m_error = std::string("unknown option '") + pszArg + "'";
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

// Says on standard error why the port could not be listened on, from the host's error code.
void ExplainListenFailure(unsigned short port, int error) {
    const std::string portText = std::to_string(port);
    if (error == EADDRINUSE) {
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

// What the window's creation does: the start-up messages, then the listener.
bool StartServer(unsigned short port) {
    Log(L"Initializing sockets...\r\n");
    Log(L"Sockets Initialized OK\r\nStarting Listen Thread.\r\n");
    g_pListenThread = new CListenThread(port);
    if (!g_pListenThread->Start()) {
        Log(L"Listen thread could not be started\r\n");
        return false;
    }
    return true;
}

// What the window's destruction does: stop the listener and its workers, then free them.
void StopServer() {
    if (g_pListenThread == nullptr) return;
    g_pListenThread->Stop();
    delete g_pListenThread;
    g_pListenThread = nullptr;
}

// Whether the listener's thread has ended by itself, which it does only when it could not
// set up its listening socket.
bool ListenerGaveUp() {
    DWORD code = STILL_ACTIVE;
    if (!g_pListenThread->QueryExitCode(code)) return true;
    return code != STILL_ACTIVE;
}

// The message loop's stand-in: waits for control signals until one ends the program, or
// until the listener gives up. Once the start-up messages are all out, says where the
// folder is served. Returns the exit code.
int RunUntilStopped(const std::string& folder, unsigned short port) {
    sigset_t set = ControlSignals();
    timespec wait = {0, kSignalWaitMs * 1000000L};
    bool bAnnounced = false;
    for (;;) {
        int signo = sigtimedwait(&set, nullptr, &wait);
        if (signo == SIGUSR1) {
            ShowAbout();
        } else if (signo == SIGINT || signo == SIGTERM || signo == SIGHUP) {
            return kExitOk;
        } else if (ListenerGaveUp()) {
            return kExitFailed;
        }
        if (!bAnnounced && StartupShown()) {
            WriteOwnLine("Serving " + folder + " on http://localhost:" + std::to_string(port) +
                         "/ (Ctrl+C stops)\n");
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
    int exitCode = StartServer(line.m_nPort) ? RunUntilStopped(folder, line.m_nPort) : kExitFailed;
    const int listenError = g_pListenThread->GetListenError();
    StopServer();
    SetLogSink(nullptr);
    if (exitCode == kExitFailed) ExplainListenFailure(line.m_nPort, listenError);
    return exitCode;
}
