// Mapping request targets onto the document root: what is served, what is refused, and the
// texts that a response shows.
#include "server/target.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/file.h"
#include "server/ascii.h"
#include "server/response_head.h"

namespace {

CMappedTarget Map(const std::string& target) {
    return MapTarget(target.data(), target.size());
}

}  // namespace

TEST(MapTargetTest, AllowedTargetsNameTheirFileBelowTheRoot) {
    // The path takes '/' for every separator, the 404 page's text '\'.
    struct {
        const char* m_pszTarget;
        const char* m_pszPath;
        const char* m_pszDisplay;
    } const cases[] = {
        {"/", "index.html", "index.html"},
        {"", "index.html", "index.html"},
        {"/docs/", "docs/index.html", "docs\\index.html"},
        {"/docs/a.txt", "docs/a.txt", "docs\\a.txt"},
        {"/a/b/c.css", "a/b/c.css", "a\\b\\c.css"},
        {"/a.txt?x=/../../etc", "a.txt", "a.txt"},
        {"/a.txt#../../frag", "a.txt", "a.txt"},
        {"/docs/?q", "docs/index.html", "docs\\index.html"},
        {"/%41%62c.TXT", "Abc.TXT", "Abc.TXT"},
        {"/a%2fb%2Fc", "a/b/c", "a\\b\\c"},
        {"/a\\b%5Cc", "a/b/c", "a\\b\\c"},
        {"/docs\\", "docs/index.html", "docs\\index.html"},
        {"%2fa.txt", "a.txt", "a.txt"},
        {"/100%25.txt", "100%.txt", "100%.txt"},
        {"/with%20space.txt", "with space.txt", "with space.txt"},
        {"/..a/b..x/.hidden", "..a/b..x/.hidden", "..a\\b..x\\.hidden"},
        {"/a//b", "a//b", "a\\\\b"},
        {"relative.txt", "relative.txt", "relative.txt"},
        // UTF-8 names arrive percent-encoded; the decoded bytes, not the escapes, name the file.
        {"/caf%C3%A9/%e2%82%AC.txt", "caf\xC3\xA9/\xE2\x82\xAC.txt",
         "caf\xC3\xA9\\\xE2\x82\xAC.txt"},
    };
    for (const auto& c : cases) {
        const CMappedTarget mapped = Map(c.m_pszTarget);
        EXPECT_TRUE(mapped.m_bAllowed) << c.m_pszTarget;
        EXPECT_EQ(mapped.m_path, c.m_pszPath) << c.m_pszTarget;
        EXPECT_EQ(mapped.m_display, c.m_pszDisplay) << c.m_pszTarget;
    }
    EXPECT_TRUE(Map("/docs/").m_bFolderIndex);
    EXPECT_FALSE(Map("/docs").m_bFolderIndex);
}

TEST(SplitTargetTest, ThePathEndsAtTheQueryOrTheFragmentAndTheQueryAtTheFragment) {
    struct {
        const char* m_pszTarget;
        const char* m_pszPath;
        const char* m_pszQuery;
    } const cases[] = {
        {"/docs/", "/docs/", ""},
        {"/docs/?sort=size&order=desc", "/docs/", "sort=size&order=desc"},
        {"/docs/?sort=date#top?x", "/docs/", "sort=date"},
        {"/docs/#frag?sort=size", "/docs/", ""},
        {"/a?b?c", "/a", "b?c"},
        {"?", "", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        const CTargetParts parts = SplitTarget(c.m_pszTarget, std::strlen(c.m_pszTarget));
        EXPECT_EQ(parts.m_pPath, c.m_pszTarget);
        EXPECT_EQ(std::string(parts.m_pPath, parts.m_nPath), c.m_pszPath) << c.m_pszTarget;
        EXPECT_EQ(std::string(parts.m_pQuery, parts.m_nQuery), c.m_pszQuery) << c.m_pszTarget;
    }
}

TEST(MapTargetTest, TargetsThatCouldLeaveTheRootAreRefused) {
    const std::string cases[] = {
        // parent segments, raw and encoded, with either separator
        "/..",
        "/../x",
        "/a/../../x",
        "/a/..",
        "/%2e%2e/x",
        "/%2E%2e%2fx",
        "/..%5cx",
        "/a\\..\\x",
        "/a%5c..%5cx",
        "/.%2e/x",
        "/x/..\\..\\y",
        // absolute and UNC forms once the one leading '/' is gone
        "//x",
        "///x",
        "/\\x",
        "/%2fx",
        "/%5c%5cserver%5cshare",
        "\\\\server\\share",
        // drive letters, streams, absolute-form targets
        "/C:/x",
        "/c%3a/x",
        "/a.txt:stream",
        "/a.txt::$DATA",
        "http://host/a.txt",
        // NUL, raw or encoded, would cut the name short
        "/a%00.txt",
        std::string("/a\0.txt", 7),
        // malformed escapes
        "/%",
        "/%4",
        "/a%zz",
        "/a%g1",
        "/a%1",
        "/%%41",
    };
    for (const std::string& target : cases) {
        const CMappedTarget mapped = Map(target);
        EXPECT_FALSE(mapped.m_bAllowed) << target;
        EXPECT_TRUE(mapped.m_path.empty()) << target;
    }
}

TEST(MapTargetTest, RefusedTargetsStillHaveADisplayText) {
    EXPECT_EQ(Map("/missing/../x?q").m_display, "missing\\..\\x");
    EXPECT_EQ(Map("/%2e%2e%2fsecret").m_display, "..\\secret");
    // Escapes that cannot be decoded are shown as they came, without the query.
    EXPECT_EQ(Map("/a%zz/b?q=%").m_display, "/a%zz/b");
    EXPECT_EQ(Map("/a%00b").m_display, std::string("a\0b", 3));
}

TEST(MapTargetTest, TargetsOf2048BytesOrMoreAreRefusedNeverCut) {
    const std::string longest = "/" + std::string(kMaxTargetLength - 1, 'a');
    EXPECT_TRUE(Map(longest).m_bAllowed);
    const std::string tooLong = longest + "b";
    const CMappedTarget mapped = Map(tooLong);
    EXPECT_FALSE(mapped.m_bAllowed);
    EXPECT_LE(mapped.m_display.size(), kMaxTargetLength);
    EXPECT_FALSE(mapped.m_display.empty());
}

TEST(MapTargetTest, SegmentsTheHostReservesAreRefused) {
    if (!IsReservedPathSegment("CON", 3)) GTEST_SKIP() << "this host reserves no names";
    EXPECT_FALSE(Map("/CON").m_bAllowed);
    EXPECT_FALSE(Map("/docs/con/x").m_bAllowed);
    EXPECT_TRUE(Map("/docs/console.txt").m_bAllowed);
}

TEST(MapTargetTest, ContentTypeFollowsTheMappedName) {
    EXPECT_STREQ(Map("/").m_pszContentType, "text/html; charset=utf-8");
    EXPECT_STREQ(Map("/site.CSS?v=2").m_pszContentType, "text/css; charset=utf-8");
    EXPECT_EQ(Map("/data.bin").m_pszContentType, nullptr);
    EXPECT_EQ(Map("/../x.html").m_pszContentType, nullptr);
}

TEST(FolderRedirectTest, TheAnswerSendsTheTargetOnWithItsSlashAndKeepsTheQuery) {
    const std::string target = "/docs/sub?x=1&y=2";
    const char kDate[] = "Tue, 08 Dec 2026 17:16:03 GMT";
    const std::string page =
        "<html><body><h1>301</h1><b>Moved to <a href=\"/docs/sub/?x=1&amp;y=2\">"
        "/docs/sub/?x=1&amp;y=2</a></b></body></html>\r\n";
    std::string answer;
    CReply reply;
    reply.m_pszDate = kDate;
    AppendMovedAnswer(&answer, FolderLocation(target.data(), target.size()), reply, false);
    EXPECT_EQ(answer,
              "HTTP/1.1 301 Moved Permanently\r\nlocation: /docs/sub/?x=1&y=2\r\n"
              "content-length: " +
                  std::to_string(page.size()) +
                  "\r\ncontent-type: text/html; charset=utf-8\r\ndate: " + kDate + "\r\n\r\n" +
                  page);
}

TEST(FolderRedirectTest, BytesThatCouldBreakTheHeadOrThePageAreEscaped) {
    const std::string target = "/a\r\nset-cookie: x\"<\xC3\xA9";
    std::string answer;
    AppendMovedAnswer(&answer, FolderLocation(target.data(), target.size()), CReply(), false);
    const std::string location = "/a%0D%0Aset-cookie:%20x\"<%C3%A9/";
    EXPECT_EQ(answer.rfind("HTTP/1.1 301 Moved Permanently\r\nlocation: " + location + "\r\n", 0),
              0u)
        << answer;
    EXPECT_NE(answer.find("href=\"/a%0D%0Aset-cookie:%20x&quot;&lt;%C3%A9/\""), std::string::npos)
        << answer;
}

TEST(EscapeHtmlTest, MarkupAndControlCharactersBecomeReferences) {
    EXPECT_EQ(EscapeHtml("<script>alert(\"x&y\")</script>'"),
              "&lt;script&gt;alert(&quot;x&amp;y&quot;)&lt;/script&gt;&#39;");
    EXPECT_EQ(EscapeHtml(std::string("a\0b\r\n\t\x1f\x7f", 8)), "a&#0;b&#13;&#10;&#9;&#31;&#127;");
    // UTF-8 and ordinary punctuation pass unchanged.
    EXPECT_EQ(EscapeHtml("caf\xC3\xA9 docs\\x.txt %20"), "caf\xC3\xA9 docs\\x.txt %20");
    // The C1 controls in their UTF-8 form, at the edges of their range and at the end;
    // their neighbours and a lone lead byte stay as they are.
    EXPECT_EQ(EscapeHtml("a\xC2\x80"
                         "b\xC2\x85"
                         "c\xC2\x9F"),
              "a&#128;b&#133;c&#159;");
    EXPECT_EQ(EscapeHtml("\xC2\xA0\xC2\x7F\xC2"), "\xC2\xA0\xC2&#127;\xC2");
}

TEST(ContentTypeTest, ASampleOfEachGroupInAnyCase) {
    struct {
        const char* m_pszName;
        const char* m_pszType;  // null: no type
    } const cases[] = {
        // the web's own
        {"index.html", "text/html; charset=utf-8"},
        {"a.HTM", "text/html; charset=utf-8"},
        {"mod.mjs", "text/javascript; charset=utf-8"},
        {"d.json", "application/json"},
        {"x.xml", "application/xml; charset=utf-8"},
        {"app.webmanifest", "application/manifest+json"},
        {"m.wasm", "application/wasm"},
        // images
        {"i.JPG", "image/jpeg"},
        {"i.svg", "image/svg+xml; charset=utf-8"},
        {"photo.avif", "image/avif"},
        {"p.HEIC", "image/heic"},
        {"favicon.ico", "image/x-icon"},
        // audio, video, playlists and subtitles
        {"song.flac", "audio/flac"},
        {"song.m4a", "audio/mp4"},
        {"voice.opus", "audio/ogg"},
        {"film.mkv", "video/x-matroska"},
        {"clip.mov", "video/quicktime"},
        {"seg.ts", "video/mp2t"},
        {"live.m3u8", "application/vnd.apple.mpegurl"},
        {"en.vtt", "text/vtt; charset=utf-8"},
        {"en.srt", "application/x-subrip"},
        // documents, books and fonts
        {"d.pdf", "application/pdf"},
        {"book.epub", "application/epub+zip"},
        {"r.docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"s.ods", "application/vnd.oasis.opendocument.spreadsheet"},
        {"f.woff2", "font/woff2"},
        {"f.otf", "font/otf"},
        // archives and packages
        {"a.7z", "application/x-7z-compressed"},
        {"x.tar.gz", "application/gzip"},
        {"a.zst", "application/zstd"},
        {"setup.exe", "application/vnd.microsoft.portable-executable"},
        // text and source shown as text
        {"r.txt", "text/plain; charset=utf-8"},
        {"n.md", "text/markdown; charset=utf-8"},
        {"cal.ics", "text/calendar; charset=utf-8"},
        {"main.c", "text/plain; charset=utf-8"},
        {"run.SH", "text/plain; charset=utf-8"},
        {"c.yml", "application/yaml"},
        // only the last extension of the last segment counts, whole
        {"archive.tar.Html", "text/html; charset=utf-8"},
        {"README", nullptr},
        {"a.htmlx", nullptr},
        {"a.ht", nullptr},
        {"a.", nullptr},
        {".", nullptr},
        {"dir.html\\file", nullptr},
        {"dir.html/file", nullptr},
        {"a.woff3", nullptr},
        {"a.webmanifests", nullptr},
    };
    for (const auto& c : cases) {
        const char* pszType = ContentTypeFor(c.m_pszName, strlen(c.m_pszName));
        if (c.m_pszType == nullptr) {
            EXPECT_EQ(pszType, nullptr) << c.m_pszName;
        } else {
            EXPECT_STREQ(pszType, c.m_pszType) << c.m_pszName;
        }
    }
    // A zero byte inside the extension is no part of a name the table knows.
    EXPECT_EQ(ContentTypeFor("a.txt\0x", 7), nullptr);
}
