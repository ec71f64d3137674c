// What a request is answered with: the one place that turns a request and the server's
// options into an answer (refusals, the checks that run before every answer, files,
// listings), so that the connection only moves bytes.
#pragma once

#include <cstdint>

#include "server/answer.h"
#include "server/request_head.h"
#include "server/server_options.h"

class CFileCache;

// What a handler is told of the request besides its head.
struct CRequestContext {
    uint64_t m_now = 0;
    // The file cache's mark of the wait that reported the head (0 when none did).
    uint64_t m_nMark = 0;
    // The worker's file cache, which answers for the files below the root; null: none is
    // served.
    CFileCache* m_pFiles = nullptr;
    const char* m_pszPeer = "-";  // the client's address as text
};

// One worker's handler: decides every answer that worker's connections send.
class CHandler {
public:
    // Decides by options (which outlive the handler).
    explicit CHandler(const CServerOptions& options) : m_options(options) {}
    CHandler(const CHandler&) = delete;
    CHandler& operator=(const CHandler&) = delete;

    const CServerOptions& GetOptions() const { return m_options; }

    // Puts into pAnswer (cleared) the answer to request, or the sink that its body goes to
    // and that gives the answer once the body is in.
    void Decide(const CRequest& request, const CRequestContext& context, CAnswer* pAnswer);

private:
    const CServerOptions& m_options;
};
