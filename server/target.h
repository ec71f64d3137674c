// Mapping a request target onto the document root, and the texts derived from it.
#pragma once

#include <cstddef>
#include <string>

#include "server/content_type.h"

constexpr size_t kMaxTargetLength = 2047;          // longer targets are answered 404
constexpr char kDefaultDocument[] = "index.html";  // what a folder's target opens

// What a request target names below the document root.
struct CMappedTarget {
    bool m_bAllowed = false;  // false: answered 404 whatever exists on disk
    // The decoded path below the root, when allowed: the bytes the client sent, segments
    // separated by '/', no leading '/', as CFile::OpenBelow takes it.
    std::string m_path;
    std::string m_display;                   // the target as the 404 page shows it, not yet escaped
    const char* m_pszContentType = nullptr;  // null for unknown extensions
    bool m_bFolderIndex = false;             // the target named a folder: m_path is its index
};

// A request target's parts, pointing into its bytes: the path, which ends at '?' or '#',
// and the query between the '?' and the fragment (empty when there is none).
struct CTargetParts {
    const char* m_pPath;
    size_t m_nPath;
    const char* m_pQuery;
    size_t m_nQuery;
};

// Splits the n target bytes at pTarget into its path and its query; the fragment goes.
CTargetParts SplitTarget(const char* pTarget, size_t n);

// Maps target bytes onto a path below the document root: the path ends at '?' or '#'; %XX
// escapes are decoded; one leading separator goes, and '\' is a separator as '/' is; a
// folder (a path ending in a separator, or none at all) means its index.html. Refused:
// over-long targets, malformed escapes, NUL, ':', '..' segments, absolute or UNC forms, and
// segments the host reserves.
CMappedTarget MapTarget(const char* pTarget, size_t n);
// MapTarget into *pMapped, whose strings keep their room from one request to the next.
void MapTargetInto(const char* pTarget, size_t n, CMappedTarget* pMapped);

// Where a target whose path names a folder but lacks the final '/' is sent on to: the same
// target with the '/' added (query and fragment kept), escaped so that it fits in a head.
std::string FolderLocation(const char* pTarget, size_t n);
