// The words both programs share: the port and bind options' values and the addresses they
// name.
#include "app/server_session.h"

#include <gtest/gtest.h>

#include "foundation/network.h"

namespace {

TEST(PortText, OnlyDecimalDigitsFrom1To65535AreAPort) {
    unsigned short port = 7;
    EXPECT_TRUE(ParsePort(L"1", port));
    EXPECT_EQ(port, 1);
    EXPECT_TRUE(ParsePort(L"65535", port));
    EXPECT_EQ(port, 65535);
    EXPECT_TRUE(ParsePort(L"08080", port));
    EXPECT_EQ(port, 8080);
    for (const wchar_t* pszBad : {L"", L"0", L"65536", L"99999999999999999999", L"-1", L"+80",
                                  L"80 ", L"8x", L"\uff18\uff10"}) {
        port = 7;
        EXPECT_FALSE(ParsePort(pszBad, port)) << testing::PrintToString(std::wstring(pszBad));
        EXPECT_EQ(port, 7) << "a refused value leaves the port alone";
    }
}

TEST(BindText, LiteralsAndLocalhostAreTakenAndNamedAsAUrlHostNamesAreNot) {
    const struct {
        const wchar_t* m_pszText;
        const char* m_pszHost;  // null: refused
        bool m_bThisComputerOnly;
    } cases[] = {
        {L"localhost", "localhost", true},
        {L"LocalHost", "localhost", true},
        {L"127.0.0.1", "127.0.0.1", true},
        {L"127.1.2.3", "127.1.2.3", true},
        {L"192.0.2.7", "192.0.2.7", false},
        {L"0.0.0.0", "0.0.0.0", false},
        {L"::1", "[::1]", true},
        {L"[::1]", "[::1]", true},
        {L"[2001:DB8:0:0::7]", "[2001:db8::7]", false},
        {L"::", "[::]", false},
        {L"", nullptr, false},
        {L"192.0.2", nullptr, false},
        {L"256.0.0.1", nullptr, false},
        {L"[127.0.0.1]", nullptr, false},
        {L"[::1", nullptr, false},
        {L"::1]", nullptr, false},
        {L"[]", nullptr, false},
        {L"fe80::1%eth0", nullptr, false},
        {L"127.0.0.1:80", nullptr, false},
        {L" 127.0.0.1", nullptr, false},
        {L"example.com", nullptr, false},
        {L"localhost.", nullptr, false},
        // Full-width digits must not narrow into an address.
        {L"\uff11.0.0.1", nullptr, false},
    };
    for (const auto& c : cases) {
        const std::string shown = testing::PrintToString(std::wstring(c.m_pszText));
        CListenAddress address;
        address.m_bytes[0] = 9;
        const bool bTaken = ParseBindAddress(c.m_pszText, address);
        EXPECT_EQ(bTaken, c.m_pszHost != nullptr) << shown;
        if (!bTaken) {
            EXPECT_EQ(address.m_kind, CListenAddress::Kind::kEvery) << shown;
            EXPECT_EQ(address.m_bytes[0], 9) << "a refused value leaves the address alone";
            continue;
        }
        EXPECT_EQ(ListenAddressHost(address), c.m_pszHost) << shown;
        EXPECT_EQ(IsLoopbackOnly(address), c.m_bThisComputerOnly) << shown;
    }
    EXPECT_FALSE(IsLoopbackOnly(CListenAddress()));
}

TEST(BindText, TheLocalAddressNamesTheOneAddressListenedOn) {
    CListenAddress address;
    EXPECT_EQ(LocalHttpAddress(address, 80), L"http://localhost/");
    ASSERT_TRUE(ParseBindAddress(L"localhost", address));
    EXPECT_EQ(LocalHttpAddress(address, 8080), L"http://localhost:8080/");
    ASSERT_TRUE(ParseBindAddress(L"::1", address));
    EXPECT_EQ(LocalHttpAddress(address, 8080), L"http://[::1]:8080/");
    ASSERT_TRUE(ParseBindAddress(L"192.0.2.7", address));
    EXPECT_EQ(LocalHttpAddress(address, 80), L"http://192.0.2.7/");
    EXPECT_EQ(NotLocalAddressText(address),
              L"cannot listen on 192.0.2.7: that address is not this computer's");
}

TEST(AddressText, ThePortIsNamedUnlessItIs80AndEveryNetworkAddressIsListed) {
    EXPECT_EQ(HttpAddress(L"localhost", 80), L"http://localhost/");
    EXPECT_EQ(HttpAddress(L"localhost", 8080), L"http://localhost:8080/");
    EXPECT_EQ(NetworkAddressesLine({}, 80), L"");
    EXPECT_EQ(NetworkAddressesLine({0xC0A80114u}, 80),
              L"Also on this network: http://192.168.1.20/");
    EXPECT_EQ(NetworkAddressesLine({0x0A000005u, 0xFFFFFFFEu}, 65535),
              L"Also on this network: http://10.0.0.5:65535/, http://255.255.255.254:65535/");
}

TEST(AddressText, LoopbackLinkLocalAndRepeatedAddressesAreLeftOut) {
    std::vector<uint32_t> addresses;
    for (uint32_t address :
         {0x7F000001u, 0x7F000101u, 0xA9FE0102u, 0xC0A80114u, 0x0A000005u, 0xC0A80114u}) {
        AddNetworkAddress(addresses, address);
    }
    EXPECT_EQ(addresses, (std::vector<uint32_t>{0xC0A80114u, 0x0A000005u}));
}

}  // namespace
