// Text as the host hands it to a program (its command line), as the UTF-8 that HTTP sends.
#pragma once

#include <string>

// The UTF-8 bytes of text from the host's command line: on POSIX its characters are the
// argument's bytes, one each; on Win32 it is UTF-16. False for text that cannot be UTF-8 (a
// character above 0xFF on POSIX, a lone surrogate on Win32).
bool HostTextToUtf8(const std::wstring& text, std::string* pBytes);
