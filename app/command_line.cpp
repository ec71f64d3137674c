// The option table and its grammar.
#include "app/command_line.h"

#include <cstring>

#include "app/server_session.h"
#include "foundation/file.h"
#include "foundation/host_text.h"
#include "server/sha256.h"
#include "server/upload.h"

namespace {

bool TakePort(const std::wstring& value, CStartOptions& options, std::wstring& refusal) {
    if (ParsePort(value.c_str(), options.m_nPort)) return true;
    refusal = BadPortText(value);
    return false;
}

bool TakeBind(const std::wstring& value, CStartOptions& options, std::wstring& refusal) {
    if (ParseBindAddress(value.c_str(), options.m_address)) return true;
    refusal = BadBindText(value);
    return false;
}

// Sets the options' credentials from the UTF-8 "USER:PASSWORD" in text, which is wiped;
// false with refusal saying why, in the words of where the text came from (pszWhere).
bool TakeCredentials(std::string& text, const std::wstring& where, CStartOptions& options,
                     std::wstring& refusal) {
    const bool bShaped = CCredentials::IsUserPassword(text.data(), text.size());
    if (options.m_server.m_credentials.Set(&text[0], text.size())) return true;
    refusal = bShaped ? L"no random salt could be drawn to keep the password with"
                      : where +
                            L" must be USER:PASSWORD: a user name, a colon, then the password "
                            L"(at most 1024 bytes, on one line)";
    return false;
}

bool TakeAuth(const std::wstring& value, CStartOptions& options, std::wstring& refusal) {
    std::string text;
    if (!HostTextToUtf8(value, &text)) text.clear();
    return TakeCredentials(text, L"--auth's value", options, refusal);
}

bool TakeAuthFile(const std::wstring& value, CStartOptions& options, std::wstring& refusal) {
    CFile file;
    char bytes[CCredentials::kMaxText + 8];
    DWORD count = 0;
    if (file.Open(value.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0) &&
        file.IsRegularFile()) {
        count = file.Read(bytes, sizeof(bytes));
    } else {
        refusal = L"cannot read the password file '" + value + L"'";
        return false;
    }
    // The first line, without a byte order mark or line end, which editors may add.
    size_t start = count >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    size_t end = start;
    while (end < count && bytes[end] != '\n') ++end;
    const size_t length = end > start && bytes[end - 1] == '\r' ? end - 1 - start : end - start;
    std::string text(bytes + start, length);
    WipeBytes(bytes, sizeof(bytes));
    if (text.empty()) {
        refusal = L"the password file '" + value +
                  L"' is empty: its first line must be "
                  L"USER:PASSWORD";
        return false;
    }
    return TakeCredentials(text, L"the first line of '" + value + L"'", options, refusal);
}

bool TakeQuiet(const std::wstring&, CStartOptions& options, std::wstring&) {
    options.m_server.m_bLogRequests = false;
    return true;
}

bool TakeNoListing(const std::wstring&, CStartOptions& options, std::wstring&) {
    options.m_server.m_bListFolders = false;
    return true;
}

bool TakeUpload(const std::wstring&, CStartOptions& options, std::wstring&) {
    options.m_server.m_bUpload = true;
    return true;
}

bool TakeMaxUpload(const std::wstring& value, CStartOptions& options, std::wstring& refusal) {
    // The value's characters as bytes, so that any that is not ASCII fails the reading.
    std::string text;
    for (const wchar_t c : value) text += c < 0x80 ? static_cast<char>(c) : '?';
    if (ReadByteSize(text.c_str(), &options.m_server.m_nMaxUpload)) return true;
    refusal =
        L"--max-upload takes a size in bytes, or with K, M or G for 1024, 1024^2 or "
        L"1024^3 bytes, not \"" +
        value + L"\"";
    return false;
}

bool TakeHelp(const std::wstring&, CStartOptions& options, std::wstring&) {
    options.m_bHelp = true;
    return true;
}

bool TakeVersion(const std::wstring&, CStartOptions& options, std::wstring&) {
    options.m_bVersion = true;
    return true;
}

const COptionSpec kOptions[] = {
    {L"--port", L"-p", L"N", TakePort, L"listen on TCP port N, 1 to 65535 (default 80)"},
    {L"--bind", L"-b", L"ADDRESS", TakeBind,
     L"take clients at ADDRESS only: an IPv4 or IPv6 address of this\n"
     L"computer, or localhost for this computer only (default: every\n"
     L"address, so other machines on the network can connect)"},
    {L"--quiet", L"-q", nullptr, TakeQuiet,
     L"write no line per request (by default each answered request is\n"
     L"a Common Log Format line in the log)"},
    {L"--no-listing", nullptr, nullptr, TakeNoListing,
     L"answer a folder without an index.html 404 instead of listing\n"
     L"it, and any folder's ?zip archive too"},
    {L"--auth", nullptr, L"USER:PASSWORD", TakeAuth,
     L"ask every request for this user name and password (HTTP basic\n"
     L"authentication, UTF-8); after 5 wrong tries in a minute an address\n"
     L"is refused (429) for the rest of that minute. Anyone on the network\n"
     L"path can read them: it keeps out the curious, not an eavesdropper"},
    {L"--auth-file", nullptr, L"FILE", TakeAuthFile,
     L"as --auth, with USER:PASSWORD read from the first line of FILE, so\n"
     L"that the password stands in no process list or shell history"},
    {L"--upload", nullptr, nullptr, TakeUpload,
     L"receive files: PUT makes a new file at its path, and each listing\n"
     L"has a form that sends files into its folder; an existing file is\n"
     L"never replaced (a PUT gets 409, a form's file a numbered name)"},
    {L"--max-upload", nullptr, L"SIZE", TakeMaxUpload,
     L"refuse uploads of more than SIZE bytes with 413 (K, M, G: powers\n"
     L"of 1024; default: no limit)"},
    {L"--help", nullptr, nullptr, TakeHelp, L"show this text and exit"},
    {L"--version", nullptr, nullptr, TakeVersion, L"show the version and exit"},
};

// The option that word names by its long or short name, or null.
const COptionSpec* FindOption(const std::wstring& name) {
    for (const COptionSpec& option : kOptions) {
        if (name == option.m_pszLong ||
            (option.m_pszShort != nullptr && name == option.m_pszShort)) {
            return &option;
        }
    }
    return nullptr;
}

// The usage column of an option: "  -p, --port N".
std::wstring UsageNames(const COptionSpec& option) {
    std::wstring names = L"  ";
    names += option.m_pszShort != nullptr ? std::wstring(option.m_pszShort) + L", " : L"    ";
    names += option.m_pszLong;
    if (option.m_pszValue != nullptr) names += std::wstring(L" ") + option.m_pszValue;
    return names;
}

}  // namespace

OptionVerdict TakeOption(const std::wstring& word, CWordSource& words, CStartOptions& options,
                         std::wstring& refusal) {
    if (word.size() < 2 || word[0] != L'-') return OptionVerdict::kNotOption;
    if (word == L"--") return OptionVerdict::kEnd;
    const size_t equals = word.compare(0, 2, L"--") == 0 ? word.find(L'=') : std::wstring::npos;
    const std::wstring name = word.substr(0, equals);
    const COptionSpec* pSpec = FindOption(name);
    // "--long=value" is the long name's alone, and only for an option that takes a value.
    if (pSpec == nullptr || (equals != std::wstring::npos && pSpec->m_pszValue == nullptr)) {
        refusal = UnknownOptionText(word);
        return OptionVerdict::kRefused;
    }
    std::wstring value;
    if (equals != std::wstring::npos) {
        value = word.substr(equals + 1);
    } else if (pSpec->m_pszValue != nullptr && !words.TakeNext(&value)) {
        refusal = MissingValueText(word);
        return OptionVerdict::kRefused;
    }
    return pSpec->m_pfnTake(value, options, refusal) ? OptionVerdict::kTaken
                                                     : OptionVerdict::kRefused;
}

std::wstring UsageText() {
    std::wstring text = L"Usage: kovweb";
    for (const COptionSpec& option : kOptions) {
        // Help and version end the program at once: they are not among the options it runs with.
        if (option.m_pfnTake == TakeHelp || option.m_pfnTake == TakeVersion) continue;
        text += L" [";
        if (option.m_pszShort != nullptr) text += std::wstring(option.m_pszShort) + L"|";
        text += option.m_pszLong;
        if (option.m_pszValue != nullptr) text += std::wstring(L" ") + option.m_pszValue;
        text += L"]";
    }
    text +=
        L" [DOCROOT]\n"
        L"Serves the files below DOCROOT over HTTP/1.1; a folder without an index.html is\n"
        L"answered with a listing of what it holds, and any folder's target with ?zip (say\n"
        L"/Photos/?zip) with the folder whole as a zip archive that resumes. DOCROOT is the\n"
        L"current directory when left out (kovweb.exe: the text after the options, quotes\n"
        L"removed, or the program's own folder).\n"
        L"\n";
    constexpr size_t kHelpColumn = 24;
    for (const COptionSpec& option : kOptions) {
        std::wstring line = UsageNames(option);
        const std::wstring help = option.m_pszHelp;
        size_t start = 0;
        do {
            const size_t end = help.find(L'\n', start);
            const std::wstring piece = help.substr(start, end - start);
            line.resize(line.size() < kHelpColumn - 1 ? kHelpColumn - 1 : line.size(), L' ');
            text += line + L" " + piece + L"\n";
            line.clear();
            start = end == std::wstring::npos ? end : end + 1;
        } while (start != std::wstring::npos);
    }
    text +=
        L"\n"
        L"The log (standard output, or the window) gets the start-up lines, then one line per\n"
        L"answered request in the Common Log Format (client address, user, local time, request\n"
        L"line, status, body bytes). kovweb: SIGINT, SIGTERM and SIGHUP stop the server;\n"
        L"SIGUSR1 writes the number of requests read so far. kovweb.exe: Alt+/ shows it, and\n"
        L"closing the window stops the server.\n";
    return text;
}
