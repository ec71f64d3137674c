// Win32's own file-name rules: device names, trailing dots and blanks, UTF-8 request bytes
// becoming UTF-16 names, and what opens without being a plain disk file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "foundation/file.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

bool IsReserved(const std::string& segment) {
    return IsReservedPathSegment(segment.data(), segment.size());
}

// Makes a file with a wide name (a narrow name would be read in the ANSI code page).
void WriteWideNamedFile(const CTempDir& dir, const std::wstring& name, const std::string& bytes) {
    std::ofstream(fs::path(dir.Path().wstring() + L"\\" + name), std::ios::binary) << bytes;
}

std::string ReadAll(CFile& file) {
    std::string bytes;
    char buffer[512];
    for (DWORD n; (n = file.ReadAt(buffer, sizeof(buffer), bytes.size())) > 0;) {
        bytes.append(buffer, n);
    }
    return bytes;
}

}  // namespace

TEST(Win32File, DeviceNamesAreReservedInAnyCaseWithOrWithoutAnExtension) {
    for (const char* pszName : {"CON", "con", "Prn", "AUX", "nul", "NUL.txt", "nul.tar.gz",
                                "CON .html", "COM1", "com9.log", "COM0", "LPT1", "lpt9.html",
                                "CONIN$", "conout$.txt", "COM\xC2\xB9", "LPT\xC2\xB3.txt"}) {
        EXPECT_TRUE(IsReserved(pszName)) << pszName;
    }
    for (const char* pszName :
         {"CONSOLE", "COM10", "COM", "LPT", "connect.html", "nul-ish.txt", "auxiliary.txt",
          "index.html", ".hidden", "COM\xC2\xB4", "a.b", "prn_2.txt", "CONIN"}) {
        EXPECT_FALSE(IsReserved(pszName)) << pszName;
    }
}

TEST(Win32File, SegmentsEndingInADotOrABlankAreReserved) {
    // The file system drops these, so the name would open another file than it says.
    for (const char* pszName : {"index.html.", "index.html ", "a..", ".", "..", " ", "folder. "}) {
        EXPECT_TRUE(IsReserved(pszName)) << "'" << pszName << "'";
    }
    EXPECT_FALSE(IsReserved(""));
    EXPECT_FALSE(IsReserved(".a"));
}

TEST(Win32File, RequestBytesOpenTheirUTF16Files) {
    // UTF-8 becomes UTF-16 (four bytes a surrogate pair); bytes that are not UTF-8 (Latin-1,
    // a cut sequence, an over-long form) stay byte for character; '/' separates.
    CTempDir dir;
    fs::create_directory(dir.Path() / "sub");
    const struct {
        const wchar_t* m_pszName;
        const char* m_pszRequest;
        const char* m_pszContent;
    } cases[] = {
        {L"caf\u00e9 \u65e5\u672c.txt", "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt", "unicode"},
        {L"\xD83D\xDE00.txt", "\xF0\x9F\x98\x80.txt", "pair"},
        {L"\u00e9t\u00e9.txt", "\xE9t\xE9.txt", "latin-1"},
        {L"\u00e9t\u00e9.txt", "\xC3\xA9t\xC3\xA9.txt", "latin-1"},
        {L"a\u00c3.txt", "a\xC3.txt", "cut"},
        {L"\u00c0\u00af.txt", "\xC0\xAF.txt", "over-long"},
        {L"sub\\\u65e5.txt", "sub/\xE6\x97\xA5.txt", "below"},
    };
    for (const auto& c : cases) WriteWideNamedFile(dir, c.m_pszName, c.m_pszContent);
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    for (const auto& c : cases) {
        CFile file;
        ASSERT_TRUE(file.OpenBelow(folder, c.m_pszRequest)) << c.m_pszRequest;
        EXPECT_TRUE(file.IsRegularFile());
        EXPECT_EQ(ReadAll(file), c.m_pszContent) << c.m_pszRequest;
    }
}

TEST(Win32File, OnlyPlainDiskFilesAreRegular) {
    CTempDir dir;
    fs::create_directory(dir.Path() / "sub");
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    CFile file;
    EXPECT_FALSE(file.OpenBelow(folder, "sub")) << "a folder is not a file to serve";
    // By path a folder opens only with the backup flag, and is still not a file to serve.
    const std::wstring sub = (dir.Path() / "sub").wstring();
    EXPECT_FALSE(file.Open(sub.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
    ASSERT_TRUE(file.Open(sub.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                          FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_FALSE(file.IsRegularFile());
    // A device name below any folder reaches the device, if it opens at all.
    for (const char* pszDevice : {"NUL", "CON", "nul.txt"}) {
        CFile device;
        if (device.OpenBelow(folder, pszDevice)) {
            EXPECT_FALSE(device.IsRegularFile()) << pszDevice;
        }
    }
    CFile closed;
    EXPECT_FALSE(closed.IsRegularFile());
}

TEST(Win32File, SizesAbove4GiBAreWhole) {
    CTempDir dir;
    const std::wstring path = dir.Path().wstring() + L"\\big.bin";
    {
        CFile file;
        ASSERT_TRUE(file.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
        // A file that ends 5 GiB + 3 bytes in, without writing them.
        LARGE_INTEGER end;
        end.QuadPart = (5LL << 30) + 3;
        ASSERT_TRUE(SetFilePointerEx(file.GetHandle(), end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.GetHandle()));
    }
    CFolder folder;
    ASSERT_TRUE(folder.Open(dir.Path().wstring().c_str()));
    CFile file;
    ASSERT_TRUE(file.OpenBelow(folder, "big.bin"));
    EXPECT_EQ(file.GetOpenedSize(), (5ull << 30) + 3);
    EXPECT_EQ(file.GetSize(), (1u << 30) + 3u);  // the low 32 bits
    EXPECT_EQ(kPathSeparator, L'\\');
}
