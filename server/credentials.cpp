// Base64, the Basic scheme's token and the salted digest of the credentials.
#include "server/credentials.h"

#include <cstring>

#include "foundation/random.h"
#include "server/ascii.h"
#include "server/fact_hash.h"
#include "server/guess_throttle.h"

namespace {

// The value of a base64 symbol, or -1 for a byte outside the alphabet.
int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// A request head is at most 4 KiB, so its decoded credentials fit in three quarters of it.
constexpr size_t kMaxDecoded = 3 * 4096 / 4;

// Writes SHA-256(salt, the n bytes at p) at pDigest.
void DigestOf(const unsigned char* pSalt, const unsigned char* p, size_t n,
              unsigned char* pDigest) {
    CSha256 sha;
    sha.Add(pSalt, CCredentials::kSaltSize);
    sha.Add(p, n);
    sha.Finish(pDigest);
}

// A mark of an Authorization token, never 0.
uint64_t MarkOf(const char* pToken, size_t nToken) {
    CFactHash hash;
    hash.Number(nToken);
    hash.Bytes(pToken, nToken);
    return hash.Value() | 1;
}

}  // namespace

long long DecodeBase64(const char* p, size_t n, unsigned char* pOut, size_t cap) {
    if (n % 4 != 0) return -1;
    size_t padding = 0;
    if (n > 0 && p[n - 1] == '=') padding = (n > 1 && p[n - 2] == '=') ? 2 : 1;
    const size_t length = n / 4 * 3 - padding;
    if (length > cap) return -1;
    size_t at = 0;
    for (size_t i = 0; i < n; i += 4) {
        const bool bLast = i + 4 == n;
        int values[4];
        for (size_t k = 0; k < 4; ++k) {
            const bool bPad = bLast && k >= 4 - padding;
            values[k] = bPad ? 0 : Base64Value(static_cast<unsigned char>(p[i + k]));
            if (values[k] < 0) return -1;
        }
        const uint32_t bits =
            (static_cast<uint32_t>(values[0]) << 18) | (static_cast<uint32_t>(values[1]) << 12) |
            (static_cast<uint32_t>(values[2]) << 6) | static_cast<uint32_t>(values[3]);
        const size_t take = bLast ? 3 - padding : 3;
        // The bits that padding leaves over must be zero, or two texts would mean one value.
        if (take < 3 && (bits & ((1u << (8 * (3 - take))) - 1)) != 0) return -1;
        for (size_t k = 0; k < take; ++k) {
            pOut[at++] = static_cast<unsigned char>(bits >> (16 - 8 * k));
        }
    }
    return static_cast<long long>(at);
}

bool FindBasicToken(const CHeaderValue& authorization, const char** ppToken, size_t* pnToken) {
    const char* p = authorization.m_p;
    const size_t n = authorization.m_n;
    if (authorization.m_nLines == 0 || n < 5 || !EqualsIgnoringCase(p, 5, "basic")) return false;
    // "Basicx" is another scheme; "Basic" alone is Basic without a token.
    if (n > 5 && p[5] != ' ' && p[5] != '\t') return false;
    size_t at = 5;
    while (at < n && (p[at] == ' ' || p[at] == '\t')) ++at;
    *ppToken = p + at;
    *pnToken = n - at;
    return true;
}

bool DigestsEqual(const unsigned char* a, const unsigned char* b) {
    unsigned char difference = 0;
    for (size_t i = 0; i < kSha256Size; ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    // Through volatile, so that the compiler cannot stop at the first difference.
    volatile unsigned char result = difference;
    return result == 0;
}

CCredentials::CCredentials() : m_salt{0}, m_digest{0} {}

bool CCredentials::IsUserPassword(const char* p, size_t n) {
    const char* pColon = static_cast<const char*>(std::memchr(p, ':', n));
    bool bFine = pColon != nullptr && pColon != p && n <= kMaxText;
    for (size_t i = 0; i < n && bFine; ++i) {
        bFine = p[i] != '\0' && p[i] != '\r' && p[i] != '\n';
    }
    return bFine;
}

bool CCredentials::Set(char* p, size_t n) {
    const bool bFine = IsUserPassword(p, n) && FillRandom(m_salt, sizeof(m_salt));
    if (bFine) {
        m_user.assign(p, static_cast<size_t>(static_cast<const char*>(std::memchr(p, ':', n)) - p));
        DigestOf(m_salt, reinterpret_cast<const unsigned char*>(p), n, m_digest);
        m_pThrottle = std::make_shared<CGuessThrottle>();
    }
    WipeBytes(p, n);
    return bFine;
}

bool CCredentials::Matches(const unsigned char* p, size_t n) const {
    unsigned char digest[kSha256Size];
    DigestOf(m_salt, p, n, digest);
    return DigestsEqual(digest, m_digest);
}

CAuthVerdict CCredentials::Check(const CHeaderValue& authorization, const char* pszPeer,
                                 uint64_t now, uint64_t* pRightOnConnection) const {
    CAuthVerdict verdict;
    if (!IsRequired()) {
        verdict.m_outcome = AuthOutcome::kRight;
        return verdict;
    }
    const char* pToken = nullptr;
    size_t nToken = 0;
    if (!FindBasicToken(authorization, &pToken, &nToken)) return verdict;
    // A guesser's tries are not even checked while it waits.
    uint64_t wait = m_pThrottle->WaitLeft(pszPeer, now);
    bool bRight = false;
    // A connection's later requests repeat the value found right on it: a mark of it spares
    // the hash. Only a value found right on this connection sets the mark, so it tells a
    // client nothing it did not send itself.
    const uint64_t mark = MarkOf(pToken, nToken);
    if (wait == 0 && pRightOnConnection != nullptr && *pRightOnConnection == mark &&
        authorization.m_nLines == 1) {
        bRight = true;
    } else if (wait == 0) {
        unsigned char decoded[kMaxDecoded];
        const long long length = authorization.m_nLines == 1 && nToken > 0
                                     ? DecodeBase64(pToken, nToken, decoded, sizeof(decoded))
                                     : -1;
        if (length >= 0) {
            bRight = Matches(decoded, static_cast<size_t>(length));
            WipeBytes(decoded, static_cast<size_t>(length));
        }
        // A wrong try checked side by side with the one that reached the limit is refused
        // as throttled; a right one, then, as well, so that no more tries are told apart
        // than the limit allows.
        wait = bRight ? m_pThrottle->WaitLeft(pszPeer, now) : m_pThrottle->CountWrong(pszPeer, now);
    }
    if (wait > 0) {
        verdict.m_outcome = AuthOutcome::kThrottled;
        verdict.m_nRetryAfterSeconds = static_cast<uint32_t>((wait + 999) / 1000);
    } else {
        verdict.m_outcome = bRight ? AuthOutcome::kRight : AuthOutcome::kWrong;
    }
    if (pRightOnConnection != nullptr) {
        *pRightOnConnection = verdict.m_outcome == AuthOutcome::kRight ? mark : 0;
    }
    return verdict;
}
