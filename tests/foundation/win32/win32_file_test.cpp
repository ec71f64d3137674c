// Win32's own file-name rules: device names, trailing dots and blanks, UTF-8 request bytes
// becoming UTF-16 names, and what opens without being a plain disk file.
#include <gtest/gtest.h>

#include <string>

#include "foundation/file.h"
#include "tests/support/temp_dir.h"

namespace {

bool IsReserved(const std::string& segment) {
    return IsReservedPathSegment(segment.data(), segment.size());
}

bool OpenForReading(CFile& file, const std::wstring& path, DWORD flags = 0) {
    return file.Open(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                     flags);
}

// Makes a file with a wide name (std::ofstream would take narrow names in the ANSI code page).
std::wstring WriteWideNamedFile(const CTempDir& dir, const std::wstring& name,
                                const std::string& bytes) {
    std::wstring path = dir.Path().wstring() + L"\\" + name;
    CFile file;
    EXPECT_TRUE(file.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
    EXPECT_EQ(file.Write(bytes.data(), static_cast<DWORD>(bytes.size())), bytes.size());
    return path;
}

std::string ReadAll(CFile& file) {
    std::string bytes;
    char buffer[512];
    for (DWORD n; (n = file.Read(buffer, sizeof(buffer))) > 0;) bytes.append(buffer, n);
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

TEST(Win32File, UTF8BytesBecomeUTF16AndOtherBytesStayByteForCharacter) {
    EXPECT_EQ(std::wstring(PathTextFromBytes("caf\xC3\xA9.html", 10).GetString()),
              L"caf\u00e9.html");
    // Four UTF-8 bytes become a surrogate pair.
    EXPECT_EQ(std::wstring(PathTextFromBytes("\xF0\x9F\x98\x80", 4).GetString()), L"\xD83D\xDE00");
    EXPECT_EQ(std::wstring(PathTextFromBytes("\xE6\x97\xA5", 3).GetString()), L"\u65e5");
    // Latin-1 bytes, a cut sequence and an over-long form are not UTF-8.
    EXPECT_EQ(std::wstring(PathTextFromBytes("\xE9t\xE9", 3).GetString()), L"\u00e9t\u00e9");
    EXPECT_EQ(std::wstring(PathTextFromBytes("a\xC3", 2).GetString()), L"a\u00c3");
    EXPECT_EQ(std::wstring(PathTextFromBytes("\xC0\xAF", 2).GetString()), L"\u00c0\u00af");
    EXPECT_EQ(std::wstring(PathTextFromBytes("", 0).GetString()), L"");
    // Only n bytes count, whatever follows them.
    EXPECT_EQ(std::wstring(PathTextFromBytes("abc\xC3\xA9", 3).GetString()), L"abc");
}

TEST(Win32File, NamesMadeFromRequestBytesOpenTheirUTF16Files) {
    CTempDir dir;
    WriteWideNamedFile(dir, L"caf\u00e9 \u65e5\u672c.txt", "unicode name");
    WriteWideNamedFile(dir, L"\u00e9t\u00e9.txt", "latin-1 name");
    const std::string requests[][2] = {
        {"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt", "unicode name"},
        {"\xE9t\xE9.txt", "latin-1 name"},
        {"\xC3\xA9t\xC3\xA9.txt", "latin-1 name"},
    };
    for (const auto& request : requests) {
        CString name = PathTextFromBytes(request[0].data(), request[0].size());
        std::wstring path = dir.Path().wstring() + L"\\" + name.GetString();
        CFile file;
        ASSERT_TRUE(OpenForReading(file, path)) << request[0];
        EXPECT_TRUE(file.IsRegularFile());
        EXPECT_EQ(ReadAll(file), request[1]);
    }
}

TEST(Win32File, OnlyPlainDiskFilesAreRegular) {
    CTempDir dir;
    CFile folder;
    // A folder opens only with the backup flag, and is not a file to serve.
    ASSERT_TRUE(OpenForReading(folder, dir.Path().wstring(), FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_FALSE(folder.IsRegularFile());
    // A device name below any folder reaches the device, if it opens at all.
    for (const wchar_t* pszDevice : {L"\\NUL", L"\\CON", L"\\nul.txt"}) {
        CFile device;
        if (OpenForReading(device, dir.Path().wstring() + pszDevice)) {
            EXPECT_FALSE(device.IsRegularFile()) << testing::PrintToString(std::wstring(pszDevice));
        }
    }
    CFile closed;
    EXPECT_FALSE(closed.IsRegularFile());
}

TEST(Win32File, SizesAbove4GiBAreWhole) {
    CTempDir dir;
    std::wstring path = dir.Path().wstring() + L"\\big.bin";
    {
        CFile file;
        ASSERT_TRUE(file.Open(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
        // A file that ends 5 GiB + 3 bytes in, without writing them.
        LARGE_INTEGER end;
        end.QuadPart = (5LL << 30) + 3;
        ASSERT_TRUE(SetFilePointerEx(file.GetHandle(), end, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.GetHandle()));
    }
    CFile file;
    ASSERT_TRUE(OpenForReading(file, path));
    EXPECT_EQ(file.GetSize64(), (5ull << 30) + 3);
    EXPECT_EQ(file.GetSize(), static_cast<DWORD>(((5ull << 30) + 3) & 0xFFFFFFFFu));
    EXPECT_EQ(kPathSeparator, L'\\');
}
