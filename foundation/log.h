// The log console's writer: formats a message and hands it, whole and in lock order,
// to the console that the program installed.
#pragma once

#include <cstddef>

// Receives each message exactly as formatted; called with g_logLock held.
typedef void (*LogSink)(const wchar_t* pszText, size_t length);

// Installs the console (nullptr: messages are dropped). Returns the previous one.
LogSink SetLogSink(LogSink sink);

// Formats with the system's wide printf, cuts the format at 4094 and the message at
// 4095 characters, and appends it to the console under g_logLock. No line end is added.
void Log(const wchar_t* pszFormat, ...);
