// What CFile and CFolder do alike on every host: construction, closing, the facts kept from
// opening, FileExists, and the folder stamp's mix. The twins hold the calls that differ.
#include "foundation/file.h"

#include <cstring>

CFile::CFile()
    : m_hFile(kInvalidFileHandle),
      m_bRegular(false),
      m_nOpenedSize(0),
      m_bIdentifiable(false),
      m_bStrongValidator(false),
      m_nDevice(0),
      m_nIndex(0),
      m_nModified(0),
      m_nChanged(0) {}

CFile::~CFile() {
    Close();
}

bool CFile::Close() {
    if (m_hFile != kInvalidFileHandle) CloseHandleOf(m_hFile);
    m_hFile = kInvalidFileHandle;
    m_bRegular = false;
    m_nOpenedSize = 0;
    m_bIdentifiable = false;
    m_bStrongValidator = false;
    return true;
}

uint64_t CFile::GetOpenedSize() const {
    return m_nOpenedSize;
}

bool CFile::IsRegularFile() const {
    return m_hFile != kInvalidFileHandle && m_bRegular;
}

bool FileExists(const wchar_t* pszPath) {
    CFile file;
    return file.Open(pszPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}

CFolder::CFolder() : m_hFolder(kInvalidFileHandle), m_bFilesKeepable(false) {}

CFolder::~CFolder() {
    Close();
}

uint64_t MixFolderStamp(const uint64_t* pFacts, size_t count) {
    // FNV-1a over the facts' bytes; never 0, which stands for no folder.
    uint64_t stamp = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < count; ++i) {
        for (int shift = 0; shift < 64; shift += 8) {
            stamp = (stamp ^ ((pFacts[i] >> shift) & 0xFF)) * 0x100000001B3ull;
        }
    }
    return stamp != 0 ? stamp : 1;
}

bool IsOneNameSegment(const char* pszName) {
    if (pszName == nullptr || pszName[0] == '\0') return false;
    if (std::strcmp(pszName, ".") == 0 || std::strcmp(pszName, "..") == 0) return false;
    return std::strpbrk(pszName, "/\\") == nullptr;
}
