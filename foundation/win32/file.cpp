// The host half of CFile on Win32, and the file-name rules of Win32 paths.
#include "foundation/file.h"

#include <cstring>
#include <string>
#include <vector>

const wchar_t kPathSeparator = L'\\';

namespace {

// The handle's path with every link and junction resolved, long names, and no final
// separator (except a volume's root); empty when it cannot be read.
std::wstring FinalPathOf(HANDLE hFile) {
    std::vector<wchar_t> buffer(512);
    // The length needed can grow between calls only if the file is renamed meanwhile.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD length =
            GetFinalPathNameByHandleW(hFile, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return std::wstring();
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(static_cast<size_t>(length) + 1);
    }
    return std::wstring();
}

// Case-insensitive, as the file system compares names.
bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& start) {
    if (text.size() < start.size()) return false;
    return CompareStringOrdinal(text.data(), static_cast<int>(start.size()), start.data(),
                                static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

// Whether the final path lies strictly below the folder's final path.
bool IsBelow(const std::wstring& path, const std::wstring& folder) {
    if (folder.empty() || !StartsWithIgnoringCase(path, folder)) return false;
    if (folder.back() == L'\\') return path.size() > folder.size();
    return path.size() > folder.size() + 1 && path[folder.size()] == L'\\';
}

}  // namespace

CFile::CFile()
    : m_hFile(kInvalidFileHandle),
      m_bRegular(false),
      m_nOpenedSize(0),
      m_nDevice(0),
      m_nIndex(0),
      m_nModifiedNs(0),
      m_nChangedNs(0) {}

CFile::~CFile() {
    Close();
}

bool CFile::Open(const wchar_t* pszPath, DWORD access, DWORD shareMode, DWORD disposition,
                 DWORD flags) {
    return Adopt(CreateFileW(pszPath, access, shareMode, nullptr, disposition, flags, nullptr));
}

bool CFile::Adopt(FileHandle hFile) {
    // CreateFileW tells nothing about the file: what is wanted of it is asked for later.
    m_hFile = hFile;
    return m_hFile != kInvalidFileHandle;
}

bool CFile::OpenBelow(const CFolder& folder, const wchar_t* pszRelative) {
    if (!folder.IsOpen()) return false;
    std::wstring path = folder.m_path;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    path += pszRelative;
    if (!Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0)) {
        return false;
    }
    // Links, junctions and (under Wine) host links are followed by the open; where they led
    // is checked on the handle, so no step of the walk can be swapped in between.
    if (IsBelow(FinalPathOf(m_hFile), folder.m_finalPath)) return true;
    Close();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
}

bool CFile::IsFolderBelow(const CFolder& folder, const wchar_t* pszRelative) {
    if (!folder.IsOpen()) return false;
    std::wstring path = folder.m_path;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    path += pszRelative;
    // Backup semantics: the only way CreateFileW opens a folder.
    HANDLE hFolder = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    // Where links and junctions led is checked on the handle, as OpenBelow does.
    const bool bFolder = GetFileInformationByHandle(hFolder, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                         IsBelow(FinalPathOf(hFolder), folder.m_finalPath);
    CloseHandle(hFolder);
    return bFolder;
}

bool CFile::Close() {
    if (m_hFile != kInvalidFileHandle) {
        CloseHandle(m_hFile);
        m_hFile = kInvalidFileHandle;
    }
    return true;
}

DWORD CFile::Read(void* pBuffer, DWORD count) {
    DWORD read = 0;
    ReadFile(m_hFile, pBuffer, count, &read, nullptr);
    return read;
}

DWORD CFile::ReadAt(void* pBuffer, DWORD count, uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(m_hFile, pBuffer, count, &read, &at)) return 0;
    return read;
}

const bool CFile::kCanTellItIsStillAt = false;

bool CFile::IsStillAt(const wchar_t* /*pszPath*/) const {
    // Only opening tells which file a name leads to here; a file held open would also
    // keep others from replacing it.
    return false;
}

DWORD CFile::Write(const void* pData, DWORD count) {
    DWORD written = 0;
    WriteFile(m_hFile, pData, count, &written, nullptr);
    return written;
}

DWORD CFile::GetSize() const {
    return GetFileSize(m_hFile, nullptr);
}

uint64_t CFile::GetSize64() const {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_hFile, &size)) return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

uint64_t CFile::GetOpenedSize() const {
    // CreateFileW tells nothing about the file, so the size is asked for here.
    return GetSize64();
}

FILETIME CFile::GetLastWriteTime() const {
    FILETIME written = {0, 0};
    if (!GetFileTime(m_hFile, nullptr, nullptr, &written)) written = FILETIME{0, 0};
    return written;
}

bool CFile::IsRegularFile() const {
    if (m_hFile == kInvalidFileHandle) return false;
    // Consoles, pipes and character devices open through CreateFileW as well.
    if (GetFileType(m_hFile) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(m_hFile, &info)) return false;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

CFolder::CFolder() : m_hFolder(kInvalidFileHandle) {}

CFolder::~CFolder() {
    Close();
}

bool CFolder::Open(const wchar_t* pszPath) {
    Close();
    // Backup semantics: the only way CreateFileW opens a folder.
    HANDLE hFolder = CreateFileW(pszPath, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    std::wstring finalPath = FinalPathOf(hFolder);
    if (finalPath.empty() || !GetFileInformationByHandle(hFolder, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(hFolder);
        return false;
    }
    if (finalPath.size() > 1 && finalPath.back() == L'\\' &&
        finalPath[finalPath.size() - 2] != L':')
        finalPath.pop_back();
    m_hFolder = hFolder;
    m_path = pszPath;
    m_finalPath = finalPath;
    return true;
}

bool CFolder::IsStillAtPath() const {
    if (!IsOpen()) return false;
    HANDLE hAtPath = CreateFileW(m_path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hAtPath == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION atPath;
    BY_HANDLE_FILE_INFORMATION held;
    const bool bSame = GetFileInformationByHandle(hAtPath, &atPath) &&
                       GetFileInformationByHandle(m_hFolder, &held) &&
                       atPath.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                       atPath.nFileIndexHigh == held.nFileIndexHigh &&
                       atPath.nFileIndexLow == held.nFileIndexLow;
    CloseHandle(hAtPath);
    return bSame;
}

bool CFolder::Close() {
    if (m_hFolder != kInvalidFileHandle) CloseHandle(m_hFolder);
    m_hFolder = kInvalidFileHandle;
    m_path.clear();
    m_finalPath.clear();
    return true;
}

CString PathTextFromBytes(const char* pBytes, size_t n) {
    if (n == 0) return CString();
    int length = static_cast<int>(n);
    int wide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pBytes, length, nullptr, 0);
    // Not UTF-8: the bytes may still name a file in the single-byte sense.
    if (wide <= 0) return CString(pBytes, n);
    std::vector<wchar_t> text(static_cast<size_t>(wide) + 1, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pBytes, length, text.data(), wide);
    return CString(text.data());
}

namespace {

// ASCII case-insensitive comparison of a byte range with an upper-case word.
bool EqualsWord(const char* p, size_t n, const char* pszWord) {
    size_t length = std::strlen(pszWord);
    if (n != length) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = p[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != pszWord[i]) return false;
    }
    return true;
}

// COM and LPT take a digit, or one of the superscripts 1, 2, 3 (UTF-8), which Windows
// also maps onto the ports.
bool IsPortName(const char* p, size_t n) {
    if (n < 4 || !(EqualsWord(p, 3, "COM") || EqualsWord(p, 3, "LPT"))) return false;
    const unsigned char* pSuffix = reinterpret_cast<const unsigned char*>(p + 3);
    if (n == 4) return pSuffix[0] >= '0' && pSuffix[0] <= '9';
    if (n == 5 && pSuffix[0] == 0xC2) {
        return pSuffix[1] == 0xB9 || pSuffix[1] == 0xB2 || pSuffix[1] == 0xB3;
    }
    return false;
}

}  // namespace

bool IsReservedPathSegment(const char* pSegment, size_t n) {
    if (n == 0) return false;
    // The file system drops trailing dots and spaces, so "a.html." would open "a.html"
    // while looking like another name.
    char last = pSegment[n - 1];
    if (last == '.' || last == ' ') return true;
    // A device name stays a device with any extension, and blanks before the dot go too.
    size_t base = 0;
    while (base < n && pSegment[base] != '.') ++base;
    while (base > 0 && pSegment[base - 1] == ' ') --base;
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* pszDevice : kDevices) {
        if (EqualsWord(pSegment, base, pszDevice)) return true;
    }
    return IsPortName(pSegment, base);
}
