// The bench itself: a mapped cable carries bytes both ways through the real
// Win32 serial calls, and ports that are busy or unmapped do not open.
#include "tests/support/peer.h"
#include "tests/support/testbench.h"

#include <gtest/gtest.h>

namespace {

TEST(Testbench, CableCarriesBytesBothWaysAndPortsCanBeBlocked) {
    ASSERT_TRUE(TESTBENCH_Reset());
    ASSERT_TRUE(TESTBENCH_MapPair(7, 8));
    {
        Peer a(7);
        Peer b(8);
        ASSERT_TRUE(a.ok());
        ASSERT_TRUE(b.ok());
        a.Send("ping");
        EXPECT_EQ("ping", b.Receive(4));
        b.Send(Bytes{0x90});
        EXPECT_EQ(Bytes{0x90}, a.ReceiveBytes(1, 1000));
    }

    ASSERT_TRUE(TESTBENCH_MapBusy(7));
    EXPECT_FALSE(Peer(7).ok());
    ASSERT_TRUE(TESTBENCH_Unmap(8));
    EXPECT_FALSE(Peer(8).ok());
    EXPECT_TRUE(TESTBENCH_Reset());
}

TEST(Testbench, NoPortOpensAfterReset) {
    ASSERT_TRUE(TESTBENCH_Reset());
    for (int n = 1; n <= 20; ++n) {
        EXPECT_FALSE(Peer(n).ok()) << "COM" << n;
    }
}

} // namespace
