// The first read or write, before any port was chosen successfully, opens the
// port with plain defaults and transfers nothing. Runs in a program of its own
// because it needs the layer untouched.
#include "tests/com/com_fixture.h"

#include <gtest/gtest.h>

namespace {

TEST(ComFirstOpen, DefaultsNameHeldAndNothingTransferred) {
    COM_SetErrorHandler(RecordError);
    ASSERT_TRUE(TESTBENCH_Reset());
    ASSERT_TRUE(TESTBENCH_MapBusy(3));

    // A port that cannot be opened: result 1, no box, still not initialised.
    EXPECT_EQ(COM_OPEN_FAILURE::NONE, COM_GetOpenFailure());
    EXPECT_EQ(1, Choose(3));
    EXPECT_EQ(COM_OPEN_FAILURE::IN_USE, COM_GetOpenFailure());
    EXPECT_EQ(COM_STATE_NEW, Status().state);
    EXPECT_FALSE(Status().handle_held);
    EXPECT_FALSE(Status().exit_hook);

    ASSERT_TRUE(TESTBENCH_MapPair(3, 4));
    Peer peer(4);
    ASSERT_TRUE(peer.ok());

    WriteString("dropped");
    EXPECT_EQ("", peer.Receive(7));

    COM_STATUS s = Status();
    EXPECT_EQ(COM_STATE_OPEN, s.state);
    EXPECT_TRUE(s.handle_held);
    EXPECT_TRUE(s.exit_hook);
    EXPECT_EQ(9600u, s.line_baud_rate);
    EXPECT_EQ(9600u, s.port_baud_rate);
    EXPECT_EQ(8, s.line_byte_size);
    EXPECT_EQ(0, s.line_parity);
    EXPECT_EQ(0, s.line_stop_bits);
    EXPECT_EQ(0x1013u, s.line_flags);
    EXPECT_EQ(COM_OPEN_FAILURE::NONE, s.open_failure);
    EXPECT_EQ(2048, s.line_xon_lim);
    EXPECT_EQ(512, s.line_xoff_lim);
    EXPECT_EQ(17, s.line_xon_char);
    EXPECT_EQ(19, s.line_xoff_char);

    COM_CONFIG now;
    COM_GetConfig(&now);
    EXPECT_EQ(9600u, now.baud_rate);
    EXPECT_STREQ("\\\\.\\COM3", now.device_name);
    EXPECT_EQ(8, now.byte_size);
    EXPECT_EQ(0, now.parity);
    EXPECT_EQ(0, now.stop_bits);

    // From now on bytes pass both ways.
    WriteString("hello");
    EXPECT_EQ("hello", peer.Receive(5));
    peer.Send("ab");
    EXPECT_EQ("ab", ReadString(2, 1000));
    EXPECT_TRUE(ShownErrors().empty());
}

} // namespace
