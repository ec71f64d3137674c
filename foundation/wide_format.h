// The system's own wide printf: the same meanings on every host.
//   %s  wide string (const wchar_t*)      %S   narrow string (const char*), byte for character
//   %d  32-bit signed (int)               %u   32-bit unsigned (unsigned int)
//   %lld 64-bit signed (long long)        %llu 64-bit unsigned (unsigned long long)
//   %c  wide character                    %%   a percent sign
// Anything else is copied as it stands. No flags, widths or precisions.
#pragma once

#include <cstdarg>
#include <cstddef>

// Writes at most cap characters including the terminator (nothing when cap is 0) and
// returns the length of the whole output, terminator not counted, as vsnprintf does.
int FormatWideV(wchar_t* pszOut, size_t cap, const wchar_t* pszFormat, va_list args);
int FormatWide(wchar_t* pszOut, size_t cap, const wchar_t* pszFormat, ...);
