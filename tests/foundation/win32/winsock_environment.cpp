// Every test of this binary may use sockets: start Windows Sockets 1.1 once, as the
// program does before its listener starts, and clean up after the last test.
#include <gtest/gtest.h>

#include "foundation/platform_types.h"

namespace {

class CWinsockEnvironment : public testing::Environment {
public:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    }
    void TearDown() override { WSACleanup(); }
};

const testing::Environment* const g_pWinsock =
    testing::AddGlobalTestEnvironment(new CWinsockEnvironment);

}  // namespace
