// Command-line text on POSIX: the argument's bytes, one per character, taken as they are.
#include "foundation/host_text.h"

bool HostTextToUtf8(const std::wstring& text, std::string* pBytes) {
    pBytes->assign(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] < 0 || text[i] > 0xFF) return false;
        (*pBytes)[i] = static_cast<char>(text[i]);
    }
    return true;
}
