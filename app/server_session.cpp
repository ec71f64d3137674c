// Start and stop of the server, and the texts both programs share.
#include "app/server_session.h"

#include "foundation/file.h"
#include "foundation/log.h"
#include "foundation/network.h"

CListenThread* g_pListenThread = nullptr;
CRequestLogWriter* g_pRequestLogWriter = nullptr;

bool StartServer(const wchar_t* pszRoot, const CStartOptions& options,
                 ListenOutcomeCallback pfnOutcome, void* pContext) {
    Log(L"Initializing sockets...\r\n");
    if (!InitSockets()) {
        Log(L"\r\nSocket Initialization failed\r\n");
        return false;
    }
    Log(L"Sockets Initialized OK\r\nStarting Listen Thread.\r\n");
    g_pListenThread = new CListenThread(options.m_nPort, options.m_address);
    g_pListenThread->SetServerOptions(options.m_server);
    // A root that cannot be opened yet is tried again at each request, as it always was.
    g_pListenThread->GetDocumentRoot().Set(pszRoot);
    g_pListenThread->SetOutcomeCallback(pfnOutcome, pContext);
    if (options.m_server.m_bLogRequests) {
        g_pRequestLogWriter = new CRequestLogWriter(kWorkerCount);
        for (int index = 0; index < kWorkerCount; ++index) {
            g_pListenThread->GetWorker(index).SetRequestLog(g_pRequestLogWriter->GetRing(index));
        }
        // Without its thread the lines stay in the rings, and serving goes on regardless.
        if (!g_pRequestLogWriter->Start()) Log(L"Request log writer could not be started\r\n");
    }
    if (!g_pListenThread->Start()) {
        Log(L"Listen thread could not be started\r\n");
        return false;
    }
    return true;
}

bool ShareFolder(const wchar_t* pszRoot) {
    CFolder folder;
    if (g_pListenThread == nullptr || !folder.Open(pszRoot)) return false;
    g_pListenThread->GetDocumentRoot().Set(pszRoot);
    return true;
}

void StopServer() {
    if (g_pListenThread != nullptr) {
        g_pListenThread->Stop();
        delete g_pListenThread;
        g_pListenThread = nullptr;
    }
    // After the workers: the lines of their last answers are in the rings by now.
    if (g_pRequestLogWriter != nullptr) {
        g_pRequestLogWriter->Stop();
        delete g_pRequestLogWriter;
        g_pRequestLogWriter = nullptr;
    }
    CleanupSockets();
}

bool ParsePort(const wchar_t* pszText, unsigned short& port) {
    if (*pszText == L'\0') return false;
    unsigned long value = 0;
    for (const wchar_t* p = pszText; *p != L'\0'; ++p) {
        if (*p < L'0' || *p > L'9') return false;
        value = value * 10 + static_cast<unsigned long>(*p - L'0');
        if (value > 65535) return false;
    }
    if (value == 0) return false;
    port = static_cast<unsigned short>(value);
    return true;
}

bool ParseBindAddress(const wchar_t* pszText, CListenAddress& address) {
    std::string text;
    for (const wchar_t* p = pszText; *p != L'\0'; ++p) {
        // Addresses are ASCII; anything else cannot be one, nor turn into one when narrowed.
        if (*p <= L' ' || *p > L'~') return false;
        text += static_cast<char>(*p);
    }
    return ParseListenAddress(text.c_str(), address);
}

std::wstring BadPortText(const std::wstring& value) {
    return L"port must be 1 to 65535, not '" + value + L"'";
}

std::wstring BadBindText(const std::wstring& value) {
    return L"bind address must be an IPv4 or IPv6 address or 'localhost', not '" + value + L"'";
}

std::wstring MissingValueText(const std::wstring& option) {
    return L"option '" + option + L"' needs a value";
}

std::wstring UnknownOptionText(const std::wstring& option) {
    return L"unknown option '" + option + L"'";
}

std::wstring HttpAddress(const std::wstring& host, unsigned short port) {
    // Browsers add the standard port themselves; the address stays as it would be typed.
    if (port == kHttpPort) return L"http://" + host + L"/";
    return L"http://" + host + L":" + std::to_wstring(port) + L"/";
}

namespace {

// The ASCII text as wide characters.
std::wstring WidenAscii(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

}  // namespace

std::wstring LocalHttpAddress(const CListenAddress& address, unsigned short port) {
    const bool bOne = address.m_kind == CListenAddress::Kind::kIPv4 ||
                      address.m_kind == CListenAddress::Kind::kIPv6;
    return HttpAddress(bOne ? WidenAscii(ListenAddressHost(address)) : L"localhost", port);
}

std::wstring NotLocalAddressText(const CListenAddress& address) {
    return L"cannot listen on " + WidenAscii(ListenAddressHost(address)) +
           L": that address is not this computer's";
}

std::wstring NetworkAddressesLine(const std::vector<uint32_t>& addresses, unsigned short port) {
    std::wstring line;
    for (uint32_t address : addresses) {
        std::wstring dotted =
            std::to_wstring(address >> 24) + L"." + std::to_wstring((address >> 16) & 0xFF) + L"." +
            std::to_wstring((address >> 8) & 0xFF) + L"." + std::to_wstring(address & 0xFF);
        line += line.empty() ? L"Also on this network: " : L", ";
        line += HttpAddress(dotted, port);
    }
    return line;
}

std::wstring UploadsLine(const CServerOptions& options) {
    if (!options.m_bUpload) return std::wstring();
    std::wstring line =
        L"Uploads are on: PUT and the listings' form make new files below the folder, never "
        L"over an existing one";
    if (options.m_nMaxUpload != CServerOptions::kNoLimit) {
        line += L" (at most " + std::to_wstring(options.m_nMaxUpload) + L" bytes each)";
    }
    return line + L".";
}
