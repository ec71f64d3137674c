// The host half of CFile on Win32, and the file-name rules of Win32 paths.
#include "foundation/file.h"

#include <winternl.h>

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

// The handle's directory flag and size. GetFileInformationByHandle would tell them too, but
// under Wine it also fills in the volume serial number by asking the mount manager in
// another process: about 19 wineserver requests and most of a millisecond per call.
bool ReadStandardInfo(HANDLE hFile, FILE_STANDARD_INFO* pInfo) {
    return GetFileInformationByHandleEx(hFile, FileStandardInfo, pInfo, sizeof *pInfo) != FALSE;
}

// The file system's index of the file or folder behind the handle, or 0 when it cannot be
// read. Asked of ntdll (looked up, not linked, so the program imports only the usual DLLs):
// the Win32 calls that give the index also give the volume serial number, which Wine fetches
// from its mount manager in another process each time.
uint64_t FileIndexOf(HANDLE hFile) {
    typedef NTSTATUS(NTAPI * QueryInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                   FILE_INFORMATION_CLASS);
    static const QueryInformationFile s_pQuery =
        reinterpret_cast<QueryInformationFile>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    if (s_pQuery == nullptr) return 0;
    IO_STATUS_BLOCK status;
    FILE_INTERNAL_INFORMATION info;
    if (s_pQuery(hFile, &status, &info, sizeof info, FileInternalInformation) < 0) return 0;
    return static_cast<uint64_t>(info.IndexNumber.QuadPart);
}

// The final path with no final separator, except a volume's root.
std::wstring WithoutFinalSeparator(std::wstring path) {
    if (path.size() > 1 && path.back() == L'\\' && path[path.size() - 2] != L':') path.pop_back();
    return path;
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
    m_hFile = hFile;
    m_bRegular = false;
    m_nOpenedSize = 0;
    if (m_hFile == kInvalidFileHandle) return false;
    // CreateFileW tells nothing about the file, so it is asked once here, in the one query
    // that Wine answers without its mount manager. Consoles, pipes and character devices open
    // through CreateFileW as well, and only a disk file has a standard record worth reading.
    if (GetFileType(m_hFile) != FILE_TYPE_DISK) return true;
    FILE_STANDARD_INFO info;
    if (!ReadStandardInfo(m_hFile, &info)) return true;
    // The type of an open file never changes, so these answers stay true.
    m_bRegular = !info.Directory;
    m_nOpenedSize = static_cast<uint64_t>(info.EndOfFile.QuadPart);
    return true;
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
    m_bRegular = false;
    m_nOpenedSize = 0;
    return true;
}

DWORD CFile::Read(void* pBuffer, DWORD count) {
    DWORD read = 0;
    ReadFile(m_hFile, pBuffer, count, &read, nullptr);
    return read;
}

DWORD CFile::ReadAt(void* pBuffer, DWORD count, uint64_t offset) {
    // A seek and a plain read rather than a read with an OVERLAPPED offset: under Wine the
    // latter posts a completion to the wineserver on every call, the former stays in the
    // process. The position is this object's own, so nothing else moves it in between.
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(m_hFile, at, nullptr, FILE_BEGIN)) return 0;
    DWORD read = 0;
    if (!ReadFile(m_hFile, pBuffer, count, &read, nullptr)) return 0;
    return read;
}

const bool CFile::kCanTellItIsStillAt = false;

bool CFile::IsStillAt(const wchar_t* /*pszPath*/) const {
    // Only opening tells which file a name leads to here. A look at the path (its size and
    // times) is not enough: a file held open, even shared for deletion, that another program
    // deletes keeps its name and unchanged facts until the last handle closes (under Wine,
    // and on Windows without POSIX deletion), so the look would serve a deleted file. A file
    // held open also makes a rename over its name fail. So files are closed after each answer.
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
    return m_nOpenedSize;
}

FILETIME CFile::GetLastWriteTime() const {
    FILETIME written = {0, 0};
    if (!GetFileTime(m_hFile, nullptr, nullptr, &written)) written = FILETIME{0, 0};
    return written;
}

bool CFile::IsRegularFile() const {
    return m_hFile != kInvalidFileHandle && m_bRegular;
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
    FILE_STANDARD_INFO info;
    const std::wstring finalPath = WithoutFinalSeparator(FinalPathOf(hFolder));
    if (finalPath.empty() || !ReadStandardInfo(hFolder, &info) || !info.Directory) {
        CloseHandle(hFolder);
        return false;
    }
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
    // An index is unique on its volume only: the same final path says it is the same volume,
    // since a folder of another volume put in its place (by a link or a junction) is reached
    // through another path; only a volume mounted at that very path would escape this.
    const uint64_t index = FileIndexOf(hAtPath);
    const bool bSame = index != 0 && index == FileIndexOf(m_hFolder) &&
                       CompareStringOrdinal(WithoutFinalSeparator(FinalPathOf(hAtPath)).c_str(), -1,
                                            m_finalPath.c_str(), -1, TRUE) == CSTR_EQUAL;
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
