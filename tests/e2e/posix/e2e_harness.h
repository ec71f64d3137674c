// Shared pieces of the end-to-end tests: the program under test, temporary document
// roots, and a running server on a free port that is always stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "tests/support/temp_dir.h"

// The kovweb binary that CMake built next to these tests.
std::string KovwebPath();

// Every wait for something the program should do within moments; generous, because the
// sanitizer builds run the same tests on a loaded machine.
constexpr uint32_t kPromptMs = 20000;

// The messages of a good start, in the order they must appear, before the five workers'
// dots and the listener's "Listening..." (whose order among themselves is free).
extern const char kStartupHead[];
extern const char kListening[];

// The folder as a command-line argument; empty when it could not be made.
std::string FolderText(const CTempDir& dir);
// Writes bytes to the file at relative below dir, making folders as needed; true when the
// whole file is there.
bool PutFile(const CTempDir& dir, const std::string& relative, const std::string& bytes);

// A TCP port that nothing was bound to a moment ago.
unsigned short PickFreePort();

// kovweb listening on a free port; SIGKILLed by the destructor if a test left it running.
class CRunningServer {
public:
    // Starts kovweb with args (a root, say) plus a port option, retrying with other ports
    // when one is taken in the meantime. False when no start reached "Listening...".
    bool Start(const std::vector<std::string>& args, const std::string& workDir = std::string(),
               const char* pszPortOption = "--port");
    // Makes the next Start run the program with at most count open descriptors, as
    // `ulimit -n count` would.
    void LimitDescriptors(int count) { m_nDescriptorLimit = count; }
    // SIGTERM and wait: true when it exited with status 0 within the bound.
    bool Stop();

    unsigned short Port() const { return m_nPort; }
    CChildProcess& Child() { return *m_pChild; }

private:
    std::unique_ptr<CChildProcess> m_pChild{new CChildProcess()};
    unsigned short m_nPort = 0;
    int m_nDescriptorLimit = 0;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);
