// A program started by a test, with its standard output and error read through pipes.
// Every wait is bounded, and the destructor kills a child that is still running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class CChildProcess {
public:
    CChildProcess();
    ~CChildProcess();  // SIGKILL and reap when still running; closes the pipes
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Starts program with args (argv[0] is the program) in workDir (empty: the test's own).
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::string& workDir = std::string());

    // Reads whatever output arrives within ms (or until both pipes are closed).
    void Pump(uint32_t ms);
    // Waits until standard output contains needle; false when ms passed first.
    bool WaitForOutput(const std::string& needle, uint32_t ms);
    // Waits until standard output holds at least length bytes.
    bool WaitForOutputLength(size_t length, uint32_t ms);
    // Waits until the child has exited, collecting its output; false when ms passed first.
    bool WaitExit(uint32_t ms);

    bool Signal(int signo);
    pid_t Pid() const { return m_pid; }
    bool HasExited() const { return m_bExited; }
    // The exit status when it exited normally, -1 when a signal ended it.
    int ExitCode() const { return m_nExitCode; }
    int TermSignal() const { return m_nTermSignal; }

    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

private:
    void ReapIfExited();
    void ClosePipes();

    pid_t m_pid;
    int m_outFd;
    int m_errFd;
    bool m_bExited;
    int m_nExitCode;
    int m_nTermSignal;
    std::string m_out;
    std::string m_err;
};

// Runs program to its end within ms, killing it otherwise; the result holds its output.
struct CRunResult {
    bool m_bFinished = false;
    int m_nExitCode = -1;
    std::string m_out;
    std::string m_err;
};
CRunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                      uint32_t ms);

// The full path of an executable of this name on PATH, empty when there is none.
std::string FindOnPath(const std::string& name);
