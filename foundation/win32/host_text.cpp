// Command-line text on Win32: UTF-16, converted to UTF-8.
#include "foundation/host_text.h"

#include "foundation/platform_types.h"

bool HostTextToUtf8(const std::wstring& text, std::string* pBytes) {
    pBytes->clear();
    if (text.empty()) return true;
    const int length = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length,
                                         nullptr, 0, nullptr, nullptr);
    if (size <= 0) return false;
    pBytes->resize(static_cast<size_t>(size));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, &(*pBytes)[0],
                               size, nullptr, nullptr) == size;
}
