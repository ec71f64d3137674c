// CTempDir: a uniquely named folder per test, so parallel test runs never share files.
#include "tests/support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>

CTempDir::CTempDir() {
    static std::atomic<unsigned> s_nCounter{0};
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            "kov-test-" + std::to_string(random()) + "-" + std::to_string(s_nCounter.fetch_add(1));
        const std::filesystem::path candidate = base / name;
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = candidate;
            return;
        }
    }
}

CTempDir::~CTempDir() {
    std::error_code error;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, error);
}

std::filesystem::path CTempDir::WriteFile(const std::string& name, const std::string& bytes) const {
    const std::filesystem::path path = m_path / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}
