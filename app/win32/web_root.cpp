// The document root: what the user typed, made joinable, or the program's folder.
#include "app/win32/web_root.h"

#include <cwchar>

namespace {

const wchar_t kDefaultRoot[] = L"\\webroot\\";

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Copies n characters and a terminator when they fit in cap.
bool CopyFitting(const wchar_t* pText, size_t n, wchar_t* pszOut, size_t cap) {
    if (n + 1 > cap) return false;
    wmemcpy(pszOut, pText, n);
    pszOut[n] = L'\0';
    return true;
}

RootSource RootFromArguments(const wchar_t* pszArguments, wchar_t* pszRoot, size_t cap) {
    const wchar_t* pText = pszArguments;
    size_t n = wcslen(pText);
    if (n >= 2 && pText[0] == L'"' && pText[n - 1] == L'"') {
        ++pText;
        n -= 2;
    }
    // Targets are joined to the root without a separator of their own.
    bool bNeedsSeparator = n > 0 && !IsSeparator(pText[n - 1]);
    size_t total = n + (bNeedsSeparator ? 1 : 0);
    if (total + 1 > cap) {
        pszRoot[0] = L'\0';
        return RootSource::kTooLong;
    }
    CopyFitting(pText, n, pszRoot, cap);
    if (bNeedsSeparator) {
        pszRoot[n] = L'\\';
        pszRoot[n + 1] = L'\0';
    }
    return RootSource::kCommandLine;
}

}  // namespace

const wchar_t* SkipProgramName(const wchar_t* pszCommandLine) {
    const wchar_t* p = pszCommandLine;
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') ++p;
        if (*p == L'"') ++p;
    } else {
        while (*p > L' ') ++p;
    }
    while (*p != L'\0' && *p <= L' ') ++p;
    return p;
}

RootSource ChooseDocumentRoot(const wchar_t* pszArguments, const wchar_t* pszModulePath,
                              wchar_t* pszRoot, size_t cap) {
    if (pszArguments != nullptr && *pszArguments != L'\0' && wcscmp(pszArguments, L"\"\"") != 0) {
        return RootFromArguments(pszArguments, pszRoot, cap);
    }
    const wchar_t* pLastSeparator = pszModulePath ? wcsrchr(pszModulePath, L'\\') : nullptr;
    if (pLastSeparator != nullptr) {
        size_t n = static_cast<size_t>(pLastSeparator - pszModulePath) + 1;
        if (CopyFitting(pszModulePath, n, pszRoot, cap)) return RootSource::kProgramFolder;
    }
    CopyFitting(kDefaultRoot, wcslen(kDefaultRoot), pszRoot, cap);
    return RootSource::kDefault;
}
