// The words both programs share: the port option's value and the addresses they name.
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
