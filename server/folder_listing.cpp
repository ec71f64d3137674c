// The folder listing page: one pass over sorted entries into a buffer reserved once.
#include "server/folder_listing.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "foundation/clock.h"
#include "server/ascii.h"
#include "server/fact_hash.h"
#include "server/http_date.h"

namespace {

// Raised whenever the page's markup changes, so that a page a client cached under an old
// entity tag is never taken for the new one.
constexpr uint64_t kPageFormat = 2;

// Whether the n query bytes at p equal the text.
bool QueryEquals(const char* p, size_t n, const char* pszText) {
    return std::strlen(pszText) == n && std::memcmp(p, pszText, n) == 0;
}

// Length of the well-formed UTF-8 sequence at p (at most left bytes), or 0 when the bytes
// there are not one: overlong forms, surrogates and code points past U+10FFFF are not.
size_t Utf8SequenceLength(const unsigned char* p, size_t left) {
    const unsigned char lead = p[0];
    if (lead < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    }
    return length;
}

// Whether text can go into the page as it is: well-formed UTF-8 with no markup character
// and no control character of either range.
bool IsPlainText(const char* pText, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F || c == '&' || c == '<' || c == '>' || c == '"' ||
                c == '\'') {
                return false;
            }
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(p + i, n - i);
        if (length == 0 || (c == 0xC2 && p[i + 1] <= 0x9F)) return false;
        i += length;
    }
    return true;
}

// Appends text as HTML: as it is when it is plain; otherwise with every byte that is not
// well-formed UTF-8 shown as U+FFFD and then escaped as every text the server shows is.
void AppendText(std::string* pOut, const char* pText, size_t n) {
    if (IsPlainText(pText, n)) {
        pOut->append(pText, n);
        return;
    }
    std::string valid;
    valid.reserve(n + 8);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
    for (size_t i = 0; i < n;) {
        const size_t length = Utf8SequenceLength(p + i, n - i);
        if (length == 0) {
            valid += "\xEF\xBF\xBD";
            ++i;
        } else {
            valid.append(pText + i, length);
            i += length;
        }
    }
    *pOut += EscapeHtml(valid);
}

// Appends the write time as "YYYY-MM-DD HH:MM" in the server's time zone; nothing when
// it is unknown.
void AppendDate(std::string* pOut, uint64_t writeTime) {
    CLocalTime time;
    if (writeTime == 0 || !LocalTimeOf(UnixSecondsFromFileTime(writeTime), time) ||
        time.m_nYear < 0 || time.m_nYear > 9999) {
        return;
    }
    char text[16];
    FormatDigits(time.m_nYear, 4, text);
    text[4] = '-';
    FormatDigits(time.m_nMonth, 2, text + 5);
    text[7] = '-';
    FormatDigits(time.m_nDay, 2, text + 8);
    text[10] = ' ';
    FormatDigits(time.m_nHour, 2, text + 11);
    text[13] = ':';
    FormatDigits(time.m_nMinute, 2, text + 14);
    pOut->append(text, sizeof text);
}

// The order of two entries by the key alone: negative, zero or positive.
int CompareByKey(const CListingEntry& a, const CListingEntry& b, EListingKey key) {
    if (key == EListingKey::kDate && a.m_nWriteTime != b.m_nWriteTime) {
        return a.m_nWriteTime < b.m_nWriteTime ? -1 : 1;
    }
    if (key == EListingKey::kSize && a.m_nSize != b.m_nSize) return a.m_nSize < b.m_nSize ? -1 : 1;
    const int natural =
        CompareNaturally(a.m_name.data(), a.m_name.size(), b.m_name.data(), b.m_name.size());
    if (natural != 0) return natural;
    return a.m_name.compare(b.m_name);
}

const char* const kKeyNames[] = {"name", "date", "size"};

// Appends one column header: a link to the order it gives, and a mark on the current one.
void AppendColumnHead(std::string* pOut, const char* pszTitle, EListingKey key,
                      const CListingOrder& current) {
    // The current column flips its direction; another starts where people look first: names
    // from A, dates and sizes from the newest and the largest.
    const bool bDescending =
        key == current.m_key ? !current.m_bDescending : key != EListingKey::kName;
    *pOut += "<th><a href=\"?sort=";
    *pOut += kKeyNames[static_cast<int>(key)];
    *pOut += bDescending ? "&amp;order=desc\">" : "&amp;order=asc\">";
    *pOut += pszTitle;
    *pOut += "</a>";
    if (key == current.m_key) *pOut += current.m_bDescending ? " \xE2\x96\xBC" : " \xE2\x96\xB2";
}

const char kPageStart[] =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n"
    "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n<title>Index of ";
// The upload form. Only what browsers offer on plain HTTP is used (a form, XMLHttpRequest's
// upload progress, FormData, drag and drop), and no accept attribute narrows the file
// button, so that a phone offers its camera and gallery too. The script sends each file in a
// request of its own, so that each has its own progress; the listing is loaded again once
// all have arrived (the 303 that answers each is followed to the listing itself).
const char kUploadForm[] =
    "<form method=\"post\" action=\"./\" enctype=\"multipart/form-data\" id=\"upload\" "
    "style=\"margin:1.2em 0\">\n"
    "<input type=\"file\" name=\"file\" multiple> "
    "<button style=\"padding:.4em 1.4em\">Upload</button>\n"
    "</form>\n<div id=\"sent\"></div>\n"
    "<script>(function(){var f=document.getElementById('upload'),"
    "s=document.getElementById('sent');"
    "function send(files){var left=files.length,failed=0;"
    "Array.prototype.forEach.call(files,function(file){"
    "var row=document.createElement('div'),bar=document.createElement('progress'),"
    "x=new XMLHttpRequest(),d=new FormData();"
    "bar.max=1;bar.value=0;row.textContent=file.name+' ';row.appendChild(bar);s.appendChild(row);"
    "d.append('file',file);"
    "x.upload.onprogress=function(e){if(e.lengthComputable)bar.value=e.loaded/e.total;};"
    "x.onloadend=function(){if(x.status==200){bar.value=1;}else{failed++;"
    "row.appendChild(document.createTextNode(' failed'+(x.status?' ('+x.status+')':'')));}"
    "if(!--left&&!failed)location.reload();};"
    "x.open('POST','./');x.send(d);});}"
    "f.onsubmit=function(e){e.preventDefault();send(f.elements.file.files);f.reset();};"
    "document.ondragover=function(e){e.preventDefault();};"
    "document.ondrop=function(e){e.preventDefault();send(e.dataTransfer.files);};"
    "})();</script>\n";

const char kStyle[] =
    "</title>\n<style>"
    "body{font:15px/1.45 system-ui,sans-serif;margin:1em auto;max-width:60em;padding:0 .6em}"
    "h1{font-size:1.3em;overflow-wrap:anywhere}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{padding:.3em .5em;text-align:left;vertical-align:top}"
    "td:first-child{overflow-wrap:anywhere}"
    "td+td{white-space:nowrap}"
    "th:last-child,td:last-child{text-align:right}"
    "tr:nth-child(even){background:#f2f2f2}"
    "a{text-decoration:none}a:hover{text-decoration:underline}"
    "</style></head><body>\n<h1>Index of ";

// Room each row takes besides its name, twice: once in the link, once as text.
constexpr size_t kRowRoom = 64;

}  // namespace

CListingOrder ListingOrderFromQuery(const char* pQuery, size_t n) {
    CListingOrder order;
    size_t start = 0;
    while (start < n) {
        size_t end = start;
        while (end < n && pQuery[end] != '&') ++end;
        const char* pPair = pQuery + start;
        const size_t length = end - start;
        const char* pEquals = static_cast<const char*>(std::memchr(pPair, '=', length));
        if (pEquals != nullptr) {
            const size_t keyLength = static_cast<size_t>(pEquals - pPair);
            const char* pValue = pEquals + 1;
            const size_t valueLength = length - keyLength - 1;
            if (QueryEquals(pPair, keyLength, "sort")) {
                for (int key = 0; key < 3; ++key) {
                    if (QueryEquals(pValue, valueLength, kKeyNames[key])) {
                        order.m_key = static_cast<EListingKey>(key);
                    }
                }
            } else if (QueryEquals(pPair, keyLength, "order")) {
                if (QueryEquals(pValue, valueLength, "desc")) order.m_bDescending = true;
                if (QueryEquals(pValue, valueLength, "asc")) order.m_bDescending = false;
            }
        }
        start = end + 1;
    }
    return order;
}

int CompareNaturally(const char* pA, size_t nA, const char* pB, size_t nB) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(pA);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(pB);
    // A prefix both share byte for byte compares equal, as long as it does not end inside
    // a run of digits, whose value the bytes after it still change.
    size_t i = 0;
    const size_t shorter = nA < nB ? nA : nB;
    while (i < shorter && a[i] == b[i]) ++i;
    while (i > 0 && IsDigit(a[i - 1])) --i;
    size_t j = i;
    while (i < nA && j < nB) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            // Values compare by their digits without leading zeros: first how many, then
            // which, so that runs of any length compare without overflow.
            while (i < nA && a[i] == '0') ++i;
            while (j < nB && b[j] == '0') ++j;
            size_t endA = i;
            size_t endB = j;
            while (endA < nA && IsDigit(a[endA])) ++endA;
            while (endB < nB && IsDigit(b[endB])) ++endB;
            if (endA - i != endB - j) return endA - i < endB - j ? -1 : 1;
            for (; i < endA; ++i, ++j) {
                if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
            }
            continue;
        }
        const unsigned char ca = LowerAscii(a[i]);
        const unsigned char cb = LowerAscii(b[j]);
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < nA) return 1;
    if (j < nB) return -1;
    return 0;
}

void SortListing(std::vector<CListingEntry>* pEntries, const CListingOrder& order) {
    // Positions are sorted rather than the entries, which are dearer to swap, and the
    // entries moved into their places once.
    const std::vector<CListingEntry>& entries = *pEntries;
    std::vector<uint32_t> positions(entries.size());
    for (size_t i = 0; i < positions.size(); ++i) positions[i] = static_cast<uint32_t>(i);
    std::sort(positions.begin(), positions.end(), [&entries, &order](uint32_t i, uint32_t j) {
        const CListingEntry& a = entries[i];
        const CListingEntry& b = entries[j];
        if (a.m_bFolder != b.m_bFolder) return a.m_bFolder;
        const int key = CompareByKey(a, b, order.m_key);
        return order.m_bDescending ? key > 0 : key < 0;
    });
    std::vector<CListingEntry> sorted;
    sorted.reserve(entries.size());
    for (const uint32_t position : positions) sorted.push_back(std::move((*pEntries)[position]));
    pEntries->swap(sorted);
}

size_t FormatListingSize(uint64_t size, char* pText) {
    static const char* const kUnits[] = {" B", " KB", " MB", " GB", " TB"};
    size_t unit = 0;
    while (unit < 4 && size >> (10 * (unit + 1)) != 0) ++unit;
    size_t length;
    for (;;) {
        if (unit == 0) {
            length = FormatDecimal(size, pText);
            break;
        }
        const uint64_t divisor = 1ull << (10 * unit);
        const uint64_t whole = size / divisor;
        const uint64_t rest = size % divisor;
        // Tenths and wholes both rounded to nearest; rest * 10 fits, as rest < 2^40.
        const uint64_t tenths = whole * 10 + (rest * 10 + divisor / 2) / divisor;
        if (tenths < 100) {
            length = FormatDecimal(tenths / 10, pText);
            pText[length++] = '.';
            pText[length++] = static_cast<char>('0' + tenths % 10);
            break;
        }
        const uint64_t rounded = whole + (rest * 2 >= divisor ? 1 : 0);
        if (rounded >= 1024 && unit < 4) {
            ++unit;  // 1023.9 KB is shown as 1.0 MB
            continue;
        }
        length = FormatDecimal(rounded, pText);
        break;
    }
    const size_t unitLength = std::strlen(kUnits[unit]);
    std::memcpy(pText + length, kUnits[unit], unitLength + 1);
    return length + unitLength;
}

void AppendListingPage(std::string* pOut, const std::string& folderPath, const CListingOrder& order,
                       const std::vector<CListingEntry>& entries, bool bUploadForm) {
    size_t room = sizeof kPageStart + sizeof kStyle + 2 * folderPath.size() + 512 +
                  (bUploadForm ? sizeof kUploadForm : 0);
    for (const CListingEntry& entry : entries) room += kRowRoom + 2 * entry.m_name.size();
    pOut->reserve(pOut->size() + room);

    *pOut += kPageStart;
    AppendText(pOut, folderPath.data(), folderPath.size());
    *pOut += kStyle;
    AppendText(pOut, folderPath.data(), folderPath.size());
    // The archive is asked for by a form, which programs that mirror a folder by following
    // its links (wget -r) do not submit, so that they fetch every file once, not once more
    // per folder above it.
    *pOut +=
        "</h1>\n<form><button name=\"zip\">Download this folder as .zip</button></form>\n"
        "<table>\n<tr>";
    AppendColumnHead(pOut, "Name", EListingKey::kName, order);
    AppendColumnHead(pOut, "Modified", EListingKey::kDate, order);
    AppendColumnHead(pOut, "Size", EListingKey::kSize, order);
    *pOut += '\n';
    // Cells and rows end where the next begins, as HTML allows; it keeps big pages small.
    if (folderPath != "/") *pOut += "<tr><td><a href=\"../\">../</a><td><td>-\n";
    char size[24];
    for (const CListingEntry& entry : entries) {
        *pOut += "<tr><td><a href=\"";
        // Every byte but the unreserved ones escaped, so that the link leads back to exactly
        // the name's bytes whatever they are.
        AppendPercentEncoded(entry.m_name.data(), entry.m_name.size(), PercentKept::kUnreserved,
                             pOut);
        if (entry.m_bFolder) pOut->push_back('/');
        *pOut += "\">";
        AppendText(pOut, entry.m_name.data(), entry.m_name.size());
        if (entry.m_bFolder) pOut->push_back('/');
        *pOut += "</a><td>";
        AppendDate(pOut, entry.m_nWriteTime);
        *pOut += "<td>";
        if (entry.m_bFolder) {
            pOut->push_back('-');
        } else {
            pOut->append(size, FormatListingSize(entry.m_nSize, size));
        }
        pOut->push_back('\n');
    }
    *pOut += "</table>\n";
    if (bUploadForm) *pOut += kUploadForm;
    *pOut += "</body></html>\n";
}

std::string ListingEntityTag(const std::string& folderPath, const CListingOrder& order,
                             const std::vector<CListingEntry>& entries, bool bUploadForm) {
    CFactHash hash;
    // The page with the form is another format, so that no cache takes one for the other.
    hash.Number(bUploadForm ? kPageFormat + 1 : kPageFormat);
    hash.Text(folderPath);
    hash.Number(static_cast<uint64_t>(order.m_key) * 2 + (order.m_bDescending ? 1 : 0));
    hash.Number(entries.size());
    for (const CListingEntry& entry : entries) {
        hash.Text(entry.m_name);
        hash.Number(entry.m_bFolder ? 1 : 0);
        hash.Number(entry.m_nSize);
        hash.Number(entry.m_nWriteTime);
    }
    // Never of the form of a file's entity tag (hex digits and '-' alone).
    std::string tag = "\"ls-";
    const uint64_t value = hash.Value();
    for (int shift = 60; shift >= 0; shift -= 4) {
        tag += UpperHexDigit(static_cast<unsigned>(value >> shift));
    }
    tag += '"';
    return tag;
}
