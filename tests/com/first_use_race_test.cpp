// The worker's first use landing while the dialog's first choice is still
// opening its port. Runs in a program of its own because it needs the layer
// untouched.
#include "tests/com/com_fixture.h"

#include "tests/support/blocking_open.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(ComFirstOpen, FirstUseDuringTheFirstChoicesOpenKeepsTheChosenSettings) {
    COM_SetErrorHandler(RecordError);
    ASSERT_TRUE(TESTBENCH_Reset());
    ASSERT_TRUE(TESTBENCH_MapPair(3, 4));
    Peer peer(4);
    ASSERT_TRUE(peer.ok());
    EXPECT_EQ(COM_OPEN_FAILURE::NONE, COM_GetOpenFailure());

    // The choice's open is held well within the bound, so that it succeeds.
    blocking_open::Install({3});
    int chosen = -1;
    std::thread ui([&chosen] { chosen = Choose(3); });
    while (blocking_open::Reached(3).load() == 0) {
        Sleep(1);
    }
    std::thread release([] {
        Sleep(COM_OPEN_BOUND_MS / 3);
        blocking_open::LetGoAll();
    });
    WriteString("first"); // the worker's first use, meanwhile
    ui.join();
    release.join();

    EXPECT_EQ(0, chosen);
    const COM_STATUS s = Status();
    EXPECT_EQ(COM_STATE_OPEN, s.state);
    EXPECT_EQ(115200u, s.line_baud_rate);
    EXPECT_EQ(115200u, s.port_baud_rate);
    EXPECT_EQ(COM_PARITY_ODD, s.line_parity);
    COM_CONFIG now;
    COM_GetConfig(&now);
    EXPECT_EQ(115200u, now.baud_rate);
    EXPECT_EQ(COM_PARITY_ODD, now.parity);
    EXPECT_EQ(COM_OPEN_FAILURE::NONE, COM_GetOpenFailure());

    // Nothing of the first use went out; what follows does.
    WriteString("hello");
    EXPECT_EQ("hello", peer.Receive(5));
    EXPECT_TRUE(ShownErrors().empty());
}

} // namespace
