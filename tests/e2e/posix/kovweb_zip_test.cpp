// A folder fetched whole as kovweb's zip archive, read by curl, Python's zipfile and the
// strict readers (7-Zip, libarchive's bsdtar, Info-ZIP's unzip): what it unpacks to, a
// download resumed from the middle, zip64 past 4 GiB and past 65,535 entries.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_harness.h"
#include "gtest/gtest.h"
#include "tests/support/links.h"

namespace {

// Reads an archive over HTTP by ranges (so that a 5 GiB one is never downloaded whole) or
// from a file, and prints each entry as "name size" with the bytes of the files named on
// the command line, or the first error. zipfile checks each CRC-32 as it reads an entry.
const char kReader[] = R"(
import sys, urllib.request, zipfile, io
class Ranges(io.RawIOBase):
    def __init__(self, url):
        self.url, self.at = url, 0
        self.size = int(urllib.request.urlopen(urllib.request.Request(url, method='HEAD')).headers['content-length'])
    def seekable(self): return True
    def readable(self): return True
    def seek(self, at, whence=0):
        self.at = at if whence == 0 else self.at + at if whence == 1 else self.size + at
        return self.at
    def readinto(self, b):
        if self.at >= self.size or len(b) == 0: return 0
        end = min(self.at + len(b), self.size) - 1
        data = urllib.request.urlopen(urllib.request.Request(self.url, headers={'Range': 'bytes=%d-%d' % (self.at, end)})).read()
        b[:len(data)] = data
        self.at += len(data)
        return len(data)
source = sys.argv[1]
z = zipfile.ZipFile(io.BufferedReader(Ranges(source), 1 << 16) if source.startswith('http') else source)
for info in z.infolist():
    assert info.flag_bits & 0x800, info.filename
    print(info.filename, info.file_size)
for name in sys.argv[2:]:
    print(name, z.read(name).decode())
)";

// Copies the archive at a URL to a file by two ranges, its first and its last 64 KiB, the
// rest left a hole: the zip of a sparse file of zeros (after.txt, then huge.bin) holds
// nothing else between them. Checks that a range past 4 GiB is zeros and that the CRC-32
// the central directory gives huge.bin is that of its size in zeros.
const char kSparseCopier[] = R"(
import sys, urllib.request, zipfile, zlib
url, path = sys.argv[1], sys.argv[2]
def get(first, last):
    return urllib.request.urlopen(urllib.request.Request(url, headers={'Range': 'bytes=%d-%d' % (first, last)})).read()
size = int(urllib.request.urlopen(urllib.request.Request(url, method='HEAD')).headers['content-length'])
piece = 1 << 16
with open(path, 'wb') as f:
    f.write(get(0, piece - 1))
    f.seek(size - piece)
    f.write(get(size - piece, size - 1))
assert get(1 << 32, (1 << 32) + piece - 1) == bytes(piece), 'the bytes past 4 GiB are not zeros'
huge = zipfile.ZipFile(path).getinfo('huge.bin')
zeros, crc = bytes(1 << 24), 0
for _ in range(huge.file_size >> 24): crc = zlib.crc32(zeros, crc)
crc = zlib.crc32(bytes(huge.file_size & ((1 << 24) - 1)), crc)
assert huge.CRC == crc, 'CRC-32 %08x, not %08x' % (huge.CRC, crc)
)";

class KovwebZip : public ::testing::Test {
protected:
    void SetUp() override {
        m_python = FindOnPath("python3");
        m_curl = FindOnPath("curl");
        if (m_python.empty() || m_curl.empty()) GTEST_SKIP() << "python3 or curl is missing";
        ASSERT_FALSE(FolderText(m_dir).empty());
    }
    void TearDown() override {
        if (m_server.Port() != 0) {
            EXPECT_TRUE(m_server.Stop()) << m_server.Child().Out();
        }
    }

    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(m_server.Port()) + path;
    }
    CRunResult Run(const std::string& program, const std::vector<std::string>& args,
                   uint32_t ms = 100000) const {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(program, argv, ms);
    }
    CRunResult Read(std::vector<std::string> args) const {
        args.insert(args.begin(), {"-c", kReader});
        return Run(m_python, args);
    }
    // Has each of the readers (7z, bsdtar, unzip) test the archive at path: every one reads
    // it whole without a warning (a warning makes 7z and unzip exit with 1, bsdtar write to
    // its errors); 7z reads only the entry named only, when one is.
    void ExpectStrictReadersAccept(const std::string& path, const std::vector<std::string>& readers,
                                   const std::string& only = "") const {
        // Names are printed in the locale's encoding, which must hold UTF-8 ones.
        const std::string env = FindOnPath("env");
        for (const std::string& reader : readers) {
            const std::string program = FindOnPath(reader);
            ASSERT_FALSE(program.empty()) << reader << " is missing (scripts/setup.sh test)";
            const char* pszTest = reader == "7z" ? "t" : reader == "bsdtar" ? "-tf" : "-tq";
            std::vector<std::string> args = {"LC_ALL=C.UTF-8", program, pszTest, path};
            if (reader == "7z" && !only.empty()) args.push_back(only);
            const CRunResult result = Run(env, args);
            EXPECT_EQ(result.m_nExitCode, 0) << reader << ": " << result.m_out << result.m_err;
            EXPECT_EQ(result.m_err, "") << reader;
        }
    }

    CTempDir m_dir;
    CRunningServer m_server;
    std::string m_python;
    std::string m_curl;
};

}  // namespace

TEST_F(KovwebZip, AFolderUnpacksAsListedAndAResumedDownloadIsTheSameArchive) {
    std::string photo;
    for (int i = 0; i < 300000; ++i) photo += static_cast<char>((i * 31 + i / 251) & 0xFF);
    ASSERT_TRUE(PutFile(m_dir, "share/album/\xC3\xA9t\xC3\xA9/photo 1.jpg", photo));
    ASSERT_TRUE(PutFile(m_dir, "share/album/\xC3\xA9t\xC3\xA9/deeper/note.txt", "deep"));
    ASSERT_TRUE(PutFile(m_dir, "share/album/\xE6\x97\xA5/empty/.keep-out", "hidden"));
    ASSERT_TRUE(PutFile(m_dir, "share/album/a.txt", "first"));
    ASSERT_TRUE(PutFile(m_dir, "share/album/index.html", "a page the archive does not replace"));
    // Links back up the way down (loops) are left out.
    ASSERT_TRUE(
        MakeSymbolicLink(m_dir.Path() / "share/album/\xC3\xA9t\xC3\xA9/deeper/up", "../..", true));
    ASSERT_TRUE(MakeSymbolicLink(m_dir.Path() / "share/album/loop", ".", true));
    ASSERT_TRUE(m_server.Start({FolderText(m_dir) + "/share/"}));
    const std::string whole = FolderText(m_dir) + "/whole.zip";
    const std::string resumed = FolderText(m_dir) + "/resumed.zip";
    const CRunResult get = Run(m_curl, {"-sS", "-D", "-", "-o", whole, Url("/album/?zip")});
    ASSERT_EQ(get.m_nExitCode, 0) << get.m_err;
    // The type and the name, as a browser reads them.
    EXPECT_NE(get.m_out.find("content-type: application/zip\r\ncontent-disposition: attachment; "
                             "filename=\"album.zip\"; filename*=UTF-8''album.zip\r\n"),
              std::string::npos)
        << get.m_out;

    // Cut after 100,000 bytes, in the middle of the photo, then resumed where it stopped.
    ASSERT_EQ(Run(m_curl, {"-sS", "-r", "0-99999", "-o", resumed, Url("/album/?zip")}).m_nExitCode,
              0);
    ASSERT_EQ(Run(m_curl, {"-sS", "-C", "-", "-o", resumed, Url("/album/?zip")}).m_nExitCode, 0);
    const std::string bytes = ReadWholeFile(whole);
    ASSERT_GT(bytes.size(), photo.size());
    EXPECT_TRUE(ReadWholeFile(resumed) == bytes) << "the resumed archive differs";

    const CRunResult read =
        Read({whole, "a.txt", "index.html", "\xC3\xA9t\xC3\xA9/deeper/note.txt"});
    EXPECT_EQ(read.m_nExitCode, 0) << read.m_err;
    EXPECT_EQ(read.m_out,
              "\xC3\xA9t\xC3\xA9/ 0\n\xC3\xA9t\xC3\xA9/deeper/ 0\n"
              "\xC3\xA9t\xC3\xA9/deeper/note.txt 4\n\xC3\xA9t\xC3\xA9/photo 1.jpg 300000\n"
              "\xE6\x97\xA5/ 0\n\xE6\x97\xA5/empty/ 0\na.txt 5\nindex.html 35\n"
              "a.txt first\nindex.html a page the archive does not replace\n"
              "\xC3\xA9t\xC3\xA9/deeper/note.txt deep\n");
    EXPECT_NE(bytes.find(photo), std::string::npos) << "the photo is not stored as it is";
    ExpectStrictReadersAccept(whole, {"7z", "bsdtar", "unzip"});
}

TEST_F(KovwebZip, ASparseFileOfFiveGiBTakesZip64AndWhatFollowsItReads) {
    ASSERT_TRUE(PutFile(m_dir, "share/big/after.txt", "after"));
    const CRunResult sparse =
        Run(FindOnPath("truncate"), {"-s", "5G", FolderText(m_dir) + "/share/big/huge.bin"});
    ASSERT_EQ(sparse.m_nExitCode, 0) << sparse.m_err;
    ASSERT_TRUE(m_server.Start({FolderText(m_dir) + "/share/"}));
    // The archive is copied by its head and its tail only, its 5 GiB of zeros left as a hole,
    // so that no client moves 5 GiB. The server still reads them all for the CRC-32, which a
    // sanitizer's build on a slow machine may take minutes over.
    const std::string big = FolderText(m_dir) + "/big.zip";
    const CRunResult copy = Run(m_python, {"-c", kSparseCopier, Url("/big/?zip"), big}, 240000);
    ASSERT_EQ(copy.m_nExitCode, 0) << copy.m_err;
    // The central directory lies past 4 GiB, and zipfile checks the CRC-32 of after.txt.
    const CRunResult read = Read({big, "after.txt"});
    EXPECT_EQ(read.m_nExitCode, 0) << read.m_err;
    EXPECT_EQ(read.m_out, "after.txt 5\nhuge.bin 5368709120\nafter.txt after\n");
    // Info-ZIP's unzip tests 5 GiB at a crawl: 7-Zip and bsdtar are the strict readers here.
    ExpectStrictReadersAccept(big, {"7z", "bsdtar"}, "after.txt");
}

TEST_F(KovwebZip, ATreeOf70000EntriesTakesAZip64CountThatEveryReaderReads) {
    // 70 folders of 1,000 empty files: past the 65,535 entries a zip holds without zip64.
    // Each is a hard link to one of two files outside the share (an inode takes 65,000 at
    // most), many times quicker to make than as many files.
    const std::filesystem::path many = m_dir.Path() / "share/many";
    for (int folder = 0; folder < 70; ++folder) {
        const std::filesystem::path name = many / std::to_string(100 + folder);
        const std::filesystem::path file = m_dir.Path() / std::to_string(folder % 2);
        ASSERT_TRUE(std::filesystem::create_directories(name));
        if (folder < 2) std::ofstream{file};
        for (int entry = 0; entry < 1000; ++entry) {
            std::error_code error;
            std::filesystem::create_hard_link(file, name / std::to_string(1000 + entry), error);
            ASSERT_FALSE(error) << error.message();
        }
    }
    ASSERT_TRUE(m_server.Start({FolderText(m_dir) + "/share/"}));
    const std::string archive = FolderText(m_dir) + "/many.zip";
    ASSERT_EQ(Run(m_curl, {"-sS", "-o", archive, Url("/many/?zip")}).m_nExitCode, 0);
    const CRunResult listed = Read({archive});
    EXPECT_EQ(listed.m_nExitCode, 0) << listed.m_err;
    EXPECT_EQ(std::count(listed.m_out.begin(), listed.m_out.end(), '\n'), 70070);
    ExpectStrictReadersAccept(archive, {"7z", "bsdtar", "unzip"});
}
