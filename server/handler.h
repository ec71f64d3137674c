// What a request is answered with: the one place that turns a request and the server's
// options into an answer (refusals, the checks that run before every answer, files,
// listings), so that the connection only moves bytes.
#pragma once

#include <cstdint>

#include "server/answer.h"
#include "server/listing_cache.h"
#include "server/request_head.h"
#include "server/response_head.h"
#include "server/server_options.h"
#include "server/target.h"

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
    // The connection's mark of the credentials last found right on it (CCredentials::Check);
    // null: the request has no connection to keep it.
    uint64_t* m_pRightCredentials = nullptr;
    // What the answer's Connection header field says: the connection decides whether it
    // stays open.
    ConnectionOption m_connection = ConnectionOption::kNone;
};

// One worker's handler: decides every answer that worker's connections send.
class CHandler {
public:
    // Decides by the default options until DecideBy.
    CHandler();
    CHandler(const CHandler&) = delete;
    CHandler& operator=(const CHandler&) = delete;

    // Decides by options (which outlive the handler) from now on; before its worker starts.
    void DecideBy(const CServerOptions* pOptions) { m_pOptions = pOptions; }
    const CServerOptions& GetOptions() const { return *m_pOptions; }

    // Puts into pAnswer (cleared) the answer to request, or the sink that its body goes to
    // and that gives the answer once the body is in.
    void Decide(const CRequest& request, const CRequestContext& context, CAnswer* pAnswer);

private:
    // Whether the request carries the credentials the options ask for: true with the user
    // noted in pAnswer, else false with the 401 (none, or wrong ones) or the 429 (an address
    // that guessed too often) put in pAnswer on top of reply.
    bool Admits(const CRequest& request, const CRequestContext& context, const CReply& reply,
                CAnswer* pAnswer) const;
    // The answer to a GET or HEAD of the request's target on top of reply (its date and
    // connection): the file, partial content of it, 304 or 416, a listing, or a 301 or 404
    // page; a HEAD gets the same head without the body.
    void AnswerFromFiles(const CRequest& request, const CRequestContext& context,
                         const CReply& reply, CAnswer* pAnswer);

    const CServerOptions* m_pOptions;
    CListingPage m_built;    // a listing built for one answer and not kept by the cache
    CMappedTarget m_mapped;  // the target of the request being decided
};
