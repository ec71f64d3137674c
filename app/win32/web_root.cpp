// The document root: what the user typed, made joinable, or the program's folder.
#include "app/win32/web_root.h"

#include <cwchar>

#include "app/server_session.h"
#include "app/win32/status_text.h"
#include "foundation/platform_types.h"

namespace {

const wchar_t kDefaultRoot[] = L"\\webroot\\";

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Blanks separate the words of a command line.
bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

// The word at p, up to the next blank; p is moved past it and the blanks after it.
std::wstring TakeWord(const wchar_t*& p) {
    const wchar_t* pStart = p;
    while (*p != L'\0' && !IsBlank(*p)) ++p;
    std::wstring word(pStart, static_cast<size_t>(p - pStart));
    while (IsBlank(*p)) ++p;
    return word;
}

// The words in front of the root, read from the argument text as the grammar asks for them.
class CLeadingWords : public CWordSource {
public:
    explicit CLeadingWords(const wchar_t* p) : m_p(p) {}
    bool TakeNext(std::wstring* pWord) override {
        if (*m_p == L'\0') return false;
        *pWord = TakeWord(m_p);
        return true;
    }
    // Whether the next word is an option's, by its leading '-'.
    bool NextLooksLikeOption() const {
        return m_p[0] == L'-' && m_p[1] != L'\0' && !IsBlank(m_p[1]);
    }
    const wchar_t* Rest() const { return m_p; }

private:
    const wchar_t* m_p;
};

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

const wchar_t* TakeOptions(const wchar_t* pszArguments, CStartOptions& options,
                           std::wstring& refusal) {
    CLeadingWords words(pszArguments);
    while (words.NextLooksLikeOption()) {
        std::wstring word;
        words.TakeNext(&word);
        const OptionVerdict verdict = TakeOption(word, words, options, refusal);
        if (verdict == OptionVerdict::kRefused) return nullptr;
        if (verdict == OptionVerdict::kEnd) break;
    }
    return words.Rest();
}

std::wstring RootRefusal(const wchar_t* pszRoot) {
    // A file named with a final separator is not found at all, so the name is looked at
    // without it; a drive's root ("C:\\") keeps it.
    std::wstring path = pszRoot;
    while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != L':') {
        path.pop_back();
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? std::wstring() : L"not a folder";
    }
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME ||
        error == ERROR_INVALID_DRIVE) {
        return L"no such folder";
    }
    return SystemMessageText(error);
}

bool ChooseDroppedRoot(const std::vector<std::wstring>& items, std::wstring& root,
                       std::wstring& refusal) {
    if (items.size() != 1) {
        refusal = L"Cannot share " + std::to_wstring(items.size()) +
                  L" dropped items: drop one folder to share it.\r\n";
        return false;
    }
    const std::wstring why = RootRefusal(items[0].c_str());
    if (!why.empty()) {
        refusal = L"Cannot share " + items[0] + L": " + why + L"; drop a folder to share it.\r\n";
        return false;
    }
    root = items[0];
    if (root.empty() || !IsSeparator(root.back())) root += L'\\';
    return true;
}

std::wstring FullPathForDisplay(const wchar_t* pszRoot) {
    wchar_t szFull[2048];
    const DWORD length = GetFullPathNameW(pszRoot, 2048, szFull, nullptr);
    if (length == 0 || length >= 2048) return pszRoot;
    return szFull;
}
