// Upload names: the checks every host shares, then what the host's file system refuses.
#include "server/upload_name.h"

#include "foundation/file.h"

bool IsAcceptableUploadName(const std::string& name) {
    if (name.empty() || name.size() > kMaxUploadNameLength || name[0] == '.') return false;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return false;
    }
    return CanHoldFileName(name.c_str());
}

std::string LastNameSegment(const std::string& sent) {
    const size_t separator = sent.find_last_of("/\\");
    return separator == std::string::npos ? sent : sent.substr(separator + 1);
}

std::string NumberedName(const std::string& name, int number) {
    if (number <= 0) return name;
    // A dot at the very start is no extension's.
    const size_t dot = name.rfind('.');
    const size_t stem = dot == std::string::npos || dot == 0 ? name.size() : dot;
    std::string numbered =
        name.substr(0, stem) + " (" + std::to_string(number) + ")" + name.substr(stem);
    return numbered.size() <= kMaxUploadNameLength ? numbered : std::string();
}
