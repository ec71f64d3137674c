// HTTP basic authentication (RFC 7617): the one user and password a share may ask for, kept
// as a salted digest, and the check of a request's Authorization header field against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "server/request_head.h"
#include "server/sha256.h"

class CGuessThrottle;

// The realm the challenge names, and so the browser's prompt.
constexpr const char kAuthRealm[] = "KOV Web Server";

// Decodes the n bytes at p as strict base64 (RFC 4648: its alphabet, padded to a multiple
// of four, the unused bits zero, nothing else) into pOut with room for cap bytes. Returns
// the decoded length, or -1 when the text is not such base64 or does not fit.
long long DecodeBase64(const char* p, size_t n, unsigned char* pOut, size_t cap);

// Finds the credentials of an Authorization value "Basic <token68>" (the scheme in any
// case). Sets *ppToken and *pnToken to the token and returns true when the value names the
// Basic scheme, even when its token is malformed (empty, or anything after it); false when
// it names another scheme or none.
bool FindBasicToken(const CHeaderValue& authorization, const char** ppToken, size_t* pnToken);

// What a request's credentials come to.
enum class AuthOutcome {
    kMissing,    // none given (no Authorization, or another scheme than Basic): not a try
    kRight,      // the user and the password
    kWrong,      // anything else given as Basic credentials: a wrong try
    kThrottled,  // from an address with too many wrong tries lately: not checked
};

struct CAuthVerdict {
    AuthOutcome m_outcome = AuthOutcome::kMissing;
    uint32_t m_nRetryAfterSeconds = 0;  // kThrottled: when the address may try again
};

// The credentials a share asks for: the user's name and a digest of SHA-256(salt, "user:
// password") under a salt drawn at start, so that the password itself is not kept. Copies
// share the record of wrong tries.
class CCredentials {
public:
    static constexpr size_t kSaltSize = 16;

    // The longest "USER:PASSWORD" taken: its base64 must leave room in a request head.
    static constexpr size_t kMaxText = 1024;

    // Asks for nothing until Set succeeds.
    CCredentials();

    // Whether the n bytes at p are "USER:PASSWORD" as Set takes them.
    static bool IsUserPassword(const char* p, size_t n);

    // Takes the n bytes "USER:PASSWORD" at p (UTF-8; the user is what comes before the
    // first colon and is not empty, the password may hold colons) and wipes them, whatever
    // the outcome. False when the text is not IsUserPassword (no colon, an empty user, a
    // line end or a zero byte, longer than kMaxText), or no random salt could be drawn.
    bool Set(char* p, size_t n);
    // Whether requests must carry the credentials.
    bool IsRequired() const { return !m_user.empty(); }
    const std::string& GetUser() const { return m_user; }

    // Checks a request's Authorization value, from the client address pszPeer at monotonic
    // time now (ms). The comparison takes the same time however much of it is right; the
    // decoded password is wiped after it is hashed. *pRightOnConnection (null: none kept)
    // is the connection's mark of the value last found right on it (0: none), which a value
    // alike is taken by without hashing again, and which a right value sets.
    CAuthVerdict Check(const CHeaderValue& authorization, const char* pszPeer, uint64_t now,
                       uint64_t* pRightOnConnection = nullptr) const;

private:
    // Whether the decoded credentials are the right ones.
    bool Matches(const unsigned char* p, size_t n) const;

    std::string m_user;
    unsigned char m_salt[kSaltSize];
    unsigned char m_digest[kSha256Size];
    std::shared_ptr<CGuessThrottle> m_pThrottle;
};

// Whether the kSha256Size-byte digests at a and b are equal, in a time that does not depend
// on where they differ.
bool DigestsEqual(const unsigned char* a, const unsigned char* b);
