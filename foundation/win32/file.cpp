// The host half of CFile and CFolder on Win32, and the file-name rules of Win32 paths.
#include "foundation/file.h"

#include <winternl.h>

#include <cstring>
#include <string>
#include <utility>
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

// ntdll's own entry points, looked up rather than linked so that the program imports only
// the usual DLLs. The Win32 calls that give a file's index or change time go through the
// same queries but also fill in the volume serial number, which Wine fetches from its mount
// manager in another process on every call.
struct CNtFileQueries {
    typedef NTSTATUS(NTAPI* QueryInformationFile)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG,
                                                  FILE_INFORMATION_CLASS);
    typedef NTSTATUS(NTAPI* QueryFullAttributesFile)(POBJECT_ATTRIBUTES, PVOID);
    typedef BOOLEAN(NTAPI* DosPathNameToNtPathName)(PCWSTR, PUNICODE_STRING, PWSTR*, PVOID);
    typedef VOID(NTAPI* FreeUnicodeString)(PUNICODE_STRING);

    QueryInformationFile m_pQueryInformationFile;
    QueryFullAttributesFile m_pQueryFullAttributesFile;
    DosPathNameToNtPathName m_pDosPathNameToNtPathName;
    FreeUnicodeString m_pFreeUnicodeString;

    CNtFileQueries() {
        const HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
        m_pQueryInformationFile = Lookup<QueryInformationFile>(hNtdll, "NtQueryInformationFile");
        m_pQueryFullAttributesFile =
            Lookup<QueryFullAttributesFile>(hNtdll, "NtQueryFullAttributesFile");
        m_pDosPathNameToNtPathName =
            Lookup<DosPathNameToNtPathName>(hNtdll, "RtlDosPathNameToNtPathName_U");
        m_pFreeUnicodeString = Lookup<FreeUnicodeString>(hNtdll, "RtlFreeUnicodeString");
    }

    template <typename Function>
    static Function Lookup(HMODULE hModule, const char* pszName) {
        if (hModule == nullptr) return nullptr;
        return reinterpret_cast<Function>(
            reinterpret_cast<void*>(GetProcAddress(hModule, pszName)));
    }

    static const CNtFileQueries& Get() {
        static const CNtFileQueries s_queries;
        return s_queries;
    }
};

// What a handle or a name tells of its file in one query (FILE_NETWORK_OPEN_INFORMATION).
struct CFileFacts {
    LARGE_INTEGER m_creationTime;
    LARGE_INTEGER m_lastAccessTime;
    LARGE_INTEGER m_lastWriteTime;
    LARGE_INTEGER m_changeTime;
    LARGE_INTEGER m_allocationSize;
    LARGE_INTEGER m_endOfFile;
    ULONG m_nAttributes;
};
constexpr FILE_INFORMATION_CLASS kFileNetworkOpenInformation =
    static_cast<FILE_INFORMATION_CLASS>(34);

// The facts of the file behind the handle.
bool ReadFactsOfHandle(HANDLE hFile, CFileFacts* pFacts) {
    const CNtFileQueries& nt = CNtFileQueries::Get();
    if (nt.m_pQueryInformationFile == nullptr) return false;
    IO_STATUS_BLOCK status;
    return nt.m_pQueryInformationFile(hFile, &status, pFacts, sizeof *pFacts,
                                      kFileNetworkOpenInformation) >= 0;
}

// The facts of the file a path names, without opening it: Wine answers this inside the
// process, where an open, its checks and its close cost four wineserver round trips.
bool ReadFactsOfPath(const wchar_t* pszPath, CFileFacts* pFacts) {
    const CNtFileQueries& nt = CNtFileQueries::Get();
    if (nt.m_pQueryFullAttributesFile == nullptr || nt.m_pDosPathNameToNtPathName == nullptr ||
        nt.m_pFreeUnicodeString == nullptr) {
        return false;
    }
    UNICODE_STRING name;
    if (!nt.m_pDosPathNameToNtPathName(pszPath, &name, nullptr, nullptr)) return false;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    const bool bRead = nt.m_pQueryFullAttributesFile(&attributes, pFacts) >= 0;
    nt.m_pFreeUnicodeString(&name);
    return bRead;
}

// Whether the handle is a folder's.
bool IsFolder(HANDLE hFile) {
    CFileFacts facts;
    return ReadFactsOfHandle(hFile, &facts) &&
           (facts.m_nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Opens what the path names, file or folder, only to look at it; INVALID_HANDLE_VALUE when
// nothing is there. Backup semantics is the only way CreateFileW opens a folder.
HANDLE OpenToLookAt(const wchar_t* pszPath) {
    return CreateFileW(pszPath, FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The path with a final separator, so that a name may follow it.
std::wstring WithFinalSeparator(const std::wstring& folderPath) {
    std::wstring path = folderPath;
    if (!path.empty() && path.back() != L'\\') path += L'\\';
    return path;
}

// Appends to *pPath the name text for the bytes of a request path: UTF-8 becomes UTF-16,
// bytes that are not UTF-8 stay byte for character (they may still name a file in the
// single-byte sense), and '/' becomes '\\'.
void AppendPathText(const char* pszBytes, std::wstring* pPath) {
    const size_t n = std::strlen(pszBytes);
    if (n == 0) return;
    const size_t start = pPath->size();
    const int length = static_cast<int>(n);
    const int wide =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pszBytes, length, nullptr, 0);
    if (wide > 0) {
        pPath->resize(start + static_cast<size_t>(wide));
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, pszBytes, length, &(*pPath)[start],
                            wide);
    } else {
        for (size_t i = 0; i < n; ++i) {
            pPath->push_back(static_cast<wchar_t>(static_cast<unsigned char>(pszBytes[i])));
        }
    }
    for (size_t i = start; i < pPath->size(); ++i) {
        if ((*pPath)[i] == L'/') (*pPath)[i] = L'\\';
    }
}

// The path of relative (request path bytes) inside the folder at folderPath: the one
// conversion a path below a folder makes on its way to the open.
std::wstring PathBelow(const std::wstring& folderPath, const char* pszRelative) {
    std::wstring path = WithFinalSeparator(folderPath);
    AppendPathText(pszRelative, &path);
    return path;
}

// The path of the folder at relative below the root, a final separator in relative allowed
// ("" for the root itself).
std::wstring FolderPathBelow(const std::wstring& rootPath, const char* pszRelative) {
    std::wstring path = PathBelow(rootPath, pszRelative);
    while (path.size() > rootPath.size() && (path.back() == L'\\' || path.back() == L'/')) {
        path.pop_back();
    }
    return path.size() > rootPath.size() ? path : rootPath;
}

// The file system's index of the file or folder behind the handle, or 0 when it cannot be
// read.
uint64_t FileIndexOf(HANDLE hFile) {
    const CNtFileQueries& nt = CNtFileQueries::Get();
    if (nt.m_pQueryInformationFile == nullptr) return 0;
    IO_STATUS_BLOCK status;
    FILE_INTERNAL_INFORMATION info;
    if (nt.m_pQueryInformationFile(hFile, &status, &info, sizeof info, FileInternalInformation) <
        0) {
        return 0;
    }
    return static_cast<uint64_t>(info.IndexNumber.QuadPart);
}

// How long before its opening a file must have last changed for its times to tell it from a
// file put in its place afterwards: well above the tick of any file system's clock (15.6 ms
// on Windows, a few ms under Wine), so that a later change can never carry the same time.
constexpr int64_t kStrongValidatorAge = 10'000'000;  // 1 s in 100 ns units

// Whether a file last changed at changeTime (0 where the file system keeps no change time)
// did so long enough ago for IsStillAt to trust its times.
bool ChangedAtLeastASecondAgo(int64_t changeTime) {
    if (changeTime <= 0) return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t nowTime =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return changeTime < nowTime - kStrongValidatorAge;
}

// Whether the file system of the folder behind the handle keeps a change time that every
// write and rename moves. Asked once per folder: under Wine the answer comes from the mount
// manager in another process.
bool KeepsChangeTimes(HANDLE hFolder) {
    wchar_t szFileSystem[MAX_PATH + 1] = {0};
    if (!GetVolumeInformationByHandleW(hFolder, nullptr, 0, nullptr, nullptr, nullptr, szFileSystem,
                                       MAX_PATH + 1)) {
        return false;
    }
    return CompareStringOrdinal(szFileSystem, -1, L"NTFS", -1, TRUE) == CSTR_EQUAL ||
           CompareStringOrdinal(szFileSystem, -1, L"ReFS", -1, TRUE) == CSTR_EQUAL;
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

// Whether the final path is the folder's own final path or lies below it.
bool IsAtOrBelow(const std::wstring& path, const std::wstring& folder) {
    return IsBelow(path, folder) ||
           (!folder.empty() &&
            CompareStringOrdinal(path.c_str(), -1, folder.c_str(), -1, TRUE) == CSTR_EQUAL);
}

// The UTF-8 bytes of a UTF-16 name; false for a name with a lone surrogate, which no
// request's UTF-8 can spell.
bool Utf8Of(const wchar_t* pName, size_t n, std::string* pBytes) {
    const int length = static_cast<int>(n);
    const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pName, length, nullptr, 0,
                                         nullptr, nullptr);
    if (size <= 0) return false;
    pBytes->resize(static_cast<size_t>(size));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pName, length, &(*pBytes)[0], size,
                               nullptr, nullptr) == size;
}

// Whether a folder entry with these attributes and UTF-8 name is one a request could be
// served: not hidden (nor "." or ".."), and of a name the file system gives no other meaning.
bool IsListable(DWORD attributes, const std::string& name) {
    if ((attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE)) !=
        0) {
        return false;
    }
    if (name.empty() || name[0] == '.' || name.find(':') != std::string::npos) return false;
    return !IsReservedPathSegment(name.data(), name.size());
}

// The entry that a link or junction at path stands for: what it finally leads to, when
// that is a file or folder below the root's final path.
bool ReadLinkedEntry(const std::wstring& path, const std::wstring& rootFinalPath,
                     CFolderEntry* pEntry) {
    HANDLE hTarget = OpenToLookAt(path.c_str());
    if (hTarget == INVALID_HANDLE_VALUE) return false;
    CFileFacts facts;
    const bool bInside = IsBelow(FinalPathOf(hTarget), rootFinalPath) &&
                         GetFileType(hTarget) == FILE_TYPE_DISK &&
                         ReadFactsOfHandle(hTarget, &facts);
    CloseHandle(hTarget);
    if (!bInside) return false;
    pEntry->m_bFolder = (facts.m_nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    pEntry->m_nSize = pEntry->m_bFolder ? 0 : static_cast<uint64_t>(facts.m_endOfFile.QuadPart);
    pEntry->m_nWriteTime = static_cast<uint64_t>(facts.m_lastWriteTime.QuadPart);
    return true;
}

}  // namespace

void CFile::CloseHandleOf(FileHandle hFile) {
    CloseHandle(hFile);
}

bool CFile::Adopt(FileHandle hFile) {
    m_hFile = hFile;
    m_bRegular = false;
    m_nOpenedSize = 0;
    m_nModified = 0;
    m_bIdentifiable = false;
    m_bStrongValidator = false;
    if (m_hFile == kInvalidFileHandle) return false;
    // CreateFileW tells nothing about the file, so it is asked once here, in one query that
    // Wine answers inside the process. Consoles, pipes and character devices open through
    // CreateFileW as well, and only a disk file has facts worth reading.
    if (GetFileType(m_hFile) != FILE_TYPE_DISK) return true;
    CFileFacts facts;
    if (!ReadFactsOfHandle(m_hFile, &facts)) return true;
    // The type of an open file never changes, so these answers stay true.
    m_bRegular = (facts.m_nAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    m_nOpenedSize = static_cast<uint64_t>(facts.m_endOfFile.QuadPart);
    m_nDevice = 0;
    m_nIndex = static_cast<uint64_t>(facts.m_creationTime.QuadPart);
    m_nModified = facts.m_lastWriteTime.QuadPart;
    m_nChanged = facts.m_changeTime.QuadPart;
    return true;
}

bool CFile::Open(const wchar_t* pszPath, DWORD access, DWORD shareMode, DWORD disposition,
                 DWORD flags) {
    Close();
    return Adopt(CreateFileW(pszPath, access, shareMode, nullptr, disposition, flags, nullptr));
}

bool CFile::OpenBelow(const CFolder& folder, const char* pszRelative) {
    // As Open does, the file held before is let go first rather than leaked.
    Close();
    if (!folder.IsOpen()) return false;
    const std::wstring path = PathBelow(folder.m_path, pszRelative);
    if (!Adopt(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr))) {
        return false;
    }
    // Links, junctions and (under Wine) host links are followed by the open; where they led
    // is checked on the handle, so no step of the walk can be swapped in between.
    if (IsBelow(FinalPathOf(m_hFile), folder.m_finalPath)) {
        m_bIdentifiable =
            m_bRegular && folder.FilesMayBeKept() && ChangedAtLeastASecondAgo(m_nChanged);
        m_bStrongValidator = m_bIdentifiable;
        return true;
    }
    Close();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
}

bool CFile::CreateIn(const CFolder& folder, const char* pszName) {
    Close();
    if (!folder.IsOpen() || !IsOneNameSegment(pszName)) return false;
    const std::wstring path = PathBelow(folder.m_path, pszName);
    // CREATE_NEW fails on any entry of the name; opening the reparse point itself keeps a
    // link that appears meanwhile from being followed. DELETE lets a refused file be undone.
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return false;
    // The folder's path may have been turned into a link since it was opened: the new file
    // must still lie directly in the folder's final path.
    const std::wstring finalPath = FinalPathOf(hFile);
    const std::wstring expected = WithFinalSeparator(folder.m_finalPath);
    if (!IsBelow(finalPath, folder.m_finalPath) ||
        finalPath.find(L'\\', expected.size()) != std::wstring::npos) {
        FILE_DISPOSITION_INFO disposition;
        disposition.DeleteFile = TRUE;
        SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof disposition);
        CloseHandle(hFile);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return Adopt(hFile);
}

RenameResult CFile::RenameIn(const CFolder& folder, const char* pszFrom, const char* pszTo) {
    if (!folder.IsOpen() || !IsOneNameSegment(pszFrom) || !IsOneNameSegment(pszTo)) {
        return RenameResult::kFailed;
    }
    const std::wstring from = PathBelow(folder.m_path, pszFrom);
    const std::wstring to = PathBelow(folder.m_path, pszTo);
    // Without MOVEFILE_REPLACE_EXISTING an existing name is refused, never replaced.
    if (MoveFileExW(from.c_str(), to.c_str(), 0)) return RenameResult::kRenamed;
    const DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? RenameResult::kExists
                                                                       : RenameResult::kFailed;
}

bool CFile::RemoveIn(const CFolder& folder, const char* pszName) {
    if (!folder.IsOpen() || !IsOneNameSegment(pszName)) return false;
    return DeleteFileW(PathBelow(folder.m_path, pszName).c_str()) != 0;
}

bool CFile::LastWriteFoundDiskFull() {
    const DWORD error = GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

bool CFile::IsFolderBelow(const CFolder& folder, const char* pszRelative) {
    if (!folder.IsOpen()) return false;
    const std::wstring path = PathBelow(folder.m_path, pszRelative);
    HANDLE hFolder = OpenToLookAt(path.c_str());
    if (hFolder == INVALID_HANDLE_VALUE) return false;
    // Where links and junctions led is checked on the handle, as OpenBelow does.
    const bool bFolder = IsFolder(hFolder) && IsBelow(FinalPathOf(hFolder), folder.m_finalPath);
    CloseHandle(hFolder);
    return bFolder;
}

DWORD CFile::Read(void* pBuffer, DWORD count) {
    DWORD read = 0;
    if (!ReadFile(m_hFile, pBuffer, count, &read, nullptr)) return 0;
    return read;
}

DWORD CFile::Write(const void* pData, DWORD count) {
    DWORD written = 0;
    if (!WriteFile(m_hFile, pData, count, &written, nullptr)) return 0;
    return written;
}

DWORD CFile::GetSize() const {
    // GetFileSizeEx rather than GetFileSize, so that a closed file gives 0 as on POSIX.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_hFile, &size)) return 0;
    return static_cast<DWORD>(static_cast<uint64_t>(size.QuadPart));
}

FILETIME CFile::GetLastWriteTime() const {
    FILETIME written = {0, 0};
    if (!GetFileTime(m_hFile, nullptr, nullptr, &written)) written = FILETIME{0, 0};
    return written;
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

// Deleting or renaming a file needs every handle to it to share deletion, and this one does
// not: under Wine a file deleted while a handle shares that stays where it was, unchanged,
// until the handle closes, so nothing would tell it is gone.
const bool CFile::kHeldOpenKeepsOthersOut = true;

bool CFile::IsStillAt(const CFolder& folder, const char* pszRelative) const {
    // No query by name gives the file's index here, so a file put in the name's place is
    // told by its times: any such file was put there after this one was opened, which moved
    // its change time past this one's, last changed more than a clock tick before that.
    CFileFacts facts;
    if (!CanTellItIsStillAt() || !folder.IsOpen() ||
        !ReadFactsOfPath(PathBelow(folder.GetPath(), pszRelative).c_str(), &facts)) {
        return false;
    }
    return (facts.m_nAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
           static_cast<uint64_t>(facts.m_endOfFile.QuadPart) == m_nOpenedSize &&
           static_cast<uint64_t>(facts.m_creationTime.QuadPart) == m_nIndex &&
           facts.m_lastWriteTime.QuadPart == m_nModified &&
           facts.m_changeTime.QuadPart == m_nChanged;
}

uint64_t CFile::GetOpenedWriteTime() const {
    // Read with the size by the one query that opening makes (FileNetworkOpenInformation).
    return IsOpen() && m_nModified > 0 ? static_cast<uint64_t>(m_nModified) : 0;
}

bool CFolder::Open(const wchar_t* pszPath) {
    Close();
    HANDLE hFolder = OpenToLookAt(pszPath);
    if (hFolder == INVALID_HANDLE_VALUE) return false;
    const std::wstring finalPath = WithoutFinalSeparator(FinalPathOf(hFolder));
    if (finalPath.empty() || !IsFolder(hFolder)) {
        CloseHandle(hFolder);
        return false;
    }
    m_hFolder = hFolder;
    m_path = pszPath;
    m_finalPath = finalPath;
    m_bFilesKeepable = KeepsChangeTimes(hFolder);
    return true;
}

bool CFolder::OpenBelow(const CFolder& root, const char* pszRelative) {
    if (&root == this || !root.IsOpen()) return false;
    const std::wstring path = FolderPathBelow(root.m_path, pszRelative);
    HANDLE hFolder = OpenToLookAt(path.c_str());
    if (hFolder == INVALID_HANDLE_VALUE) return false;
    // Where links and junctions led is checked on the handle, as CFile::OpenBelow does.
    const std::wstring finalPath = WithoutFinalSeparator(FinalPathOf(hFolder));
    if (!IsFolder(hFolder) || !IsAtOrBelow(finalPath, root.m_finalPath)) {
        CloseHandle(hFolder);
        return false;
    }
    const bool bFilesKeepable = root.m_bFilesKeepable;
    Close();
    m_hFolder = hFolder;
    m_path = path;
    m_finalPath = finalPath;
    m_bFilesKeepable = bFilesKeepable;
    return true;
}

bool CFolder::IsStillAtPath() const {
    if (!IsOpen()) return false;
    HANDLE hAtPath = OpenToLookAt(m_path.c_str());
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
    m_bFilesKeepable = false;
    return true;
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

bool CanHoldFileName(const char* pszName) {
    if (!IsOneNameSegment(pszName)) return false;
    for (const char* p = pszName; *p; ++p) {
        if (static_cast<unsigned char>(*p) < 0x20 || std::strchr("<>:\"|?*", *p) != nullptr) {
            return false;
        }
    }
    return !IsReservedPathSegment(pszName, std::strlen(pszName));
}

bool ListFolderBelow(const CFolder& root, const char* pszRelative,
                     std::vector<CFolderEntry>* pEntries) {
    pEntries->clear();
    if (!root.IsOpen()) return false;
    const std::wstring path = FolderPathBelow(root.m_path, pszRelative);
    // The entries are read from the handle whose final path was checked, so no step of the
    // way can be swapped for a link in between.
    HANDLE hFolder =
        CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFolder == INVALID_HANDLE_VALUE) return false;
    if (!IsFolder(hFolder) ||
        !IsAtOrBelow(WithoutFinalSeparator(FinalPathOf(hFolder)), root.m_finalPath)) {
        CloseHandle(hFolder);
        return false;
    }
    const std::wstring prefix = WithFinalSeparator(path);
    // Many entries a call; the buffer is kept DWORD-aligned, as the records are.
    std::vector<DWORD> buffer(16384);
    CFolderEntry entry;
    bool bListed = true;
    for (;;) {
        if (!GetFileInformationByHandleEx(hFolder, FileFullDirectoryInfo, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
            bListed = GetLastError() == ERROR_NO_MORE_FILES;
            break;
        }
        const unsigned char* pRecord = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const FILE_FULL_DIR_INFO* pInfo = reinterpret_cast<const FILE_FULL_DIR_INFO*>(pRecord);
            const size_t nameLength = pInfo->FileNameLength / sizeof(wchar_t);
            if (Utf8Of(pInfo->FileName, nameLength, &entry.m_name) &&
                IsListable(pInfo->FileAttributes, entry.m_name)) {
                bool bServed = true;
                if ((pInfo->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                    bServed = ReadLinkedEntry(prefix + std::wstring(pInfo->FileName, nameLength),
                                              root.m_finalPath, &entry);
                } else {
                    entry.m_bFolder = (pInfo->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                    entry.m_nSize =
                        entry.m_bFolder ? 0 : static_cast<uint64_t>(pInfo->EndOfFile.QuadPart);
                    entry.m_nWriteTime = static_cast<uint64_t>(pInfo->LastWriteTime.QuadPart);
                }
                if (bServed) pEntries->push_back(std::move(entry));
            }
            if (pInfo->NextEntryOffset == 0) break;
            pRecord += pInfo->NextEntryOffset;
        }
    }
    CloseHandle(hFolder);
    if (!bListed) pEntries->clear();
    return bListed;
}

uint64_t FolderStampBelow(const CFolder& root, const char* pszRelative) {
    if (!root.IsOpen()) return 0;
    const std::wstring path = FolderPathBelow(root.m_path, pszRelative);
    HANDLE hFolder = OpenToLookAt(path.c_str());
    if (hFolder == INVALID_HANDLE_VALUE) return 0;
    CFileFacts facts;
    const bool bKnown = ReadFactsOfHandle(hFolder, &facts) &&
                        (facts.m_nAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                        IsAtOrBelow(WithoutFinalSeparator(FinalPathOf(hFolder)), root.m_finalPath);
    // The index tells apart folders whose times are the same: a folder and the one inside it,
    // made and filled within one tick of the clock, would otherwise pass for a link back up.
    const uint64_t index = bKnown ? FileIndexOf(hFolder) : 0;
    CloseHandle(hFolder);
    if (!bKnown) return 0;
    // NTFS moves a folder's write and change times when an entry is added, removed or
    // renamed; the creation time tells a folder put in its place.
    const uint64_t values[] = {index, static_cast<uint64_t>(facts.m_creationTime.QuadPart),
                               static_cast<uint64_t>(facts.m_lastWriteTime.QuadPart),
                               static_cast<uint64_t>(facts.m_changeTime.QuadPart)};
    return MixFolderStamp(values, sizeof values / sizeof values[0]);
}

std::string CFolder::GetNameBytes() const {
    const size_t separator = m_finalPath.find_last_of(L"\\/");
    const size_t start = separator == std::wstring::npos ? 0 : separator + 1;
    std::string name;
    // A drive's root ("C:") has no name of its own.
    if (m_finalPath.find(L':', start) != std::wstring::npos) return name;
    if (!Utf8Of(m_finalPath.data() + start, m_finalPath.size() - start, &name)) name.clear();
    return name;
}
