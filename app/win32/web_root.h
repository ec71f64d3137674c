// The command line: a port option, then the document root or the program's own folder.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/command_line.h"

enum class RootSource { kCommandLine, kProgramFolder, kDefault, kTooLong };

// Where the arguments start in a whole command line: after the program's name (which may
// be quoted and hold blanks) and the blanks and control characters that follow it.
const wchar_t* SkipProgramName(const wchar_t* pszCommandLine);

// Fills pszRoot (cap characters with the terminator) with the document root: the argument
// text without one pair of surrounding double quotes, ending with a separator; when there
// is no argument, the folder of pszModulePath; otherwise "\webroot\". kTooLong leaves
// pszRoot empty.
RootSource ChooseDocumentRoot(const wchar_t* pszArguments, const wchar_t* pszModulePath,
                              wchar_t* pszRoot, size_t cap);

// Reads the options in front of the root into options, in the grammar of TakeOption (the
// last of each counts), and "--", after which the rest is the root whatever it starts
// with. Returns where the root's text starts, or null with refusal saying why when a word
// that starts with '-' is not understood or its value is refused.
const wchar_t* TakeOptions(const wchar_t* pszArguments, CStartOptions& options,
                           std::wstring& refusal);

// What a drop of items (full paths, as the shell gives them) on the window asks for: true
// with root the one dropped folder, ending with a separator; false with refusal saying why
// not, as one line ending with "\r\n".
bool ChooseDroppedRoot(const std::vector<std::wstring>& items, std::wstring& root,
                       std::wstring& refusal);

// Why root cannot be served: "no such folder", "not a folder", or the system's words for
// another failure; empty when it is an existing folder.
std::wstring RootRefusal(const wchar_t* pszRoot);

// The root as a full path, for people to read; the root itself when the system cannot say.
std::wstring FullPathForDisplay(const wchar_t* pszRoot);
