// Choosing the document root from the command line or the program's own folder.
#pragma once

#include <cstddef>

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
