// The credential check and the guess throttle, on buffers and a fake clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/credentials.h"
#include "server/guess_throttle.h"

namespace {

std::string Hex(const unsigned char* p, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < n; ++i) {
        text += kDigits[p[i] >> 4];
        text += kDigits[p[i] & 15];
    }
    return text;
}

CHeaderValue ValueOf(const std::string& text, int lines = 1) {
    return CHeaderValue{text.data(), text.size(), lines};
}

TEST(Sha256, GivesTheStandardsDigestsWhateverThePieces) {
    const struct {
        std::string m_message;
        const char* m_pszDigest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, c.m_message.size() + 1}) {
            if (piece == 1 && c.m_message.size() > 1000) continue;
            CSha256 sha;
            for (size_t at = 0; at < c.m_message.size(); at += piece) {
                sha.Add(c.m_message.data() + at, std::min(piece, c.m_message.size() - at));
            }
            unsigned char digest[kSha256Size];
            sha.Finish(digest);
            EXPECT_EQ(Hex(digest, sizeof(digest)), c.m_pszDigest)
                << c.m_message.size() << "/" << piece;
        }
    }
}

TEST(Base64, DecodesOnlyStrictPaddedText) {
    const struct {
        const char* m_pszText;
        const char* m_pszDecoded;  // null: refused
    } cases[] = {
        {"", ""},
        {"Zm9v", "foo"},
        {"Zm8=", "fo"},
        {"Zg==", "f"},
        {"YTpiOmM=", "a:b:c"},
        {"Zm9", nullptr},
        {"Zm9v\n", nullptr},
        {"Zh==", nullptr},
        {"Zm9=", nullptr},
        {"Z===", nullptr},
        {"Zg=a", nullptr},
        {"Zm 9", nullptr},
        {"-_-_", nullptr},
        {"====", nullptr},
        {"Zg==Zm9v", nullptr},
    };
    for (const auto& c : cases) {
        unsigned char out[16];
        const long long n = DecodeBase64(c.m_pszText, std::strlen(c.m_pszText), out, sizeof(out));
        if (c.m_pszDecoded == nullptr) {
            EXPECT_EQ(n, -1) << c.m_pszText;
        } else {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n > 0 ? size_t(n) : 0),
                      c.m_pszDecoded)
                << c.m_pszText;
        }
    }
    unsigned char small[2];
    EXPECT_EQ(DecodeBase64("Zm9v", 4, small, sizeof(small)), -1);
}

TEST(Credentials, AreSetOnlyFromUserColonPasswordAndTheTextIsWiped) {
    const struct {
        std::string m_text;
        bool m_bTaken;
    } cases[] = {
        {"alice:secret", true},   {"alice:", true},
        {"bob:pa:ss:word", true}, {"alicesecret", false},
        {":secret", false},       {"", false},
        {"al\nice:x", false},     {std::string("a:b\0c", 5), false},
    };
    for (const auto& c : cases) {
        std::string text = c.m_text;
        CCredentials credentials;
        EXPECT_EQ(credentials.Set(&text[0], text.size()), c.m_bTaken) << c.m_text;
        EXPECT_EQ(credentials.IsRequired(), c.m_bTaken);
        EXPECT_EQ(text, std::string(c.m_text.size(), '\0'));
    }
}

TEST(Credentials, TellRightWrongMissingAndMalformedApart) {
    std::string text = "j\xC3\xBCrgen:p\xC3\xA4ss:w\xC3\xB6rd";  // UTF-8, a colon in the password
    CCredentials credentials;
    ASSERT_TRUE(credentials.Set(&text[0], text.size()));
    EXPECT_EQ(credentials.GetUser(), "j\xC3\xBCrgen");
    const struct {
        std::string m_value;
        int m_nLines;
        AuthOutcome m_outcome;
    } cases[] = {
        {"Basic asO8cmdlbjpww6Rzczp3w7ZyZA==", 1, AuthOutcome::kRight},
        {"basic \t asO8cmdlbjpww6Rzczp3w7ZyZA==", 1, AuthOutcome::kRight},
        {"Basic asO8cmdlbjpww6Rzczp3w7ZyZA==", 2, AuthOutcome::kWrong},  // two fields
        {"Basic asO8cmdlbjpww6Rzczp3w7ZyZB==", 1,
         AuthOutcome::kWrong},                                       // malformed: bits left over
        {"Basic asO8cmdlbjpww6Rzczp3w7Zy", 1, AuthOutcome::kWrong},  // a byte short
        {"Basic anVyZ2VuOnDDpHNzOnfDtnJk", 1, AuthOutcome::kWrong},  // "jurgen": not UTF-8 ü
        {"Basic asO8cmdlbg==", 1, AuthOutcome::kWrong},              // no colon
        {"Basic asO8cmdlbjpww6Rzcw==", 1, AuthOutcome::kWrong},      // the password cut short
        {"Basic", 1, AuthOutcome::kWrong},                           // no token
        {"Basic asO8cmdlbjpww6Rzczp3w7ZyZA== x", 1, AuthOutcome::kWrong},  // something after it
        {"", 0, AuthOutcome::kMissing},
        {"Bearer asO8cmdlbjpww6Rzczp3w7ZyZA==", 1, AuthOutcome::kMissing},
        {"BasicasO8", 1, AuthOutcome::kMissing},
    };
    int peer = 0;
    for (const auto& c : cases) {
        // Each from its own address, so that no row is throttled by the others.
        const std::string address = "10.0.0." + std::to_string(++peer);
        EXPECT_EQ(credentials.Check(ValueOf(c.m_value, c.m_nLines), address.c_str(), 0).m_outcome,
                  c.m_outcome)
            << c.m_value;
    }
}

TEST(GuessThrottle, RefusesAnAddressAfterFiveWrongTriesUntilItsMinuteIsOver) {
    std::string text = "alice:secret";
    CCredentials credentials;
    ASSERT_TRUE(credentials.Set(&text[0], text.size()));
    const std::string wrongText = "Basic YWxpY2U6c2VjcmV1", rightText = "Basic YWxpY2U6c2VjcmV0";
    const CHeaderValue wrong = ValueOf(wrongText), right = ValueOf(rightText);
    for (uint64_t t = 1000; t < 6000; t += 1000) {
        EXPECT_EQ(credentials.Check(wrong, "192.0.2.7", t).m_outcome, AuthOutcome::kWrong);
    }
    // The right password from the guesser is refused too; elsewhere it is served.
    const CAuthVerdict refused = credentials.Check(right, "192.0.2.7", 30500);
    EXPECT_EQ(refused.m_outcome, AuthOutcome::kThrottled);
    EXPECT_EQ(refused.m_nRetryAfterSeconds, 31u);
    EXPECT_EQ(credentials.Check(right, "192.0.2.8", 30500).m_outcome, AuthOutcome::kRight);
    EXPECT_EQ(credentials.Check(CHeaderValue(), "192.0.2.7", 30500).m_outcome,
              AuthOutcome::kMissing);
    EXPECT_EQ(credentials.Check(wrong, "192.0.2.7", 60999).m_outcome, AuthOutcome::kThrottled);
    EXPECT_EQ(credentials.Check(right, "192.0.2.7", 61000).m_outcome, AuthOutcome::kRight);
    EXPECT_EQ(credentials.Check(wrong, "192.0.2.7", 61000).m_outcome, AuthOutcome::kWrong);
}

TEST(GuessThrottle, ForgetsTheOldestWhenFullAndCountsAnIpv6NetworkAsOne) {
    CGuessThrottle throttle(3);
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"}) {
        for (int i = 0; i < 5; ++i) throttle.CountWrong(address, 100);
    }
    EXPECT_EQ(throttle.Size(), 3u);
    EXPECT_EQ(throttle.WaitLeft("10.0.0.1", 100), 0u);
    EXPECT_EQ(throttle.WaitLeft("10.0.0.4", 100), CGuessThrottle::kWindowMs);
    for (int i = 0; i < 5; ++i) throttle.CountWrong("2001:db8:0:1::1", 200);
    EXPECT_EQ(throttle.WaitLeft("2001:db8:0:1:ab:cd:ef:12", 200), CGuessThrottle::kWindowMs);
    EXPECT_EQ(throttle.WaitLeft("2001:db8:0:2::1", 200), 0u);
    EXPECT_EQ(ThrottleKeyOf("::1"), "0:0:0:0::/64");
    EXPECT_EQ(ThrottleKeyOf("64:ff9b::192.0.2.1"), "64:ff9b:0:0::/64");
    // A minute later nothing is remembered, and the common path takes no lock again.
    EXPECT_EQ(throttle.WaitLeft("10.0.0.9", 200 + CGuessThrottle::kWindowMs), 0u);
    throttle.CountWrong("10.0.0.9", 200 + CGuessThrottle::kWindowMs);
    EXPECT_EQ(throttle.Size(), 1u);
}

}  // namespace
