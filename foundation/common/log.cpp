// Log: formats under g_logLock and hands the whole message to the installed console.
#include "foundation/log.h"

#include <cstdarg>
#include <cwchar>
#include <memory>

#include "foundation/critical_section.h"
#include "foundation/wide_format.h"

CCriticalSection g_logLock;

namespace {

constexpr size_t kLogBufferChars = 4096;
constexpr size_t kFormatKeptChars = 4094;   // the format is cut here
constexpr size_t kMessageKeptChars = 4095;  // and the message here

// Written and read only under g_logLock, so a sink swap never overlaps a message.
LogSink g_pfnLogSink = nullptr;

}  // namespace

LogSink SetLogSink(LogSink sink) {
    CCriticalLock lock(&g_logLock);
    const LogSink previous = g_pfnLogSink;
    g_pfnLogSink = sink;
    return previous;
}

void Log(const wchar_t* pszFormat, ...) {
    CCriticalLock lock(&g_logLock);
    std::unique_ptr<wchar_t[]> message(new wchar_t[kLogBufferChars]);
    std::unique_ptr<wchar_t[]> format(new wchar_t[kLogBufferChars]);

    wcsncpy(format.get(), pszFormat, kLogBufferChars - 1);
    format[kFormatKeptChars] = L'\0';

    va_list args;
    va_start(args, pszFormat);
    const int needed = FormatWideV(message.get(), kLogBufferChars, format.get(), args);
    va_end(args);
    message[kMessageKeptChars] = L'\0';

    size_t length = needed > 0 ? static_cast<size_t>(needed) : 0;
    if (length > kMessageKeptChars) length = kMessageKeptChars;
    if (g_pfnLogSink != nullptr) g_pfnLogSink(message.get(), length);
}
