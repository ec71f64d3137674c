// Fuzzes the reading of an Authorization value: the input is the value. Whatever strict
// base64 decodes must encode back to the very same text, and the check must find the
// credentials right exactly when the value is one Basic token that decodes to them.
#include <string>

#include "server/credentials.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const char kUserPassword[] = "j\xC3\xBCrgen:pa:ss";

// The strict base64 of the n bytes at p.
std::string Encode(const unsigned char* p, size_t n) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t bits = uint32_t{p[i]} << 16 | (i + 1 < n ? uint32_t{p[i + 1]} << 8 : 0) |
                              (i + 2 < n ? uint32_t{p[i + 2]} : 0);
        for (size_t k = 0; k < 4; ++k) {
            text += k <= n - i ? kAlphabet[(bits >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    static CCredentials* pCredentials = [] {
        CCredentials* p = new CCredentials;
        std::string text = kUserPassword;
        FUZZ_CHECK(p->Set(&text[0], text.size()));
        return p;
    }();
    static uint32_t nPeer = 0;
    const std::string value(reinterpret_cast<const char*>(pData), size);

    unsigned char decoded[4096];
    const long long length = DecodeBase64(value.data(), value.size(), decoded, sizeof(decoded));
    if (length >= 0) FUZZ_CHECK(Encode(decoded, static_cast<size_t>(length)) == value);

    const CHeaderValue authorization{value.data(), value.size(), 1};
    const char* pToken = nullptr;
    size_t nToken = 0;
    bool bExpectRight = false;
    if (FindBasicToken(authorization, &pToken, &nToken)) {
        const long long n = DecodeBase64(pToken, nToken, decoded, sizeof(decoded));
        bExpectRight = n == static_cast<long long>(sizeof(kUserPassword) - 1) &&
                       std::string(reinterpret_cast<char*>(decoded), n) == kUserPassword;
    }
    // Each input from an address of its own, so that the throttle leaves every one checked.
    const std::string peer = "p" + std::to_string(++nPeer);
    const AuthOutcome outcome = pCredentials->Check(authorization, peer.c_str(), 0).m_outcome;
    FUZZ_CHECK((outcome == AuthOutcome::kRight) == bExpectRight);
    FUZZ_CHECK(outcome != AuthOutcome::kThrottled);
    return 0;
}
