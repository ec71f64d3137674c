// A temporary document root.
#include "tests/server/server_test_support.h"

#include <fstream>

#include "foundation/file.h"
#include "server/http_thread.h"

CTempWebRoot::CTempWebRoot() : m_folder(m_outside.Path() / "root") {
    std::filesystem::create_directories(m_folder);
    const std::wstring root = RootText();
    root.copy(g_szWebRoot, root.size());
    g_szWebRoot[root.size()] = L'\0';
    m_documentRoot.Set(root.c_str());
}

CTempWebRoot::~CTempWebRoot() {
    g_szWebRoot[0] = L'\0';
}

std::wstring CTempWebRoot::RootText() const {
    // Targets are joined to the root without a separator, so it must end with one.
    return m_folder.wstring() + kPathSeparator;
}

void CTempWebRoot::WriteFile(const std::string& relative, const std::string& content) const {
    const std::filesystem::path path = m_folder / std::filesystem::u8path(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}
