// CLogCapture: a sink that narrows every message into one shared text.
#include "tests/support/log_capture.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "foundation/log.h"

namespace {

std::mutex g_captureMutex;
std::string g_captured;
LogSink g_pfnPreviousSink = nullptr;

void CaptureSink(const wchar_t* pszText, size_t length) {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    for (size_t i = 0; i < length; ++i) g_captured.push_back(static_cast<char>(pszText[i]));
}

}  // namespace

CLogCapture::CLogCapture() {
    {
        std::lock_guard<std::mutex> lock(g_captureMutex);
        g_captured.clear();
    }
    g_pfnPreviousSink = SetLogSink(CaptureSink);
}

CLogCapture::~CLogCapture() {
    SetLogSink(g_pfnPreviousSink);
}

std::string CLogCapture::Text() const {
    std::lock_guard<std::mutex> lock(g_captureMutex);
    return g_captured;
}

bool CLogCapture::WaitFor(const std::string& needle, unsigned ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (Text().find(needle) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
