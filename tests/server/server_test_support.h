// Shared pieces of the server tests: a document root in a temporary folder, and bounded
// waiting for a condition that another thread brings about.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "server/document_root.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

// A fresh folder that serves as g_szWebRoot for one test (and so for every listener it
// starts), and as its own document root for workers and file caches; removed at the end.
class CTempWebRoot {
public:
    CTempWebRoot();
    ~CTempWebRoot();
    CTempWebRoot(const CTempWebRoot&) = delete;
    CTempWebRoot& operator=(const CTempWebRoot&) = delete;

    // Writes a file below the root; relative uses '/' and may name new folders.
    void WriteFile(const std::string& relative, const std::string& content) const;
    const std::filesystem::path& Folder() const { return m_folder; }
    // The root's path as a document root takes it, with its final separator.
    std::wstring RootText() const;
    CDocumentRoot& DocumentRoot() { return m_documentRoot; }
    // The folder that holds the root, for files that must stay out of reach.
    const std::filesystem::path& Outside() const { return m_outside.Path(); }

private:
    CTempDir m_outside;
    std::filesystem::path m_folder;
    CDocumentRoot m_documentRoot;
};
