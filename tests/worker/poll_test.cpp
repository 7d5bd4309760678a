// The poll cycle and the target commands' replies: what the worker keeps and
// posts for identify replies of every form, and which clear, blank-check and
// get-CRC replies it accepts.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>
#include <utility>

#include "target/job.h"
#include "target/target_info.h"
#include "target/commands.h"
#include "target/handover.h"
#include "target/worker.h"
#include "tests/support/bytes.h"
#include "tests/support/harness.h"

namespace {

class PollTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static const bool ready = HARNESS_Setup(PROGRESS_BAR::NONE);
        ASSERT_TRUE(ready);
        HARNESS_RestartWorker();
    }
    // What a case started goes with it, also when it stops early.
    void TearDown() override {
        HARNESS_StopSim(sim_);
        peer_.reset();
    }
    // The simulated handheld, or a peer answering as the handler says, found.
    void Connect(const SIM_CONFIG& config = SIM_CONFIG{}) {
        sim_ = HARNESS_StartSim(config);
        ASSERT_NE(sim_, nullptr);
        ASSERT_TRUE(HARNESS_WaitConnected());
    }
    void ConnectPeer(PEER_HANDLER handler) {
        peer_ = HARNESS_StartPeer(std::move(handler));
        ASSERT_NE(peer_, nullptr);
        ASSERT_TRUE(HARNESS_WaitConnected());
    }

    SIM* sim_ = nullptr;
    std::unique_ptr<Peer> peer_;
};

TARGET_INFO RawInfo() {
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    return info;
}

// A peer that answers identify with `payload` and everything else as given.
PEER_HANDLER Answering(std::vector<uint8_t> identify, PEER_HANDLER others = nullptr) {
    return [identify, others](uint8_t command, const std::vector<uint8_t>& data) {
        if (command == CMD_IDENTIFY) {
            return std::vector<PEER_SEND>{{0, Reply(CMD_IDENTIFY, identify)}};
        }
        return others ? others(command, data) : std::vector<PEER_SEND>{};
    };
}

// A connected target that answers everything but identify as given.
PEER_HANDLER Connected(PEER_HANDLER others) {
    return Answering(HARNESS_IdentifyPayload(0, "a", "b", true), std::move(others));
}

TEST(IdentifyTimeout, FollowsTheBaudRateWithZeroCountingAs1200) {
    EXPECT_EQ(TARGET_IdentifyTimeout(0), 1048u);
    EXPECT_EQ(TARGET_IdentifyTimeout(1200), 1048u);
    EXPECT_EQ(TARGET_IdentifyTimeout(9600), 166u);
    EXPECT_EQ(TARGET_IdentifyTimeout(115200), 50u);
}

TEST_F(PollTest, KeepsTheLongReplyAndReportsOneDisconnectPerLoss) {
    Connect();
    PumpFor(100);
    TARGET_INFO info;
    TARGET_GetInfo(&info);
    EXPECT_EQ(info.connected, 1);
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.target_value, 0x00010004u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.text2), info.text2_len),
              "Tidewell Handheld TW-200");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.text1), info.text1_len),
              "Tidewell boot loader");
    EXPECT_EQ(info.crc_start[0], 0x40080000u);
    EXPECT_EQ(info.crc_length[0], 846918u);
    EXPECT_EQ(info.crc_start[1], 0x4014EC48u);
    EXPECT_EQ(info.crc_length[1], 622579u);
    EXPECT_EQ(info.last_crc, -1);
    EXPECT_GE(HARNESS_CountCommands(ID_NOTIFY_CONNECTED), 2);
    EXPECT_GE(HARNESS_CountCommands(ID_NOTIFY_TICK), 2);
    EXPECT_EQ(HARNESS_CountCommands(ID_NOTIFY_DISCONNECTED), 0);

    HARNESS_StopSim(std::exchange(sim_, nullptr));
    ASSERT_TRUE(PumpUntil([] { return !TARGET_IsConnected(); }, 3000));
    const int ticks = HARNESS_CountCommands(ID_NOTIFY_TICK);
    PumpFor(1200); // several silent cycles of about 200 ms
    EXPECT_EQ(HARNESS_CountCommands(ID_NOTIFY_DISCONNECTED), 1);
    EXPECT_GE(HARNESS_CountCommands(ID_NOTIFY_TICK), ticks + 3);
    TARGET_GetInfo(&info);
    TARGET_INFO zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
    EXPECT_EQ(RawInfo().last_crc, -1);
    EXPECT_EQ(RawInfo().text2_len, 24); // kept, only not handed out

    // Found again, lost again: one more disconnect.
    Connect();
    HARNESS_StopSim(std::exchange(sim_, nullptr));
    ASSERT_TRUE(PumpUntil([] { return !TARGET_IsConnected(); }, 3000));
    PumpFor(600);
    EXPECT_EQ(HARNESS_CountCommands(ID_NOTIFY_DISCONNECTED), 2);
}

TEST_F(PollTest, NonZeroStatusIsNotifiedButConnectsNothingAndRefusesJobs) {
    SIM_CONFIG config;
    config.status = 3;
    sim_ = HARNESS_StartSim(config);
    ASSERT_NE(sim_, nullptr);
    ASSERT_TRUE(PumpUntil([] { return HARNESS_CountCommands(ID_NOTIFY_CONNECTED) >= 2; }, 3000));
    EXPECT_FALSE(TARGET_IsConnected());
    const TARGET_INFO info = RawInfo();
    EXPECT_EQ(info.status, 3);
    EXPECT_EQ(info.status_nonzero, 1);
    EXPECT_EQ(info.text2_len, 0);
    EXPECT_EQ(info.crc_length[0], 0u);

    // Not started, and reported as failed so that an update stops at once.
    EXPECT_EQ(JOB_ClearTarget(), JOB_COMM_FAILED);
    EXPECT_EQ(UPDATE_Run(), JOB_COMM_FAILED);
    EXPECT_TRUE(HARNESS_StatusTexts().empty());
    EXPECT_EQ(SIM_CountRequests(sim_, SIM_CMD_CLEAR), 0u);
}

TEST_F(PollTest, ShortReplyAsksForOneRangeLongReplyForTwo) {
    SIM_CONFIG config;
    config.long_form = false;
    Connect(config);
    EXPECT_EQ(RawInfo().crc_length[1], 0u);
    const int32_t crc = JOB_GetCRC();
    EXPECT_EQ(crc, SIM_GetStats(sim_).last_crc);
    std::vector<SIM_REQUEST> asks = HARNESS_Requests(sim_, SIM_CMD_GET_CRC);
    ASSERT_EQ(asks.size(), 2u);
    EXPECT_TRUE(asks[0].data.empty());
    EXPECT_EQ(asks[1].data, (std::vector<uint8_t>{0x00, 0x00, 0x08, 0x40, 0x46, 0xEC, 0x0C, 0x00}));
    EXPECT_EQ(HARNESS_StatusTexts(), std::vector<std::string>{"Get CRC"});
    HARNESS_StopSim(std::exchange(sim_, nullptr));

    HARNESS_RestartWorker();
    Connect();
    const int32_t long_crc = JOB_GetCRC();
    EXPECT_EQ(long_crc, SIM_GetStats(sim_).last_crc);
    asks = HARNESS_Requests(sim_, SIM_CMD_GET_CRC);
    ASSERT_EQ(asks.size(), 3u);
    EXPECT_EQ(asks[2].data, (std::vector<uint8_t>{0x48, 0xEC, 0x14, 0x40, 0xF3, 0x7F, 0x09, 0x00}));
}

TEST_F(PollTest, IdentifyRepliesAreReadOnlyInsideTheirData) {
    // Texts longer than their field: cut to 100 bytes, ranges still found.
    const std::string long_text(150, 'x');
    ConnectPeer(Answering(HARNESS_IdentifyPayload(0, long_text, "unit 7", true)));
    TARGET_INFO info = RawInfo();
    EXPECT_EQ(info.text1_len, 100);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.text1), 100), std::string(100, 'x'));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.text2), info.text2_len), "unit 7");
    EXPECT_EQ(info.crc_start[0], 0x1000u);
    EXPECT_EQ(info.crc_length[1], 0x20u);
    peer_.reset();
    ASSERT_TRUE(PumpUntil([] { return !TARGET_IsConnected(); }, 3000));

    // Declared contents running past the data, or no data at all: not
    // stored, not a connection.
    std::vector<uint8_t> overrun = HARNESS_IdentifyPayload(0, "abc", "def", false);
    overrun[9] = 200; // len2
    for (const std::vector<uint8_t>& payload :
         {overrun, std::vector<uint8_t>{}, std::vector<uint8_t>{0, 1, 2, 3, 4, 5}}) {
        HARNESS_RestartWorker();
        peer_ = HARNESS_StartPeer(Answering(payload));
        PumpFor(500);
        EXPECT_FALSE(TARGET_IsConnected());
        EXPECT_EQ(HARNESS_CountCommands(ID_NOTIFY_CONNECTED), 0);
        EXPECT_EQ(RawInfo().text1_len, 0);
        EXPECT_GE(peer_->Commands().size(), 2u);
        peer_.reset();
    }
}

// Clear and get-CRC replies that are too short are invalid, never filled up
// from old buffer bytes. A reply that cannot be trusted, or a CRC sequence
// that failed anywhere, is asked for once more: the clear again (erasing
// twice does no harm), the CRC sequence from its opening request.
TEST_F(PollTest, EraseAndCrcRepliesAreCheckedForLength) {
    struct CASE {
        std::vector<uint8_t> reply;
        uint8_t status;
        int sends; // clear requests that went out
    };
    const std::vector<uint8_t> found = {0x00, 0x10, 0x08, 0x40, 0x00, 0x00, 0x00, 0x00};
    const CASE cases[] = {
        {Reply(REPLY_ERASE, {}), JOB_OK, 1},
        {Reply(REPLY_ERASE, found), JOB_TARGET_ERROR, 1},
        {Reply(REPLY_ERASE, {0x00, 0x10, 0x08}), JOB_COMM_FAILED, 2},
        {Reply(CMD_CLEAR, {}), JOB_COMM_FAILED, 2}, // the request's code, not the reply's
    };
    for (const CASE& c : cases) {
        HARNESS_RestartWorker();
        const std::vector<uint8_t> reply = c.reply;
        ConnectPeer(Connected([reply](uint8_t, const std::vector<uint8_t>&) {
            return std::vector<PEER_SEND>{{0, {0x90}}, {0, reply}};
        }));
        JOB_ErrorAddress = 0;
        EXPECT_EQ(JOB_ClearTarget(), c.status);
        const std::vector<uint8_t> commands = peer_->Commands();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_CLEAR), c.sends);
        if (c.status == JOB_TARGET_ERROR) {
            EXPECT_EQ(JOB_ErrorAddress.load(), 0x40081000u);
            EXPECT_EQ(JOB_ErrorValue.load(), 0u);
        }
        // The blank check reads the same replies.
        JOB_Run("Blank check", CMD_BLANK_CHECK);
        EXPECT_EQ(JOB_STATUS.load(), c.status);
        peer_.reset();
    }

    // The last of each sequence's three answers carries the CRC.
    for (const auto& c : {std::make_tuple(std::vector<uint8_t>{0x00, 0x34, 0x12}, 0x1234, 3),
                          std::make_tuple(std::vector<uint8_t>{0x00, 0x34}, -1, 6)}) {
        HARNESS_RestartWorker();
        const std::vector<uint8_t> last = std::get<0>(c);
        std::atomic<int> asks{0};
        ConnectPeer(Connected([last, &asks](uint8_t, const std::vector<uint8_t>&) {
            const bool final_ask = ++asks % 3 == 0;
            return std::vector<PEER_SEND>{
                {0, {0x90}},
                {0, Reply(REPLY_CRC, final_ask ? last : std::vector<uint8_t>{0, 0, 0})}};
        }));
        EXPECT_EQ(JOB_GetCRC(), std::get<1>(c));
        EXPECT_EQ(asks.load(), std::get<2>(c));
        peer_.reset();
    }
}

// A CRC range request is never sent on its own again: the target adds each
// range it is sent to its running CRC. Its lost acknowledge, or noise
// ahead of its reply, starts the sequence again from its opening request.
TEST_F(PollTest, ACrcRangeIsNeverAskedForTwiceInOneSequence) {
    const Bytes reply = Reply(REPLY_CRC, {0, 0x34, 0x12});
    Bytes broken = reply;
    broken[9] ^= 0x40;
    for (const Bytes& first_range_answer : {Bytes{}, Cat({0x90}, broken)}) {
        HARNESS_RestartWorker();
        std::vector<size_t> asked; // data lengths of the get-CRC requests, in order
        ConnectPeer(Connected([&](uint8_t, const Bytes& data) {
            asked.push_back(data.size());
            if (asked.size() == 2) {
                return std::vector<PEER_SEND>{{0, first_range_answer}};
            }
            return std::vector<PEER_SEND>{{0, {0x90}}, {0, reply}};
        }));
        EXPECT_EQ(JOB_GetCRC(), 0x1234);
        peer_.reset();
        // Opening, the first range; then opening and both ranges again.
        EXPECT_EQ(asked, (std::vector<size_t>{0, 8, 0, 8, 8}));
    }
}

// Noise on the line while polling, and ahead of a job's answers: the link
// falls back into step by itself. The old trap: each failed poll took fewer
// bytes than the target added, and the connection was lost for good.
TEST_F(PollTest, TheLinkFallsBackIntoStepAfterNoise) {
    const Bytes banner = Cat(Bytes(12, 'b'), {0x68, 0x90, 0x16});
    const Bytes reply = Reply(CMD_IDENTIFY, HARNESS_IdentifyPayload(0, "a", "b", true));
    const Bytes burst_inside = Cat(Cat(Bytes(reply.begin(), reply.begin() + 4), banner),
                                   Bytes(reply.begin() + 4, reply.end()));
    struct CASE {
        const char* name;
        Bytes third_answer; // what the third identify request gets
    };
    const CASE cases[] = {
        {"glitch 0x00", Cat({0x00}, reply)},
        {"glitch 0xFF", Cat({0xFF}, reply)},
        {"stray start byte", Cat({0x68}, reply)},
        {"banner", Cat(banner, reply)},
        {"long banner", Cat(Bytes(300, 0x68), reply)},
        {"burst inside the reply", burst_inside},
        {"replies piled up", Cat(Cat(reply, reply), Cat(reply, reply))},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        HARNESS_RestartWorker();
        std::atomic<int> polls{0};
        const Bytes third = c.third_answer;
        peer_ = HARNESS_StartPeer([&polls, third, reply](uint8_t, const Bytes&) {
            return std::vector<PEER_SEND>{{0, ++polls == 3 ? third : reply}};
        });
        ASSERT_NE(peer_, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return polls.load() >= 3; }, 3000));
        const int connected = HARNESS_CountCommands(ID_NOTIFY_CONNECTED);
        // Within a second of the noise the polls are answered again.
        ASSERT_TRUE(PumpUntil(
            [&] { return HARNESS_CountCommands(ID_NOTIFY_CONNECTED) >= connected + 3; }, 1500));
        EXPECT_TRUE(TARGET_IsConnected());
        peer_.reset();
    }

    // A job starts on a quiet line: stale answers ahead of the clear's are
    // drained, not taken for its acknowledge or reply.
    HARNESS_RestartWorker();
    ConnectPeer(Connected([reply](uint8_t command, const Bytes&) {
        if (command == CMD_CLEAR) {
            // The reply once the flash is erased, a moment after.
            return std::vector<PEER_SEND>{{0, Cat({0x00, 0xFF}, {0x90})},
                                          {200, Cat({0xFF}, Reply(REPLY_ERASE, {}))}};
        }
        return std::vector<PEER_SEND>{{0, {0x90}}};
    }));
    EXPECT_EQ(JOB_ClearTarget(), JOB_OK);
    peer_.reset();
}

// A slow link (a Bluetooth serial port) answers each request 130 ms on: the
// first poll sends twice before its answer comes, and the second answer,
// still on its way then, must not be left for a quiet check to find. The
// waits follow the link from there, and make valid goes out.
TEST_F(PollTest, ASlowLinkIsWaitedForAndLeftInStep) {
    const Bytes identify = Reply(CMD_IDENTIFY, HARNESS_IdentifyPayload(0, "a", "b", true));
    ConnectPeer([identify](uint8_t command, const Bytes&) {
        return std::vector<PEER_SEND>{{130, command == CMD_IDENTIFY ? identify : Bytes{0x90}}};
    });
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(JOB_MakeValid(), JOB_OK) << i;
    }
    EXPECT_TRUE(TARGET_IsConnected());
}

// Make valid goes out only on a quiet line: a byte where none is due fails
// it with nothing sent.
TEST_F(PollTest, MakeValidIsNotSentOnANoisyLine) {
    ConnectPeer(Connected([](uint8_t, const Bytes&) {
        return std::vector<PEER_SEND>{{0, {0x90}}};
    }));
    std::atomic<bool> stop{false};
    Peer* peer = peer_.get();
    std::thread noise([&] {
        while (!stop) {
            peer->Send(Bytes{0x00});
            Sleep(5);
        }
    });
    const uint8_t noisy = JOB_MakeValid();
    stop = true;
    noise.join();
    EXPECT_EQ(noisy, JOB_COMM_FAILED);
    const std::vector<uint8_t> commands = peer_->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_MAKE_VALID), 0);
    // Quiet again, it goes out.
    PumpFor(200);
    EXPECT_EQ(JOB_MakeValid(), JOB_OK);
}

// A clear waiting for its reply does not hold the runner after a cancel, and
// the next job is stored only once the worker has finished the clear.
TEST_F(PollTest, CancelledClearReturnsAtOnceAndTheNextJobWaitsForTheWorker) {
    ConnectPeer(Connected([](uint8_t command, const std::vector<uint8_t>&) {
        if (command == CMD_CLEAR) {
            return std::vector<PEER_SEND>{{0, {0x90}}, {1500, Reply(REPLY_ERASE, {})}};
        }
        return std::vector<PEER_SEND>{{0, {0x90}}};
    }));
    const DWORD start = GetTickCount();
    HARNESS_OnTimer = [start] {
        if (GetTickCount() - start > 150) {
            HARNESS_CallCancelHook();
        }
    };
    EXPECT_EQ(JOB_ClearTarget(), JOB_CANCELLED);
    HARNESS_OnTimer = nullptr;
    EXPECT_LT(GetTickCount() - start, 1000u);
    EXPECT_NE(JOB_KIND.load(), JOB_IDLE); // the worker still waits for the reply

    EXPECT_EQ(JOB_MakeValid(), JOB_OK);
    EXPECT_GE(GetTickCount() - start, 1400u);
    const std::vector<uint8_t> commands = peer_->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_CLEAR), 1);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_MAKE_VALID), 1);
}

} // namespace
