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

#include "app/command_line.h"
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
struct CCommandLine {
    CStartOptions m_options;
    std::string m_root;
    bool m_bHaveRoot = false;
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

// The words of argv after the program's name, as wide text byte for character.
class CArgumentWords : public CWordSource {
public:
    CArgumentWords(int argc, char** argv) : m_argc(argc), m_argv(argv), m_nNext(1) {}
    bool TakeNext(std::wstring* pWord) override {
        if (m_nNext >= m_argc) return false;
        *pWord = Widen(m_argv[m_nNext++]);
        return true;
    }

private:
    int m_argc;
    char** m_argv;
    int m_nNext;
};

// Takes DOCROOT; a second one is an error.
bool TakeRoot(const std::wstring& word, CCommandLine& line) {
    if (line.m_bHaveRoot) {
        line.m_error = "only one document root may be given";
        return false;
    }
    line.m_root = Narrow(word);
    line.m_bHaveRoot = true;
    return true;
}

// Fills line from argv; false, with line.m_error saying why, on anything not understood.
bool ParseCommandLine(int argc, char** argv, CCommandLine& line) {
    CArgumentWords words(argc, argv);
    bool bOptionsEnded = false;
    std::wstring word;
    while (words.TakeNext(&word)) {
        std::wstring refusal;
        const OptionVerdict verdict = bOptionsEnded
                                          ? OptionVerdict::kNotOption
                                          : TakeOption(word, words, line.m_options, refusal);
        if (verdict == OptionVerdict::kEnd) {
            bOptionsEnded = true;
        } else if (verdict == OptionVerdict::kRefused) {
            line.m_error = Narrow(refusal);
            return false;
        } else if (verdict == OptionVerdict::kNotOption && !TakeRoot(word, line)) {
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

// Says where the folder is served: on this machine (and whether a password is asked for,
// and whose), then at the addresses other machines may use when it listens on every
// address.
void AnnounceServing(const std::string& folder, unsigned short port, const CListenAddress& address,
                     const CCredentials& credentials) {
    const std::string notes = std::string(IsLoopbackOnly(address) ? "this computer only; " : "") +
                              (credentials.IsRequired() ? "password required; " : "");
    std::string text = "Serving " + folder + " on " + Narrow(LocalHttpAddress(address, port)) +
                       " (" + notes + "Ctrl+C stops)\n";
    // The user's name, never the password.
    if (credentials.IsRequired()) text += "User name: " + credentials.GetUser() + "\n";
    if (address.m_kind == CListenAddress::Kind::kEvery) {
        const std::wstring network = NetworkAddressesLine(GetNetworkAddresses(), port);
        if (!network.empty()) text += Narrow(network) + "\n";
    }
    WriteOwnLine(text);
}

// The message loop's stand-in: waits for control signals until one ends the program, or
// until the listener has failed; once it listens, says where the folder is served. Returns
// the exit code.
int RunUntilStopped(const std::string& folder, const CCredentials& credentials) {
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
            AnnounceServing(folder, status.GetPort(), g_pListenThread->GetListenAddress(),
                            credentials);
            // Request lines follow the serving lines, never come before them.
            SetRequestLogSink(WriteRequestLinesToStdout);
            bAnnounced = true;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    CCommandLine line;
    const std::string usage = Narrow(UsageText());
    if (!ParseCommandLine(argc, argv, line)) {
        ShowError(line.m_error);
        fputs(usage.c_str(), stderr);
        return kExitUsage;
    }
    const CStartOptions& options = line.m_options;
    if (options.m_bHelp) {
        fputs(usage.c_str(), stdout);
        return kExitOk;
    }
    if (options.m_bVersion) {
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
    int exitCode = kExitFailed;
    int listenError = 0;
    if (StartServer(g_szWebRoot, options, nullptr, nullptr)) {
        exitCode = RunUntilStopped(folder, options.m_server.m_credentials);
        listenError = g_pListenThread->GetStatus().GetError();
    }
    StopServer();
    SetRequestLogSink(nullptr);
    SetLogSink(nullptr);
    if (exitCode == kExitFailed) {
        ExplainListenFailure(options.m_nPort, options.m_address, listenError);
    }
    return exitCode;
}
