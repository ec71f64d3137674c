// Every answer decided in one place: refusals of requests that cannot be served, then the
// files, listings and pages below the root.
#include "server/handler.h"

#include <algorithm>

#include "server/file_answer.h"
#include "server/file_cache.h"
#include "server/http_date.h"
#include "server/response_head.h"
#include "server/target.h"
#include "server/upload.h"
#include "server/zip_answer.h"

namespace {

// The head and a file's first bytes leave together in one send of at most this much.
constexpr size_t kFirstSend = 8192;

// The status line of the refusal a request gets before anything else is looked at (a
// request that cannot be read, a version or method not served), or null.
const char* RefusalOf(const CRequest& request, const CServerOptions& options) {
    if (request.m_problem == RequestProblem::kBadRequest) return "400 Bad Request";
    if (request.m_problem == RequestProblem::kVersionNotSupported) {
        return "505 HTTP Version Not Supported";
    }
    const bool bWrites =
        request.m_method == RequestMethod::kPut || request.m_method == RequestMethod::kPost;
    if (request.m_method == RequestMethod::kNotAllowed || (bWrites && !options.m_bUpload)) {
        return "405 Method Not Allowed";
    }
    if (request.m_method == RequestMethod::kUnknown) return "501 Not Implemented";
    return nullptr;
}

// The listing of a folder target on top of reply: 200 or 304, the kept page sent from
// where it is kept. False when the target names no folder that may be listed.
bool AnswerListing(const CRequest& request, const CListingPage* pPage, CReply reply,
                   CAnswer* pAnswer) {
    if (pPage == nullptr) return false;
    const bool bHead = request.m_method == RequestMethod::kHead;
    reply.m_pEtag = pPage->m_etag.data();
    reply.m_nEtag = pPage->m_etag.size();
    if (IfNoneMatchNames(request.m_file.m_ifNoneMatch, pPage->m_etag.data(),
                         pPage->m_etag.size())) {
        reply.m_pszStatus = "304 Not Modified";
        AppendReplyHead(&pAnswer->m_out, reply);
        return true;
    }
    reply.m_pszStatus = "200 OK";
    AppendPageHead(&pAnswer->m_out, reply, pPage->m_pBody->size());
    if (!bHead) {
        pAnswer->m_body.m_kind = BodyKind::kBytes;
        pAnswer->m_body.m_pBytes = pPage->m_pBody;
        pAnswer->m_body.m_nOffset = 0;
        pAnswer->m_body.m_nEnd = pPage->m_pBody->size();
    }
    return true;
}

// Puts the answer's range of the file into the body, its first bytes into m_out to travel
// with the head (a file copied whole goes with it whole), so that a small answer is one send.
void PrepareFileBody(const CFileAnswer& answer, std::shared_ptr<CCachedFile> pFile,
                     CFileCache& files, CAnswer* pAnswer) {
    const size_t headLength = pAnswer->m_out.size();
    const uint64_t room = pFile->m_bCopied          ? answer.m_nEnd - answer.m_nFirst
                          : headLength < kFirstSend ? kFirstSend - headLength
                                                    : 0;
    const size_t wanted =
        static_cast<size_t>(std::min<uint64_t>(room, answer.m_nEnd - answer.m_nFirst));
    const size_t count = files.AppendBytes(*pFile, answer.m_nFirst, wanted, &pAnswer->m_out);
    CAnswerBody& body = pAnswer->m_body;
    // A file that shrank since it was measured cannot fill the length announced for it.
    body.m_bCutShort = count < wanted;
    body.m_nOffset = answer.m_nFirst + count;
    body.m_nEnd = body.m_bCutShort ? body.m_nOffset : answer.m_nEnd;
    if (body.m_nOffset < body.m_nEnd) {
        body.m_kind = BodyKind::kFile;
        body.m_pFile = std::move(pFile);
    }
}

const CServerOptions kDefaultOptions;

}  // namespace

CHandler::CHandler() : m_pOptions(&kDefaultOptions) {}

void CHandler::Decide(const CRequest& request, const CRequestContext& context, CAnswer* pAnswer) {
    pAnswer->Clear();
    CReply reply;
    reply.m_pszDate = CurrentHttpDate(context.m_now);
    reply.m_connection = context.m_connection;
    // Only a request that cannot be read is refused before its credentials are asked for:
    // which methods the share takes is the share's to tell.
    if (request.m_problem == RequestProblem::kNone && m_pOptions->m_credentials.IsRequired() &&
        !Admits(request, context, reply, pAnswer)) {
        return;
    }
    const char* pszRefusal = RefusalOf(request, *m_pOptions);
    if (pszRefusal != nullptr) {
        AppendRefusal(&pAnswer->m_out, pszRefusal, reply);
        return;
    }
    // Past the refusals, a PUT or POST is an upload.
    if (request.m_method == RequestMethod::kPut || request.m_method == RequestMethod::kPost) {
        const CFolder* pRoot =
            context.m_pFiles != nullptr ? context.m_pFiles->CurrentRoot(context.m_now) : nullptr;
        DecideUpload(request, pRoot, *m_pOptions, reply, pAnswer);
        return;
    }
    AnswerFromFiles(request, context, reply, pAnswer);
}

bool CHandler::Admits(const CRequest& request, const CRequestContext& context, const CReply& reply,
                      CAnswer* pAnswer) const {
    const CCredentials& credentials = m_pOptions->m_credentials;
    const CAuthVerdict verdict = credentials.Check(request.m_authorization, context.m_pszPeer,
                                                   context.m_now, context.m_pRightCredentials);
    const bool bHead = request.m_method == RequestMethod::kHead;
    switch (verdict.m_outcome) {
        case AuthOutcome::kRight:
            pAnswer->m_user = credentials.GetUser();
            return true;
        case AuthOutcome::kThrottled:
            AppendTooManyTries(&pAnswer->m_out, verdict.m_nRetryAfterSeconds, reply, bHead);
            return false;
        case AuthOutcome::kMissing:
        case AuthOutcome::kWrong:
            break;
    }
    AppendUnauthorized(&pAnswer->m_out, reply, bHead);
    return false;
}

void CHandler::AnswerFromFiles(const CRequest& request, const CRequestContext& context,
                               const CReply& reply, CAnswer* pAnswer) {
    const bool bHead = request.m_method == RequestMethod::kHead;
    MapTargetInto(request.m_pTarget, request.m_nTarget, &m_mapped);
    const CMappedTarget& mapped = m_mapped;
    CFileCache* pFiles = context.m_pFiles;
    if (pFiles == nullptr) {
        AppendNotFoundAnswer(&pAnswer->m_out, mapped.m_display, reply, bHead);
        return;
    }
    // A folder's archive is its tree whether or not it has an index.html; it goes where its
    // listing goes.
    if (mapped.m_bFolderIndex && AsksForZip(request.m_pTarget, request.m_nTarget)) {
        const CFolder* pRoot =
            m_pOptions->m_bListFolders ? pFiles->CurrentRoot(context.m_now) : nullptr;
        if (pRoot == nullptr || !PrepareZipAnswer(request, mapped, reply, *pRoot, pAnswer)) {
            AppendNotFoundAnswer(&pAnswer->m_out, mapped.m_display, reply, bHead);
        }
        return;
    }
    CListingOrder order;
    const bool bList = m_pOptions->m_bListFolders && mapped.m_bFolderIndex;
    if (bList) {
        const CTargetParts parts = SplitTarget(request.m_pTarget, request.m_nTarget);
        order = ListingOrderFromQuery(parts.m_pQuery, parts.m_nQuery);
        // A page kept while nothing in its folder changed says that the folder still has no
        // index.html: it is answered without looking for one.
        const CListingPage* pKept =
            pFiles->KeptListingFor(mapped, order, context.m_nMark, context.m_now);
        if (AnswerListing(request, pKept, reply, pAnswer)) return;
    }
    std::shared_ptr<CCachedFile> pFile = pFiles->FileFor(mapped, context.m_nMark, context.m_now);
    if (!pFile) {
        if (bList && AnswerListing(request,
                                   pFiles->ListingFor(mapped, order, context.m_nMark, context.m_now,
                                                      &m_built),
                                   reply, pAnswer)) {
            return;
        }
        if (pFiles->NamesFolder(mapped, context.m_now)) {
            AppendMovedAnswer(&pAnswer->m_out, FolderLocation(request.m_pTarget, request.m_nTarget),
                              reply, bHead);
        } else {
            AppendNotFoundAnswer(&pAnswer->m_out, mapped.m_display, reply, bHead);
        }
        return;
    }
    const CFile& file = pFile->m_file;
    const CFileVersion version{file.GetOpenedSize(), file.GetOpenedWriteTime()};
    const CValidators validators = ValidatorsOf(version);
    const CFileAnswer answer = ChooseFileAnswer(request.m_file, version, validators);
    AppendReplyHead(&pAnswer->m_out,
                    FileReply(reply, answer, version, validators, mapped.m_pszContentType, bHead));
    if (!bHead &&
        (answer.m_kind == FileAnswerKind::kWhole || answer.m_kind == FileAnswerKind::kPart)) {
        PrepareFileBody(answer, std::move(pFile), *pFiles, pAnswer);
    }
}
