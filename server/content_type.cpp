// One sorted table of extensions and their media types, searched by halves.
#include "server/content_type.h"

#include <cstring>

namespace {

struct CContentType {
    const char* m_pszExtension;  // lower case, sorted byte-wise
    const char* m_pszType;
};

// Media types as IANA registers them, or as browsers and mirrors expect them where IANA has
// none. Text is sent as UTF-8, which is what editors write today; a byte-order mark at the
// start of a file still overrides it in browsers. Source code is announced as plain text, so
// that a browser shows it instead of offering a download, and never runs it.
constexpr CContentType kContentTypes[] = {
    {"3g2", "video/3gpp2"},
    {"3gp", "video/3gpp"},
    {"3mf", "model/3mf"},
    {"7z", "application/x-7z-compressed"},
    {"aac", "audio/aac"},
    {"adoc", "text/plain; charset=utf-8"},
    {"ai", "application/postscript"},
    {"aif", "audio/aiff"},
    {"aifc", "audio/aiff"},
    {"aiff", "audio/aiff"},
    {"amr", "audio/amr"},
    {"apk", "application/vnd.android.package-archive"},
    {"apng", "image/apng"},
    {"appimage", "application/vnd.appimage"},
    {"arw", "image/x-sony-arw"},
    {"asc", "application/pgp-signature"},
    {"asf", "video/x-ms-asf"},
    {"asm", "text/plain; charset=utf-8"},
    {"ass", "text/x-ssa; charset=utf-8"},
    {"atom", "application/atom+xml"},
    {"au", "audio/basic"},
    {"avi", "video/x-msvideo"},
    {"avif", "image/avif"},
    {"azw", "application/vnd.amazon.ebook"},
    {"azw3", "application/vnd.amazon.mobi8-ebook"},
    {"bash", "text/plain; charset=utf-8"},
    {"bat", "text/plain; charset=utf-8"},
    {"bib", "text/plain; charset=utf-8"},
    {"bmp", "image/bmp"},
    {"bz", "application/x-bzip"},
    {"bz2", "application/x-bzip2"},
    {"c", "text/plain; charset=utf-8"},
    {"cab", "application/vnd.ms-cab-compressed"},
    {"caf", "audio/x-caf"},
    {"cbr", "application/vnd.comicbook-rar"},
    {"cbz", "application/vnd.comicbook+zip"},
    {"cc", "text/plain; charset=utf-8"},
    {"cer", "application/pkix-cert"},
    {"cfg", "text/plain; charset=utf-8"},
    {"cjs", "text/javascript; charset=utf-8"},
    {"clj", "text/plain; charset=utf-8"},
    {"cmake", "text/plain; charset=utf-8"},
    {"cmd", "text/plain; charset=utf-8"},
    {"conf", "text/plain; charset=utf-8"},
    {"cpio", "application/x-cpio"},
    {"cpp", "text/plain; charset=utf-8"},
    {"cr2", "image/x-canon-cr2"},
    {"crt", "application/x-x509-ca-cert"},
    {"cs", "text/plain; charset=utf-8"},
    {"css", "text/css; charset=utf-8"},
    {"csv", "text/csv; charset=utf-8"},
    {"cur", "image/x-icon"},
    {"cxx", "text/plain; charset=utf-8"},
    {"dart", "text/plain; charset=utf-8"},
    {"deb", "application/vnd.debian.binary-package"},
    {"diff", "text/plain; charset=utf-8"},
    {"djv", "image/vnd.djvu"},
    {"djvu", "image/vnd.djvu"},
    {"dmg", "application/x-apple-diskimage"},
    {"dng", "image/x-adobe-dng"},
    {"doc", "application/msword"},
    {"docm", "application/vnd.ms-word.document.macroenabled.12"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"dot", "application/msword"},
    {"dotx", "application/vnd.openxmlformats-officedocument.wordprocessingml.template"},
    {"dtd", "application/xml-dtd"},
    {"emf", "image/emf"},
    {"eot", "application/vnd.ms-fontobject"},
    {"eps", "application/postscript"},
    {"epub", "application/epub+zip"},
    {"erl", "text/plain; charset=utf-8"},
    {"ex", "text/plain; charset=utf-8"},
    {"exe", "application/vnd.microsoft.portable-executable"},
    {"exs", "text/plain; charset=utf-8"},
    {"f4v", "video/mp4"},
    {"fb2", "application/x-fictionbook+xml"},
    {"flac", "audio/flac"},
    {"flv", "video/x-flv"},
    {"geojson", "application/geo+json"},
    {"gif", "image/gif"},
    {"glb", "model/gltf-binary"},
    {"gltf", "model/gltf+json"},
    {"go", "text/plain; charset=utf-8"},
    {"gpx", "application/gpx+xml"},
    {"gradle", "text/plain; charset=utf-8"},
    {"gz", "application/gzip"},
    {"h", "text/plain; charset=utf-8"},
    {"heic", "image/heic"},
    {"heics", "image/heic-sequence"},
    {"heif", "image/heif"},
    {"hh", "text/plain; charset=utf-8"},
    {"hpp", "text/plain; charset=utf-8"},
    {"hs", "text/plain; charset=utf-8"},
    {"htm", "text/html; charset=utf-8"},
    {"html", "text/html; charset=utf-8"},
    {"hxx", "text/plain; charset=utf-8"},
    {"ico", "image/x-icon"},
    {"ics", "text/calendar; charset=utf-8"},
    {"ini", "text/plain; charset=utf-8"},
    {"iso", "application/x-iso9660-image"},
    {"jar", "application/java-archive"},
    {"java", "text/plain; charset=utf-8"},
    {"jfif", "image/jpeg"},
    {"jl", "text/plain; charset=utf-8"},
    {"jp2", "image/jp2"},
    {"jpe", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "text/javascript; charset=utf-8"},
    {"json", "application/json"},
    {"jsonl", "application/jsonl"},
    {"jsonld", "application/ld+json"},
    {"jsx", "text/plain; charset=utf-8"},
    {"jxl", "image/jxl"},
    {"kar", "audio/midi"},
    {"key", "application/vnd.apple.keynote"},
    {"kml", "application/vnd.google-earth.kml+xml"},
    {"kmz", "application/vnd.google-earth.kmz"},
    {"kt", "text/plain; charset=utf-8"},
    {"kts", "text/plain; charset=utf-8"},
    {"ktx", "image/ktx"},
    {"ktx2", "image/ktx2"},
    {"less", "text/plain; charset=utf-8"},
    {"log", "text/plain; charset=utf-8"},
    {"lua", "text/plain; charset=utf-8"},
    {"lz", "application/x-lzip"},
    {"lz4", "application/x-lz4"},
    {"lzma", "application/x-lzma"},
    {"m", "text/plain; charset=utf-8"},
    {"m2ts", "video/mp2t"},
    {"m2v", "video/mpeg"},
    {"m3u", "audio/mpegurl"},
    {"m3u8", "application/vnd.apple.mpegurl"},
    {"m4a", "audio/mp4"},
    {"m4b", "audio/mp4"},
    {"m4v", "video/mp4"},
    {"map", "application/json"},
    {"markdown", "text/markdown; charset=utf-8"},
    {"md", "text/markdown; charset=utf-8"},
    {"md5", "text/plain; charset=utf-8"},
    {"mid", "audio/midi"},
    {"midi", "audio/midi"},
    {"mjs", "text/javascript; charset=utf-8"},
    {"mk3d", "video/x-matroska"},
    {"mka", "audio/x-matroska"},
    {"mkv", "video/x-matroska"},
    {"ml", "text/plain; charset=utf-8"},
    {"mobi", "application/x-mobipocket-ebook"},
    {"mov", "video/quicktime"},
    {"mp2", "audio/mpeg"},
    {"mp3", "audio/mpeg"},
    {"mp4", "video/mp4"},
    {"mpd", "application/dash+xml"},
    {"mpe", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"mpga", "audio/mpeg"},
    {"msi", "application/x-msi"},
    {"mts", "video/mp2t"},
    {"nef", "image/x-nikon-nef"},
    {"obj", "model/obj"},
    {"odg", "application/vnd.oasis.opendocument.graphics"},
    {"odp", "application/vnd.oasis.opendocument.presentation"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"oga", "audio/ogg"},
    {"ogg", "audio/ogg"},
    {"ogv", "video/ogg"},
    {"opus", "audio/ogg"},
    {"org", "text/plain; charset=utf-8"},
    {"otf", "font/otf"},
    {"otp", "application/vnd.oasis.opendocument.presentation-template"},
    {"ots", "application/vnd.oasis.opendocument.spreadsheet-template"},
    {"ott", "application/vnd.oasis.opendocument.text-template"},
    {"oxps", "application/oxps"},
    {"pages", "application/vnd.apple.pages"},
    {"patch", "text/plain; charset=utf-8"},
    {"pbm", "image/x-portable-bitmap"},
    {"pdf", "application/pdf"},
    {"pem", "application/x-pem-file"},
    {"pgm", "image/x-portable-graymap"},
    {"php", "text/plain; charset=utf-8"},
    {"pl", "text/plain; charset=utf-8"},
    {"pls", "audio/x-scpls"},
    {"pm", "text/plain; charset=utf-8"},
    {"png", "image/png"},
    {"pnm", "image/x-portable-anymap"},
    {"pot", "application/vnd.ms-powerpoint"},
    {"potx", "application/vnd.openxmlformats-officedocument.presentationml.template"},
    {"ppm", "image/x-portable-pixmap"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"ppsx", "application/vnd.openxmlformats-officedocument.presentationml.slideshow"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptm", "application/vnd.ms-powerpoint.presentation.macroenabled.12"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"properties", "text/plain; charset=utf-8"},
    {"ps", "application/postscript"},
    {"ps1", "text/plain; charset=utf-8"},
    {"psd", "image/vnd.adobe.photoshop"},
    {"py", "text/plain; charset=utf-8"},
    {"qt", "video/quicktime"},
    {"r", "text/plain; charset=utf-8"},
    {"rar", "application/vnd.rar"},
    {"rb", "text/plain; charset=utf-8"},
    {"rmi", "audio/midi"},
    {"rpm", "application/x-rpm"},
    {"rs", "text/plain; charset=utf-8"},
    {"rss", "application/rss+xml"},
    {"rst", "text/plain; charset=utf-8"},
    {"rtf", "application/rtf"},
    {"s", "text/plain; charset=utf-8"},
    {"sass", "text/plain; charset=utf-8"},
    {"scala", "text/plain; charset=utf-8"},
    {"scss", "text/plain; charset=utf-8"},
    {"sh", "text/plain; charset=utf-8"},
    {"sha1", "text/plain; charset=utf-8"},
    {"sha256", "text/plain; charset=utf-8"},
    {"sha512", "text/plain; charset=utf-8"},
    {"sig", "application/pgp-signature"},
    {"snd", "audio/basic"},
    {"spx", "audio/ogg"},
    {"sql", "text/plain; charset=utf-8"},
    {"srt", "application/x-subrip"},
    {"ssa", "text/x-ssa; charset=utf-8"},
    {"stl", "model/stl"},
    {"svg", "image/svg+xml; charset=utf-8"},
    {"swift", "text/plain; charset=utf-8"},
    {"tar", "application/x-tar"},
    {"tbz", "application/x-bzip2"},
    {"tbz2", "application/x-bzip2"},
    {"tex", "text/plain; charset=utf-8"},
    {"text", "text/plain; charset=utf-8"},
    {"tga", "image/x-tga"},
    {"tgz", "application/gzip"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"toml", "application/toml"},
    {"torrent", "application/x-bittorrent"},
    {"ts", "video/mp2t"},
    {"tsv", "text/tab-separated-values; charset=utf-8"},
    {"tsx", "text/plain; charset=utf-8"},
    {"ttc", "font/collection"},
    {"ttf", "font/ttf"},
    {"ttml", "application/ttml+xml"},
    {"txt", "text/plain; charset=utf-8"},
    {"txz", "application/x-xz"},
    {"usdz", "model/vnd.usdz+zip"},
    {"vcard", "text/vcard; charset=utf-8"},
    {"vcf", "text/vcard; charset=utf-8"},
    {"vob", "video/mpeg"},
    {"vsd", "application/vnd.visio"},
    {"vtt", "text/vtt; charset=utf-8"},
    {"vue", "text/plain; charset=utf-8"},
    {"wasm", "application/wasm"},
    {"wav", "audio/wav"},
    {"weba", "audio/webm"},
    {"webm", "video/webm"},
    {"webmanifest", "application/manifest+json"},
    {"webp", "image/webp"},
    {"wma", "audio/x-ms-wma"},
    {"wmf", "image/wmf"},
    {"wmv", "video/x-ms-wmv"},
    {"woff", "font/woff"},
    {"woff2", "font/woff2"},
    {"xbm", "image/x-xbitmap"},
    {"xht", "application/xhtml+xml"},
    {"xhtml", "application/xhtml+xml"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsm", "application/vnd.ms-excel.sheet.macroenabled.12"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"xlt", "application/vnd.ms-excel"},
    {"xltx", "application/vnd.openxmlformats-officedocument.spreadsheetml.template"},
    {"xml", "application/xml; charset=utf-8"},
    {"xps", "application/vnd.ms-xpsdocument"},
    {"xsd", "application/xml; charset=utf-8"},
    {"xsl", "application/xslt+xml"},
    {"xslt", "application/xslt+xml"},
    {"xspf", "application/xspf+xml"},
    {"xz", "application/x-xz"},
    {"yaml", "application/yaml"},
    {"yml", "application/yaml"},
    {"z", "application/x-compress"},
    {"zip", "application/zip"},
    {"zsh", "text/plain; charset=utf-8"},
    {"zst", "application/zstd"},
};

constexpr size_t kTypeCount = sizeof kContentTypes / sizeof kContentTypes[0];

// Byte-wise order of two C strings, usable at compile time.
constexpr int CompareText(const char* pA, const char* pB) {
    while (*pA != '\0' && *pA == *pB) {
        ++pA;
        ++pB;
    }
    return static_cast<unsigned char>(*pA) - static_cast<unsigned char>(*pB);
}

// Whether the table is sorted without repeats and no extension outgrows the lookup's buffer.
constexpr bool IsTableSearchable() {
    for (size_t i = 0; i < kTypeCount; ++i) {
        size_t length = 0;
        while (kContentTypes[i].m_pszExtension[length] != '\0') ++length;
        if (length == 0 || length > kMaxTypedExtensionLength) return false;
        if (i > 0 && CompareText(kContentTypes[i - 1].m_pszExtension,
                                 kContentTypes[i].m_pszExtension) >= 0) {
            return false;
        }
    }
    return true;
}
static_assert(IsTableSearchable(), "content types must be sorted, unique and short");

}  // namespace

const char* ContentTypeFor(const char* pName, size_t n) {
    size_t dot = n;
    for (size_t i = n; i > 0; --i) {
        const char c = pName[i - 1];
        if (c == '/' || c == '\\') break;
        if (c == '.') {
            dot = i - 1;
            break;
        }
    }
    if (dot == n) return nullptr;
    const size_t length = n - dot - 1;
    if (length == 0 || length > kMaxTypedExtensionLength) return nullptr;
    char szExtension[kMaxTypedExtensionLength + 1];
    for (size_t i = 0; i < length; ++i) {
        const char c = pName[dot + 1 + i];
        // A zero byte would end the text early and match a shorter extension.
        if (c == '\0') return nullptr;
        szExtension[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    szExtension[length] = '\0';
    size_t low = 0;
    size_t high = kTypeCount;
    while (low < high) {
        const size_t middle = low + (high - low) / 2;
        const int order = std::strcmp(szExtension, kContentTypes[middle].m_pszExtension);
        if (order == 0) return kContentTypes[middle].m_pszType;
        if (order < 0)
            high = middle;
        else
            low = middle + 1;
    }
    return nullptr;
}
