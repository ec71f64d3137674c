// The answer to a GET or HEAD of a folder's target with the query "zip": the folder's whole
// tree as one stored zip archive, its length known up front, fetched whole or by one range.
#pragma once

#include <cstddef>
#include <string>

#include "foundation/file.h"
#include "server/answer.h"
#include "server/request_head.h"
#include "server/response_head.h"
#include "server/target.h"

// Whether the query of the target (the bytes after '?' up to '#') holds "zip" or "zip="
// among its '&'-separated parts.
bool AsksForZip(const char* pTarget, size_t n);

// The content-disposition value that offers an archive as a download named NAME.zip: the
// name as a quoted fallback (bytes that are not printable ASCII, quotes and backslashes as
// '_') and as UTF-8 in filename* (RFC 6266, RFC 8187).
std::string ZipDisposition(const std::string& name);

// Puts into pAnswer the answer for the archive of the folder that mapped (a folder target)
// names below root: 200 with the whole archive, 206 with one range of it, 304 or 416 as for
// a file, 403 for a tree past kMostZipEntries, on top of reply (its date and connection).
// False, and nothing put, when no folder there may be listed.
bool PrepareZipAnswer(const CRequest& request, const CMappedTarget& mapped, CReply reply,
                      const CFolder& root, CAnswer* pAnswer);
