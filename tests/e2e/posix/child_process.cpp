// Starting and watching a child program for the end-to-end tests.
#include "child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, 0 when it has passed.
int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Clock::time_point DeadlineIn(uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

// Reads what fd has now into text; closes fd and sets it to -1 at end of stream.
void DrainInto(int& fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        close(fd);
        fd = -1;
        return;
    }
}

}  // namespace

CChildProcess::CChildProcess()
    : m_pid(-1), m_outFd(-1), m_errFd(-1), m_bExited(false), m_nExitCode(-1), m_nTermSignal(0) {}

CChildProcess::~CChildProcess() {
    if (m_pid > 0 && !m_bExited) {
        kill(m_pid, SIGKILL);
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    ClosePipes();
}

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const std::string& workDir) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return false;
    }
    m_pid = pid;
    m_outFd = outPipe[0];
    m_errFd = errPipe[0];
    fcntl(m_outFd, F_SETFL, fcntl(m_outFd, F_GETFL) | O_NONBLOCK);
    fcntl(m_errFd, F_SETFL, fcntl(m_errFd, F_GETFL) | O_NONBLOCK);
    return true;
}

void CChildProcess::Pump(uint32_t ms) {
    Clock::time_point deadline = DeadlineIn(ms);
    do {
        pollfd fds[2];
        nfds_t count = 0;
        if (m_outFd >= 0) fds[count++] = {m_outFd, POLLIN, 0};
        if (m_errFd >= 0) fds[count++] = {m_errFd, POLLIN, 0};
        if (count == 0) return;
        int ready = poll(fds, count, MsLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        if (m_outFd >= 0) DrainInto(m_outFd, m_out);
        if (m_errFd >= 0) DrainInto(m_errFd, m_err);
        return;
    } while (MsLeft(deadline) > 0);
}

bool CChildProcess::WaitForOutput(const std::string& needle, uint32_t ms) {
    Clock::time_point deadline = DeadlineIn(ms);
    for (;;) {
        if (m_out.find(needle) != std::string::npos) return true;
        if (MsLeft(deadline) == 0 || (m_outFd < 0 && m_errFd < 0)) return false;
        Pump(static_cast<uint32_t>(MsLeft(deadline)));
    }
}

bool CChildProcess::WaitForOutputLength(size_t length, uint32_t ms) {
    Clock::time_point deadline = DeadlineIn(ms);
    for (;;) {
        if (m_out.size() >= length) return true;
        if (MsLeft(deadline) == 0 || (m_outFd < 0 && m_errFd < 0)) return false;
        Pump(static_cast<uint32_t>(MsLeft(deadline)));
    }
}

bool CChildProcess::WaitExit(uint32_t ms) {
    Clock::time_point deadline = DeadlineIn(ms);
    for (;;) {
        ReapIfExited();
        if (m_bExited) {
            // The pipes close with the child (unless it left a descendant holding them).
            while (m_outFd >= 0 || m_errFd >= 0) {
                int before = MsLeft(deadline);
                Pump(static_cast<uint32_t>(before > 0 ? before : 1));
                if (MsLeft(deadline) == 0) break;
            }
            return true;
        }
        if (MsLeft(deadline) == 0) return false;
        Pump(static_cast<uint32_t>(std::min(MsLeft(deadline), 20)));
    }
}

bool CChildProcess::Signal(int signo) {
    return m_pid > 0 && !m_bExited && kill(m_pid, signo) == 0;
}

void CChildProcess::ReapIfExited() {
    if (m_pid <= 0 || m_bExited) return;
    int status = 0;
    pid_t done = waitpid(m_pid, &status, WNOHANG);
    if (done != m_pid) return;
    m_bExited = true;
    if (WIFEXITED(status)) m_nExitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) m_nTermSignal = WTERMSIG(status);
}

void CChildProcess::ClosePipes() {
    if (m_outFd >= 0) close(m_outFd);
    if (m_errFd >= 0) close(m_errFd);
    m_outFd = -1;
    m_errFd = -1;
}

CRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      uint32_t ms) {
    CRunResult result;
    CChildProcess child;
    if (!child.Start(program, args)) return result;
    result.m_bFinished = child.WaitExit(ms);
    result.m_nExitCode = child.ExitCode();
    result.m_out = child.Out();
    result.m_err = child.Err();
    return result;
}

std::string FindOnPath(const std::string& name) {
    const char* pszPath = getenv("PATH");
    std::string path = pszPath ? pszPath : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + name;
        struct stat info;
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::string();
}
