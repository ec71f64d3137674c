// The end-to-end harness: temporary roots, free ports and a started kovweb.
#include "e2e_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#ifndef KOV_E2E_PROGRAM
#error "KOV_E2E_PROGRAM must name the kovweb binary"
#endif

const char kStartupHead[] =
    "Initializing sockets...\r\n"
    "Sockets Initialized OK\r\n"
    "Starting Listen Thread.\r\n"
    "Starting Threads\r\n";
const char kListening[] = "Listening...";

std::string KovwebPath() {
    return KOV_E2E_PROGRAM;
}

std::string FolderText(const CTempDir& dir) {
    return dir.Path().string();
}

bool PutFile(const CTempDir& dir, const std::string& relative, const std::string& bytes) {
    if (dir.Path().empty()) return false;
    std::filesystem::path full = dir.Path() / relative;
    std::error_code error;
    std::filesystem::create_directories(full.parent_path(), error);
    {
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) return false;
    }
    return ReadWholeFile(full.string()) == bytes;
}

unsigned short PickFreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) return 0;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = 0;
    unsigned short port = 0;
    socklen_t length = sizeof(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(s);
    return port;
}

bool CRunningServer::Start(const std::vector<std::string>& args, const std::string& workDir,
                           const char* pszPortOption) {
    constexpr int kAttempts = 5;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        m_nPort = PickFreePort();
        if (m_nPort == 0) continue;
        std::vector<std::string> argv = {KovwebPath(), pszPortOption, std::to_string(m_nPort)};
        argv.insert(argv.end(), args.begin(), args.end());
        if (m_nDescriptorLimit > 0) {
            // The shell sets the limit and becomes the program, which keeps its process id.
            argv.insert(argv.begin(), {"/bin/sh", "-c",
                                       "ulimit -n " + std::to_string(m_nDescriptorLimit) +
                                           " && exec \"$0\" \"$@\""});
        }
        m_pChild.reset(new CChildProcess());
        if (!m_pChild->Start(argv[0], argv, workDir)) return false;
        // Listening ends the wait; so does a port taken after all, which is worth another
        // try. Silence or an early exit is a failure of the program and is not retried.
        for (uint32_t waited = 0; waited < kPromptMs; waited += 50) {
            const std::string& out = m_pChild->Out();
            if (out.find(kListening) != std::string::npos) return true;
            if (out.find("Listen Failed") != std::string::npos) break;
            if (m_pChild->WaitExit(0)) break;
            m_pChild->Pump(50);
        }
        if (m_pChild->Out().find("Listen Failed") == std::string::npos) return false;
        m_pChild->WaitExit(kPromptMs);
    }
    return false;
}

bool CRunningServer::Stop() {
    if (!m_pChild || !m_pChild->Signal(SIGTERM)) return false;
    return m_pChild->WaitExit(kPromptMs) && m_pChild->ExitCode() == 0;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
