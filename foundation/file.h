// Owning file and folder handles, plus the few path facts that differ between hosts. A path
// below a folder is given as the bytes a request spelt it in, NUL-terminated, its segments
// separated by '/': POSIX opens those bytes as they are, Win32 reads them as UTF-8. Open,
// Read, Write, GetSize, GetLastWriteTime and FileExists are part of the file's contract,
// though the server itself opens files with OpenBelow and reads them with ReadAt: they
// work on any file by its path, as the Win32 file API's calls of the same names do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/object.h"
#include "foundation/platform_types.h"

class CFolder;

// One entry of a folder, as ListFolderBelow reads it.
struct CFolderEntry {
    std::string m_name;         // UTF-8 bytes (from UTF-16 on Win32; as they are on POSIX)
    bool m_bFolder = false;     // else a regular file
    uint64_t m_nSize = 0;       // bytes; 0 for folders
    uint64_t m_nWriteTime = 0;  // 100 ns units since 1601, as CFile::GetOpenedWriteTime
};

class CFile : public CObject {
public:
    CFile();
    ~CFile() override;

    // Opens path (the host's own text; on POSIX a '\\' in it is an ordinary character) with
    // the Win32 file API's access, share, disposition and flags values. POSIX understands
    // GENERIC_READ and GENERIC_WRITE with OPEN_EXISTING or CREATE_ALWAYS and ignores share and
    // flags; opening an existing file never blocks on a FIFO or device, which opens but is not
    // IsRegularFile.
    bool Open(const wchar_t* pszPath, DWORD access, DWORD shareMode, DWORD disposition,
              DWORD flags);
    // Opens the existing file at relative below folder for reading, but only when what it
    // finally names lies below the folder: a link that leads out of it is refused like a
    // missing file. On POSIX a link given as an absolute path is refused even when it leads
    // back inside. Never blocks on a FIFO or device: such a file opens but is not
    // IsRegularFile.
    bool OpenBelow(const CFolder& folder, const char* pszRelative);
    // Whether relative names a folder below folder, reached as OpenBelow reaches files: a
    // link that leads out of it counts as nothing there.
    static bool IsFolderBelow(const CFolder& folder, const char* pszRelative);
    bool Close();  // always true; the object is closed afterwards
    bool IsOpen() const { return m_hFile != kInvalidFileHandle; }

    // Bytes read from the current position on, which they advance; 0 at end of file or on
    // failure.
    DWORD Read(void* pBuffer, DWORD count);
    // Bytes written at the current position, which they advance; 0 on failure.
    DWORD Write(const void* pData, DWORD count);
    // The low 32 bits of the size as the host tells it now (the opened size is
    // GetOpenedSize); 0 when it cannot be read.
    DWORD GetSize() const;
    // The last write time as the host tells it now (the opened one is GetOpenedWriteTime);
    // zero when it cannot be read.
    FILETIME GetLastWriteTime() const;
    // Bytes read from offset on, whatever the current position; 0 at end of file or on failure.
    DWORD ReadAt(void* pBuffer, DWORD count, uint64_t offset);
    // The size as it was when the file opened: what a response announces before it reads,
    // without asking the host again where opening already told it.
    uint64_t GetOpenedSize() const;
    // The last write time as it was when the file opened, in 100 ns units since 1601 (the
    // unit of FILETIME), without asking the host again; 0 when it was not told.
    uint64_t GetOpenedWriteTime() const;
    // A plain file on disk: not a directory, device, pipe or socket.
    bool IsRegularFile() const;
    // Whether relative below folder still names this very file, unchanged since it was
    // opened (its size and times the same), so that it may be read again without opening it
    // anew. False whenever that cannot be told for sure without opening.
    bool IsStillAt(const CFolder& folder, const char* pszRelative) const;
    // Whether IsStillAt can ever be true for this file, so that keeping it open pays. On
    // Win32 only a file on a file system that keeps change times can be, and not when it
    // changed just before it was opened: a file put in its place within the same tick of the
    // file system's clock could not be told from it.
    bool CanTellItIsStillAt() const { return IsOpen() && m_bIdentifiable; }
    // Whether the file last changed a second or more before it was opened, which makes its
    // times a strong validator (as a modification date is, RFC 9110 8.8.2.2): any later
    // change moves the times IsStillAt compares, so bytes read from it now stay what it
    // holds for as long as IsStillAt says so.
    bool HasStrongValidator() const { return IsOpen() && m_bStrongValidator; }
    // Whether a file held open keeps other programs from deleting or renaming it, so that
    // it should not be held long when idle.
    static const bool kHeldOpenKeepsOthersOut;

    FileHandle GetHandle() const { return m_hFile; }

private:
    // Takes a handle just opened (or the invalid one), with what the host tells of it at
    // once; false, and nothing kept, when there is no file to read.
    bool Adopt(FileHandle hFile);
    // Gives the handle back to the host.
    static void CloseHandleOf(FileHandle hFile);

    FileHandle m_hFile;
    // What opening learnt for free on hosts that must look at the file anyway.
    bool m_bRegular;
    uint64_t m_nOpenedSize;
    // The identity and the times the host gave when the file opened, in the host's units
    // (nanoseconds on POSIX, 100 ns on Win32, where the creation time stands in for the
    // index that no query by name gives).
    bool m_bIdentifiable;
    bool m_bStrongValidator;
    uint64_t m_nDevice;
    uint64_t m_nIndex;
    int64_t m_nModified;
    int64_t m_nChanged;
};

// An open folder that files are opened below (CFile::OpenBelow), kept open so that each
// such open costs no more than a plain one.
class CFolder : public CObject {
public:
    CFolder();
    ~CFolder() override;

    // Opens the folder at path (the host's own text, a final separator allowed); false when
    // it is not an existing folder.
    bool Open(const wchar_t* pszPath);
    bool Close();  // always true
    bool IsOpen() const { return m_hFolder != kInvalidFileHandle; }
    // The path as Open was given it.
    const std::wstring& GetPath() const { return m_path; }
    // Whether the path still names this same folder, and not one made in its place since
    // it was opened (or nothing).
    bool IsStillAtPath() const;
    // Whether files opened below it may be kept open between requests (see m_bFilesKeepable).
    bool FilesMayBeKept() const { return m_bFilesKeepable; }
    // The folder's own name, the last segment of its path with every link resolved, as UTF-8
    // (on POSIX the bytes as they are); empty for a file system's root.
    std::string GetNameBytes() const;

private:
    friend class CFile;
    friend class CChangeWatch;
    friend bool ListFolderBelow(const CFolder& root, const char* pszRelative,
                                std::vector<CFolderEntry>* pEntries);
    friend uint64_t FolderStampBelow(const CFolder& root, const char* pszRelative);

    FileHandle m_hFolder;
    std::wstring m_path;
    // The path with every link resolved and no final separator, in the host's own text.
#ifdef _WIN32
    std::wstring m_finalPath;
#else
    std::string m_finalPath;
#endif
    // Whether files opened below it may be kept open between requests: always on POSIX,
    // where a file's index tells it apart; on Win32 only where the file system keeps a change
    // time that every write and rename moves (NTFS, ReFS; FAT keeps none).
    bool m_bFilesKeepable;
};

// Reads into *pEntries, in no set order, the entries of the folder at relative below root
// ("" for the root itself, '/'-separated as CFile::OpenBelow takes it, a final '/' allowed),
// reached as OpenBelow reaches files: false, and no entries, when no folder there may be
// listed. Only what a request could be served is read: not ".", "..", names starting with
// '.', (on Win32) entries marked hidden or system, names a request cannot spell or that
// IsReservedPathSegment refuses, devices, FIFOs and sockets, nor links whose final target
// is missing or outside root; a link that stays inside comes out as what it leads to.
bool ListFolderBelow(const CFolder& root, const char* pszRelative,
                     std::vector<CFolderEntry>* pEntries);

// A number that changes whenever an entry is added to, removed from or renamed in the
// folder at relative below root (reached as ListFolderBelow reaches it), or the folder is
// replaced: its identity and its own times. It does not change when only an entry's content,
// size or date does, so a listing kept under it must be checked by the change watch or read
// anew to be exact. 0 when no folder there may be listed.
uint64_t FolderStampBelow(const CFolder& root, const char* pszRelative);
// The stamp of a folder's facts as the host gives them (both twins share it).
uint64_t MixFolderStamp(const uint64_t* pFacts, size_t count);

// Whether path opens for reading (GENERIC_READ, shared read and write, OPEN_EXISTING, no
// flags), closed again at once.
bool FileExists(const wchar_t* pszPath);

// Whether the host's file system gives one path segment a meaning of its own (device
// names, trailing dots or spaces on Win32), so that it must never be opened from a request.
bool IsReservedPathSegment(const char* pSegment, size_t n);

// The separator the host puts between a folder and its contents.
extern const wchar_t kPathSeparator;
