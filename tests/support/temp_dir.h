// A fresh folder for a test's files, removed with everything in it at the end of scope.
#pragma once

#include <filesystem>
#include <string>

class CTempDir {
public:
    CTempDir();   // creates a new, empty folder below the system's temporary folder
    ~CTempDir();  // removes the folder and all it holds
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // Writes bytes into the file name in the folder and returns its full path.
    std::filesystem::path WriteFile(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path m_path;
};
