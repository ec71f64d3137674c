// Files received from clients: a PUT of one file at its target, or a form's files POSTed to
// a folder. Each is written under a hidden temporary name in its folder and given its final
// name only once it has arrived whole, never over an existing file; whatever does not
// arrive whole is removed.
#pragma once

#include <cstdint>
#include <string>

#include "server/answer.h"
#include "server/request_head.h"
#include "server/response_head.h"
#include "server/server_options.h"

class CFolder;

// Decides a PUT or a POST while uploads are on, below root (null when the root is not open):
// either a refusal in pAnswer's head (403 for another site's request, 404 for a missing
// folder, 400 for an unacceptable name, 409 for a PUT onto an existing name, 413 for a body
// known to be too large, 415 for a POST that is no multipart/form-data form), or in
// pAnswer->m_pSink the sink that writes the body and gives the answer: 201 with a location
// for a PUT, 303 to the folder's listing for a form. reply holds the date and the connection
// field of the answers.
void DecideUpload(const CRequest& request, const CFolder* pRoot, const CServerOptions& options,
                  const CReply& reply, CAnswer* pAnswer);

// Whether the request may be one a page of another site made the user's browser send: an
// Origin field whose host and port are not those of the Host field (or that names none).
bool IsCrossSite(const CRequest& request);

// Reads a size of bytes as the command line gives it: digits, then K, M or G (powers of
// 1024, either case) or nothing. False when it is anything else or too large to count.
bool ReadByteSize(const char* pszText, uint64_t* pBytes);
