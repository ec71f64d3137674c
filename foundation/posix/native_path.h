// The bytes of a host path that the portable layer holds as wide text.
#pragma once

#include <string>

// The path as bytes, one per character; false when a character has no byte.
bool NativePath(const wchar_t* pszPath, std::string& path);
