// Symbolic links for tests on both hosts.
#include "tests/support/links.h"

#ifdef _WIN32
#include <windows.h>

#include <vector>

#include "foundation/clock.h"

namespace {

constexpr uint32_t kLinkWaitMs = 5000;

// Wine's own export that gives the host name of a Windows path; null elsewhere.
typedef char*(CDECL* UnixFileNameFunction)(const wchar_t*);
UnixFileNameFunction WineUnixFileName() {
    HMODULE hKernel = GetModuleHandleW(L"kernel32.dll");
    if (hKernel == nullptr) return nullptr;
    return reinterpret_cast<UnixFileNameFunction>(
        reinterpret_cast<void*>(GetProcAddress(hKernel, "wine_get_unix_file_name")));
}

// The host path of a Windows path under Wine; empty when there is none.
std::string UnixPathOf(UnixFileNameFunction pUnixFileName, const std::wstring& path) {
    char* pszUnix = pUnixFileName(path.c_str());
    if (pszUnix == nullptr) return std::string();
    std::string unix(pszUnix);
    HeapFree(GetProcessHeap(), 0, pszUnix);
    return unix;
}

// Whether the folder lists a name, which it does for a link whatever it leads to.
bool IsListed(const std::filesystem::path& path) {
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW(path.wstring().c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE) return false;
    FindClose(hFind);
    return true;
}

// Under Wine: runs the host's ln, which Wine starts as a host program.
bool MakeHostLink(const std::filesystem::path& link, const std::string& target) {
    UnixFileNameFunction pUnixFileName = WineUnixFileName();
    if (pUnixFileName == nullptr) return false;
    std::string hostTarget = target;
    if (std::filesystem::path(target).is_absolute()) {
        hostTarget = UnixPathOf(pUnixFileName, std::filesystem::path(target).wstring());
    }
    const std::string hostLink = UnixPathOf(pUnixFileName, link.wstring());
    if (hostTarget.empty() || hostLink.empty()) return false;
    // Split as a Windows command line is: no shell runs between.
    // -f: Wine may not delete a host link, so one is made anew over the old.
    std::string command = "/bin/ln -sfn \"" + hostTarget + "\" \"" + hostLink + "\"";
    std::vector<wchar_t> line(command.begin(), command.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, kLinkWaitMs);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The exit of a host program is not always reported back, so the link itself is the sign.
    const uint64_t deadline = GetTickCount64Ms() + kLinkWaitMs;
    while (!IsListed(link)) {
        if (GetTickCount64Ms() >= deadline) return false;
        SleepMs(20);
    }
    return true;
}

}  // namespace

bool MakeSymbolicLink(const std::filesystem::path& link, const std::string& target, bool bFolder) {
    std::wstring windowsTarget = std::filesystem::path(target).wstring();
    for (wchar_t& c : windowsTarget) {
        if (c == L'/') c = L'\\';
    }
    // 2: allowed without the privilege where the system lets ordinary users make links.
    const DWORD flags = (bFolder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;
    // Wine answers success without making anything, so the link must be seen to count.
    if (CreateSymbolicLinkW(link.wstring().c_str(), windowsTarget.c_str(), flags) &&
        IsListed(link)) {
        return true;
    }
    return MakeHostLink(link, target);
}

#else
#include <unistd.h>

bool MakeSymbolicLink(const std::filesystem::path& link, const std::string& target,
                      bool /*bFolder*/) {
    return symlink(target.c_str(), link.c_str()) == 0;
}
#endif
