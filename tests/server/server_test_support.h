// Shared pieces of the server tests: a document root in a temporary folder, and bounded
// waiting for a condition that another thread brings about.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

// A fresh folder that serves as g_szWebRoot for one test; removed again at the end.
class CTempWebRoot {
public:
    CTempWebRoot();
    ~CTempWebRoot();
    CTempWebRoot(const CTempWebRoot&) = delete;
    CTempWebRoot& operator=(const CTempWebRoot&) = delete;

    // Writes a file below the root; relative uses '/' and may name new folders.
    void WriteFile(const std::string& relative, const std::string& content) const;
    const std::filesystem::path& Folder() const { return m_folder; }
    // The folder that holds the root, for files that must stay out of reach.
    const std::filesystem::path& Outside() const { return m_outside.Path(); }

private:
    CTempDir m_outside;
    std::filesystem::path m_folder;
};
