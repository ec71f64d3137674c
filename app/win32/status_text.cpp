// The window's words about the server's state.
#include "app/win32/status_text.h"

#include <cwctype>

#include "app/server_session.h"

namespace {

// The UTF-16 text of UTF-8 bytes (invalid ones shown as U+FFFD).
std::wstring WideOfUtf8(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int length = static_cast<int>(bytes.size());
    const int count = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
    std::wstring text(count > 0 ? static_cast<size_t>(count) : 0, L'\0');
    if (count > 0) MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, &text[0], count);
    return text;
}

// A port to suggest instead of one that cannot be had.
unsigned short OtherPort(unsigned short port) {
    return port == 8080 ? 8081 : 8080;
}

}  // namespace

std::wstring ServingText(const std::wstring& folder, unsigned short port,
                         const CListenAddress& bound, const std::vector<uint32_t>& addresses,
                         const std::string& user) {
    const bool bLoopback = IsLoopbackOnly(bound);
    std::wstring text = L"Serving " + folder + L" on " + LocalHttpAddress(bound, port);
    if (bLoopback || !user.empty()) {
        text += std::wstring(L" (") + (bLoopback ? L"this computer only" : L"") +
                (bLoopback && !user.empty() ? L"; " : L"") +
                (user.empty() ? L"" : L"password required") + L")";
    }
    text += L"\r\n";
    const std::wstring network =
        bound.m_kind == CListenAddress::Kind::kEvery ? NetworkAddressesLine(addresses, port) : L"";
    if (!network.empty()) text += network + L"\r\n";
    if (!user.empty()) text += L"User name: " + WideOfUtf8(user) + L"\r\n";
    text += L"Alt+/ shows the number of requests so far; closing this window stops the server.\r\n";
    return text;
}

std::wstring ListenFailureText(unsigned short port, const CListenAddress& bound, int error) {
    const std::wstring portText = std::to_wstring(port);
    const std::wstring otherPort = std::to_wstring(OtherPort(port));
    if (IsAddressNotLocal(error) && bound.m_kind != CListenAddress::Kind::kEvery) {
        std::wstring text = NotLocalAddressText(bound);
        text[0] = L'C';
        return text + L". Start kovweb.exe with another --bind address, or without it.\r\n";
    }
    if (error == WSAEADDRINUSE) {
        return L"Port " + portText + L" is in use by another program. Close it, or start " +
               L"kovweb.exe with --port " + otherPort + L" and a folder.\r\n";
    }
    if (error == WSAEACCES) {
        return L"Port " + portText + L" is reserved or blocked on this machine (access " +
               L"denied). Start kovweb.exe with --port " + otherPort + L" and a folder.\r\n";
    }
    if (error == 0) return L"Cannot listen on port " + portText + L".\r\n";
    return L"Cannot listen on port " + portText + L": " +
           SystemMessageText(static_cast<DWORD>(error)) + L"\r\n";
}

std::wstring SystemMessageText(DWORD error) {
    wchar_t szText[512];
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, szText, sizeof(szText) / sizeof(szText[0]), nullptr);
    while (length > 0 && std::iswspace(szText[length - 1])) --length;
    if (length == 0) return L"error " + std::to_wstring(error);
    return std::wstring(szText, length);
}
