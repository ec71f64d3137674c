// What the server is told to do at start: the choices that the command line makes for the
// request path, held in one object that every worker reads and nobody writes once it serves.
#pragma once

#include <cstdint>

#include "server/credentials.h"

struct CServerOptions {
    static constexpr uint64_t kNoLimit = ~uint64_t{0};

    // A folder without an index.html is answered with a listing of its entries (else 404),
    // and can be fetched whole as an archive.
    bool m_bListFolders = true;
    // Each answered request is a line of the request log.
    bool m_bLogRequests = true;
    // PUT and POST write new files below the root (else they are 405).
    bool m_bUpload = false;
    // The largest request body an upload may have, in bytes.
    uint64_t m_nMaxUpload = kNoLimit;
    // The user and password every request must carry (HTTP basic authentication); none
    // asked for while unset.
    CCredentials m_credentials;
};
