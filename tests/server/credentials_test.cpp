// The credential check and the guess throttle, on buffers and a fake clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/credentials.h"
#include "server/guess_throttle.h"

namespace {

CHeaderValue ValueOf(const std::string& text, int lines = 1) {
    return CHeaderValue{text.data(), text.size(), lines};
}

TEST(Sha256, GivesTheStandardsDigestsWhateverThePieces) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        for (size_t piece : {size_t{7}, size_t{63}, size_t{64}, c.first.size() + 1}) {
            CSha256 sha;
            for (size_t at = 0; at < c.first.size(); at += piece) {
                sha.Add(c.first.data() + at, std::min(piece, c.first.size() - at));
            }
            unsigned char digest[kSha256Size];
            sha.Finish(digest);
            char hex[2 * kSha256Size + 1];
            for (size_t i = 0; i < kSha256Size; ++i) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            EXPECT_STREQ(hex, c.second) << c.first.size() << "/" << piece;
        }
    }
}

TEST(Base64, DecodesOnlyStrictPaddedText) {
    const std::pair<const char*, const char*> taken[] = {
        {"", ""}, {"Zm9v", "foo"}, {"Zm8=", "fo"}, {"Zg==", "f"}, {"YTpiOmM=", "a:b:c"}};
    for (const auto& c : taken) {
        unsigned char out[16];
        const long long n = DecodeBase64(c.first, std::strlen(c.first), out, sizeof(out));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), n >= 0 ? n : 0), c.second) << c.first;
    }
    // Bits left over, padding inside or missing, blanks, the URL alphabet, no room.
    for (const char* text : {"Zm9", "Zm9v\n", "Zh==", "Zm9=", "Z===", "Zg=a", "Zm 9", "-_-_",
                             "====", "Zg==Zm9v", "Zm9vYmFy"}) {
        unsigned char out[4];
        EXPECT_EQ(DecodeBase64(text, std::strlen(text), out, sizeof(out)), -1) << text;
    }
}

TEST(Credentials, AreSetOnlyFromUserColonPasswordAndTheTextIsWiped) {
    const std::pair<std::string, bool> cases[] = {{"alice:secret", true},
                                                  {"alice:", true},
                                                  {"bob:pa:ss:word", true},
                                                  {"alicesecret", false},
                                                  {":secret", false},
                                                  {"", false},
                                                  {"al\nice:x", false},
                                                  {std::string("a:b\0c", 5), false},
                                                  {"a:" + std::string(1023, 'x'), false}};
    for (const auto& c : cases) {
        std::string text = c.first;
        CCredentials credentials;
        EXPECT_EQ(credentials.Set(&text[0], text.size()), c.second) << c.first;
        EXPECT_EQ(credentials.IsRequired(), c.second);
        EXPECT_EQ(text, std::string(c.first.size(), '\0'));
    }
}

TEST(Credentials, TellRightWrongMissingAndMalformedApart) {
    std::string text = "j\xC3\xBCrgen:p\xC3\xA4ss:w\xC3\xB6rd";  // UTF-8, a colon in the password
    CCredentials credentials;
    ASSERT_TRUE(credentials.Set(&text[0], text.size()));
    EXPECT_EQ(credentials.GetUser(), "j\xC3\xBCrgen");
    const std::string right = "asO8cmdlbjpww6Rzczp3w7ZyZA==";
    const struct {
        std::string m_value;
        int m_nLines;
        AuthOutcome m_outcome;
    } cases[] = {
        {"Basic " + right, 1, AuthOutcome::kRight},
        {"basic \t " + right, 1, AuthOutcome::kRight},
        {"Basic " + right, 2, AuthOutcome::kWrong},                      // two fields
        {"Basic asO8cmdlbjpww6Rzczp3w7ZyZB==", 1, AuthOutcome::kWrong},  // bits left over
        {"Basic asO8cmdlbjpww6Rzczp3w7Zy", 1, AuthOutcome::kWrong},      // a byte short
        {"Basic anVyZ2VuOnDDpHNzOnfDtnJk", 1, AuthOutcome::kWrong},      // "jurgen"
        {"Basic asO8cmdlbg==", 1, AuthOutcome::kWrong},                  // no colon
        {"Basic", 1, AuthOutcome::kWrong},
        {"Basic " + right + " x", 1, AuthOutcome::kWrong},
        {"", 0, AuthOutcome::kMissing},
        {"Bearer " + right, 1, AuthOutcome::kMissing},
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

TEST(Credentials, AConnectionsMarkSparesTheHashOnlyForTheValueFoundRightOnIt) {
    std::string text = "user:secret";
    CCredentials credentials;
    ASSERT_TRUE(credentials.Set(&text[0], text.size()));
    const std::string rightText = "Basic dXNlcjpzZWNyZXQ=", wrongText = "Basic dXNlcjpTZWNyZXQ=";
    const CHeaderValue right = ValueOf(rightText), wrong = ValueOf(wrongText);
    uint64_t mark = 0;
    // A value never found right on the connection sets no mark, however often it comes.
    EXPECT_EQ(credentials.Check(wrong, "10.1.0.1", 0, &mark).m_outcome, AuthOutcome::kWrong);
    EXPECT_EQ(mark, 0u);
    EXPECT_EQ(credentials.Check(right, "10.1.0.1", 0, &mark).m_outcome, AuthOutcome::kRight);
    ASSERT_NE(mark, 0u);
    EXPECT_EQ(credentials.Check(right, "10.1.0.1", 0, &mark).m_outcome, AuthOutcome::kRight);
    EXPECT_EQ(
        credentials.Check(ValueOf("Basic dXNlcjpzZWNyZXQ=", 2), "10.1.0.1", 0, &mark).m_outcome,
        AuthOutcome::kWrong);
    EXPECT_EQ(mark, 0u);
    // A marked connection from an address that guessed since is throttled all the same.
    EXPECT_EQ(credentials.Check(right, "10.1.0.1", 0, &mark).m_outcome, AuthOutcome::kRight);
    for (int i = 0; i < 5; ++i) credentials.Check(wrong, "10.1.0.1", 0);
    EXPECT_EQ(credentials.Check(right, "10.1.0.1", 0, &mark).m_outcome, AuthOutcome::kThrottled);
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
    EXPECT_EQ(ThrottleKeyOf("64:ff9b::192.0.2.1"), "64:ff9b:0:0::/64");
    // A minute later nothing is remembered.
    EXPECT_EQ(throttle.WaitLeft("10.0.0.9", 200 + CGuessThrottle::kWindowMs), 0u);
    EXPECT_EQ(throttle.Size(), 0u);
}

}  // namespace
