// Symbolic links for tests, made the way the host allows: symlink(2) on POSIX; on Win32 a
// symbolic link where the user may make one, or under Wine a host link made by ln.
#pragma once

#include <filesystem>
#include <string>

// Makes a symbolic link at link whose content is target: a relative text with '/' between
// its names, or an absolute path. bFolder: the link leads to a folder. False when links
// cannot be made here.
bool MakeSymbolicLink(const std::filesystem::path& link, const std::string& target,
                      bool bFolder = false);
