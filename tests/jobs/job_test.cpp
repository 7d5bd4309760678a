// The programming job and the update sequence against the simulated handheld,
// with small hand-made images: how blocks are gathered, what a refusal, a
// lost target or a cancel leaves behind, and that no image is made valid
// unless all of it was acknowledged.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "app/app.h"
#include "app/display.h"
#include "image/crc16.h"
#include "image/image.h"
#include "target/commands.h"
#include "target/job.h"
#include "target/program.h"
#include "target/target_info.h"
#include "target/handover.h"
#include "target/worker.h"
#include "tests/support/bytes.h"
#include "tests/support/harness.h"

namespace {

using AREAS = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

class JobTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static const bool ready = HARNESS_Setup(PROGRESS_BAR::RECORDER);
        ASSERT_TRUE(ready);
        HARNESS_RestartWorker();
    }
    void TearDown() override {
        HARNESS_OnTimer = nullptr;
        HARNESS_OnProgress = nullptr;
        HARNESS_OnCommand = nullptr;
        HARNESS_StopSim(sim_);
        peer_.reset();
        APP_Image = nullptr;
        if (image_ != nullptr) {
            IMAGE_Free(image_);
        }
    }
    // The simulated target declares one CRC range over [start, start + length).
    void Start(const AREAS& areas, uint32_t crc_start, uint32_t crc_length,
               const SIM_FAULTS& faults = SIM_FAULTS{}) {
        image_ = HARNESS_MakeImage(areas);
        APP_Image = image_;
        SIM_CONFIG config;
        config.crc_start[0] = crc_start;
        config.crc_length[0] = crc_length;
        config.crc_start[1] = 0;
        config.crc_length[1] = 0;
        sim_ = HARNESS_StartSim(config);
        ASSERT_NE(sim_, nullptr);
        ASSERT_TRUE(HARNESS_WaitConnected());
        SIM_SetFaults(sim_, faults);
    }
    uint32_t Count(uint8_t command) { return SIM_CountRequests(sim_, command); }
    // One case of a loop done: the next Start begins afresh.
    void EndCase() {
        HARNESS_StopSim(sim_);
        sim_ = nullptr;
        IMAGE_Free(image_);
        image_ = nullptr;
    }

    SIM* sim_ = nullptr;
    std::unique_ptr<Peer> peer_;
    IMAGE* image_ = nullptr;
};

const AREAS SMALL = {{0x1000, HARNESS_Bytes(600, 1)}};

TEST_F(JobTest, BlocksFollowTheWindowsGapsAndAlignment) {
    const std::vector<uint8_t> a = HARNESS_Bytes(3, 2);
    const std::vector<uint8_t> b = HARNESS_Bytes(8, 3);
    const std::vector<uint8_t> c = HARNESS_Bytes(300, 4);
    Start({{0x1002, a}, {0x1010, b}, {0x1200, c}, {0x1403, {0x5A}}}, 0x1000, 0x500);
    EXPECT_EQ(JOB_ProgramTarget(image_), JOB_OK);

    const std::vector<SIM_REQUEST> blocks = HARNESS_Requests(sim_, SIM_CMD_PROGRAM);
    ASSERT_EQ(blocks.size(), 4u);
    // Unaligned start and a short gap: one block, 0xFF before and between.
    EXPECT_EQ(GetLe32(blocks[0].data), 0x1000u);
    std::vector<uint8_t> first(0x18, 0xFF);
    std::memcpy(&first[2], a.data(), 3);
    std::memcpy(&first[0x10], b.data(), 8);
    EXPECT_EQ(std::vector<uint8_t>(blocks[0].data.begin() + 4, blocks[0].data.end()), first);
    // A long gap closes the block; 236-byte windows from there.
    EXPECT_EQ(GetLe32(blocks[1].data), 0x1200u);
    EXPECT_EQ(blocks[1].data.size(), 240u);
    EXPECT_EQ(GetLe32(blocks[2].data), 0x12ECu);
    EXPECT_EQ(blocks[2].data.size(), 4u + 64u);
    EXPECT_EQ(std::vector<uint8_t>(blocks[2].data.begin() + 4, blocks[2].data.end()),
              std::vector<uint8_t>(c.begin() + 236, c.end()));
    // A lone byte at an odd address: rounded down, padded up to four.
    EXPECT_EQ(GetLe32(blocks[3].data), 0x1400u);
    EXPECT_EQ(std::vector<uint8_t>(blocks[3].data.begin() + 4, blocks[3].data.end()),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0x5A}));
    for (uint32_t i = 0; i < 300; ++i) {
        ASSERT_EQ(SIM_ReadFlash(sim_, 0x1200 + i), c[i]);
    }
    EXPECT_EQ(PROGRAM_Block.pending, 0u);

    // Progress over the 312 bytes, once per 129.
    ASSERT_EQ(HARNESS_ProgressRanges().size(), 1u);
    EXPECT_EQ(HARNESS_ProgressRanges()[0], std::make_pair(0, 312));
    EXPECT_EQ(HARNESS_ProgressPositions(), (std::vector<int32_t>{0, 1, 130, 259}));
    EXPECT_EQ(HARNESS_StatusTexts(), std::vector<std::string>{"Programming target"});
}

// Each position moves the bar while the block holding its bytes is on the
// wire: after that block went out and before its acknowledge is awaited, so
// the line never waits for the bar. The handheld holds each acknowledge
// until the bar has moved for that block; a job that awaited it first would
// time out. 600 bytes: blocks of 236, 236 and 128, the last one sent by the
// closing flush.
TEST_F(JobTest, TheBarMovesWhileTheBlockIsOnTheWire) {
    image_ = HARNESS_MakeImage(SMALL);
    static std::atomic<int> received{0};
    static std::atomic<int> released{0};
    received = 0;
    released = 0;
    peer_ = HARNESS_StartPeer([](uint8_t command, const std::vector<uint8_t>&) {
        if (command == CMD_IDENTIFY) {
            return std::vector<PEER_SEND>{
                {0, Reply(CMD_IDENTIFY, HARNESS_IdentifyPayload(0, "a", "b", true))}};
        }
        const int block = ++received;
        const DWORD start = GetTickCount();
        while (released.load() < block && GetTickCount() - start < 3000) {
            Sleep(1);
        }
        return std::vector<PEER_SEND>{{0, {0x90}}};
    });
    ASSERT_NE(peer_, nullptr);
    ASSERT_TRUE(HARNESS_WaitConnected());
    // Per position shown: the blocks the handheld had received by then.
    std::vector<std::pair<int32_t, int>> seen;
    HARNESS_OnProgress = [&seen](int32_t position) {
        const int block = position == 0 ? 0 : (position - 1) / 236 + 1;
        const DWORD start = GetTickCount();
        while (received.load() < block && GetTickCount() - start < 1000) {
            Sleep(1);
        }
        seen.emplace_back(position, received.load());
        released = received.load();
    };
    EXPECT_EQ(JOB_ProgramTarget(image_), JOB_OK);
    HARNESS_OnProgress = nullptr;
    EXPECT_EQ(seen, (std::vector<std::pair<int32_t, int>>{
                        {0, 0}, {1, 1}, {130, 1}, {259, 2}, {388, 2}, {517, 3}}));
    EXPECT_EQ(received.load(), 3);
}

TEST_F(JobTest, RefusedBlockEndsTheJobWithTheErrorFrameDetails) {
    SIM_FAULTS faults;
    faults.nak_block = 2;
    faults.nak_address_set = true;
    faults.nak_address = 0x40123456;
    faults.nak_value_set = true;
    faults.nak_value = 0xA5;
    Start(SMALL, 0x1000, 600, faults);
    EXPECT_EQ(JOB_ProgramTarget(image_), JOB_TARGET_ERROR);
    EXPECT_EQ(JOB_ErrorAddress.load(), 0x40123456u);
    EXPECT_EQ(JOB_ErrorValue.load(), 0xA5u);
    // The loop stops at the refused block, which the closing flush sends again.
    const std::vector<SIM_REQUEST> blocks = HARNESS_Requests(sim_, SIM_CMD_PROGRAM);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(GetLe32(blocks[1].data), 0x10ECu);
    EXPECT_EQ(blocks[2].data, blocks[1].data);
}

TEST_F(JobTest, UpdateRunsEveryStepAndStopsTheWorker) {
    Start(SMALL, 0x1000, 600);
    EXPECT_EQ(UPDATE_Run(), JOB_OK);
    // The CRC is compared before make valid as well as after it.
    EXPECT_EQ(HARNESS_StatusTexts(),
              (std::vector<std::string>{"Clear target", "Programming target", "Get CRC",
                                        "Make valid", "Get CRC", "Start application"}));
    EXPECT_EQ(UPDATE_GetOutcome().step, UPDATE_STEP::DONE);
    EXPECT_TRUE(UPDATE_GetOutcome().made_valid);
    EXPECT_EQ(Count(SIM_CMD_MAKE_VALID), 1u);
    EXPECT_EQ(Count(SIM_CMD_START_APP), 1u);
    EXPECT_FALSE(WORKER_IsRunning());
    TARGET_INFO info;
    TARGET_ReadInfo(&info);
    EXPECT_EQ(info.connected, 0);
    EXPECT_EQ(info.text2_len, 0);
    EXPECT_EQ(JOB_ClearTarget(), JOB_COMM_FAILED); // nothing runs any more
}

TEST_F(JobTest, FailedStepsNeverLeadToMakeValid) {
    struct CASE {
        const char* name;
        SIM_FAULTS faults;
        int32_t result;
        bool programs;
        UPDATE_STEP step;
    };
    SIM_FAULTS not_blank;
    not_blank.not_blank = true;
    SIM_FAULTS nak;
    nak.nak_block = 2;
    SIM_FAULTS lost;
    lost.vanish_after_blocks = 1;
    lost.vanish_ms = 3000;
    SIM_FAULTS wrong_crc;
    wrong_crc.wrong_crc = true;
    // Back out of reset before the block's acknowledge was given up, with a
    // banner that holds 0x90: no acknowledge for the block it lost.
    SIM_FAULTS reset = lost;
    reset.vanish_ms = 300;
    SIM_NOISE banner;
    banner.at = SIM_NOISE_AT::RESET;
    banner.bytes = SIM_Banner(40, 7);
    reset.noise.push_back(banner);
    // Reset while taking in a block, its banner opening or closing with the
    // acknowledge byte: the banner passes for the lost block's acknowledge
    // and the link goes on in step. Only the CRC shows the block missing.
    SIM_FAULTS reset_opening;
    reset_opening.reset_in_block = 2;
    reset_opening.reset_after_bytes = 20;
    banner.bytes = Cat({0x90}, SIM_Banner(30, 3));
    reset_opening.noise.push_back(banner);
    SIM_FAULTS reset_closing = reset_opening;
    reset_closing.noise[0].bytes = Cat(SIM_Banner(30, 5), {0x90});
    const CASE cases[] = {
        {"not blank", not_blank, JOB_TARGET_ERROR, false, UPDATE_STEP::CLEAR},
        {"refused block", nak, JOB_TARGET_ERROR, true, UPDATE_STEP::PROGRAM},
        {"target lost", lost, JOB_TARGET_ERROR, true, UPDATE_STEP::PROGRAM},
        {"target reset with a banner", reset, JOB_TARGET_ERROR, true, UPDATE_STEP::PROGRAM},
        // The CRC before make valid differs: nothing is made valid.
        {"CRC mismatch", wrong_crc, JOB_TARGET_ERROR, true, UPDATE_STEP::CRC_BEFORE_VALID},
        {"reset in a block, banner opening with 0x90", reset_opening, 1, true,
         UPDATE_STEP::CRC_BEFORE_VALID},
        {"reset in a block, banner closing with 0x90", reset_closing, 1, true,
         UPDATE_STEP::CRC_BEFORE_VALID},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name);
        HARNESS_RestartWorker();
        Start(SMALL, 0x1000, 600, c.faults);
        EXPECT_EQ(UPDATE_Run(), c.result);
        EXPECT_EQ(Count(SIM_CMD_PROGRAM) > 0, c.programs);
        EXPECT_EQ(Count(SIM_CMD_MAKE_VALID), 0u);
        EXPECT_EQ(Count(SIM_CMD_START_APP), 0u);
        EXPECT_EQ(UPDATE_GetOutcome().step, c.step);
        EXPECT_FALSE(UPDATE_GetOutcome().made_valid);
        EXPECT_TRUE(WORKER_IsRunning());
        if (c.faults.vanish_ms != 0 && c.faults.noise.empty()) {
            PumpFor(1000);
            EXPECT_EQ(HARNESS_CountCommands(ID_NOTIFY_DISCONNECTED), 1);
            EXPECT_EQ(Count(SIM_CMD_MAKE_VALID), 0u);
        }
        EndCase();
    }
}

// A target that will not tell its CRC before make valid is compared after
// it only, as before; one that then differs has had its image made valid,
// and the outcome says so.
TEST_F(JobTest, ATargetThatRefusesTheEarlyCrcIsComparedAfterMakeValid) {
    const struct {
        bool wrong_crc;
        int32_t result;
        UPDATE_STEP step;
    } cases[] = {{false, JOB_OK, UPDATE_STEP::DONE},
                 {true, JOB_TARGET_ERROR, UPDATE_STEP::CRC_AFTER_VALID}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wrong_crc);
        HARNESS_RestartWorker();
        SIM_FAULTS faults;
        faults.crc_refused_before_valid = true;
        faults.wrong_crc = c.wrong_crc;
        Start(SMALL, 0x1000, 600, faults);
        EXPECT_EQ(UPDATE_Run(), c.result);
        EXPECT_EQ(Count(SIM_CMD_MAKE_VALID), 1u);
        EXPECT_EQ(UPDATE_GetOutcome().step, c.step);
        EXPECT_TRUE(UPDATE_GetOutcome().made_valid);
        EndCase();
    }
}

// Bytes ahead of a block's acknowledge are noise, but an acknowledge read a
// block late (a stray 0x90 ahead of the real one) is found at the job's end,
// where the real last acknowledge is still on the line: never progress.
TEST_F(JobTest, NoiseAheadOfAnAcknowledgeCostsNothingAStrayAcknowledgeFailsTheJob) {
    const struct {
        Bytes ahead;
        uint8_t status;
    } cases[] = {
        {{0x00}, JOB_OK},
        {{0xFF, 0x16}, JOB_OK},
        {{0x68}, JOB_OK},
        {{0x90}, JOB_TARGET_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.ahead.back()));
        HARNESS_RestartWorker();
        std::atomic<int> blocks{0};
        const Bytes ahead = c.ahead;
        const Bytes identify = Reply(CMD_IDENTIFY, HARNESS_IdentifyPayload(0, "a", "b", true));
        peer_ = HARNESS_StartPeer([&blocks, ahead, identify](uint8_t command, const Bytes&) {
            if (command == CMD_IDENTIFY) {
                return std::vector<PEER_SEND>{{0, identify}};
            }
            return std::vector<PEER_SEND>{{0, Cat(++blocks == 2 ? ahead : Bytes{}, {0x90})}};
        });
        ASSERT_TRUE(HARNESS_WaitConnected());
        image_ = HARNESS_MakeImage(SMALL);
        EXPECT_EQ(JOB_ProgramTarget(image_), c.status);
        EXPECT_EQ(blocks.load(), 3);
        peer_.reset();
        IMAGE_Free(std::exchange(image_, nullptr));
    }
}

TEST_F(JobTest, TargetCrcOfZeroOrOneFailsEvenWhenItMatches) {
    for (uint16_t wanted : {0, 1}) {
        // Two bytes chosen so that the image's CRC comes out as wanted.
        std::vector<uint8_t> bytes = HARNESS_Bytes(8, 9);
        bool found = false;
        for (uint32_t v = 0; v < 0x10000 && !found; ++v) {
            bytes[6] = static_cast<uint8_t>(v);
            bytes[7] = static_cast<uint8_t>(v >> 8);
            uint16_t reg;
            CRC16_Init(&reg);
            CRC16_Calc(&reg, bytes.data(), 7);
            found = reg == wanted;
        }
        ASSERT_TRUE(found);
        HARNESS_RestartWorker();
        Start({{0x1000, bytes}}, 0x1000, 8);
        EXPECT_EQ(UPDATE_Run(), JOB_TARGET_ERROR);
        EXPECT_EQ(SIM_GetStats(sim_).last_crc, wanted);
        EXPECT_EQ(Count(SIM_CMD_GET_CRC), 4u); // before make valid and after it
        EXPECT_EQ(UPDATE_GetOutcome().step, UPDATE_STEP::CRC_AFTER_VALID);
        EXPECT_EQ(Count(SIM_CMD_START_APP), 0u);
        EXPECT_TRUE(WORKER_IsRunning());
        EndCase();
    }
}

TEST_F(JobTest, CancelDuringProgrammingSendsTheGatheredBytesAndStops) {
    SIM_FAULTS slow;
    slow.reply_delay_ms = 2;
    Start({{0x1000, HARNESS_Bytes(60000, 5)}}, 0x1000, 60000, slow);
    SIM* sim = sim_;
    HARNESS_OnTimer = [sim] {
        if (SIM_CountRequests(sim, SIM_CMD_PROGRAM) >= 5) {
            HARNESS_CallCancelHook();
        }
    };
    EXPECT_EQ(UPDATE_Run(), JOB_CANCELLED);
    HARNESS_OnTimer = nullptr;
    PumpFor(500);
    const std::vector<SIM_REQUEST> blocks = HARNESS_Requests(sim_, SIM_CMD_PROGRAM);
    ASSERT_GE(blocks.size(), 5u);
    ASSERT_LT(blocks.size(), 250u);
    // The last block carries on where the one before stopped.
    EXPECT_EQ(GetLe32(blocks.back().data), GetLe32(blocks[blocks.size() - 2].data) + 236);
    EXPECT_EQ(JOB_STATUS.load(), JOB_CANCELLED);
    EXPECT_EQ(PROGRAM_Block.pending, 0u);
    EXPECT_EQ(Count(SIM_CMD_MAKE_VALID), 0u);
    EXPECT_EQ(Count(SIM_CMD_GET_CRC), 0u);
    EXPECT_TRUE(TARGET_IsConnected());
}

// The dispatch that cancels can be the one during which the worker ends its
// job: the cancel must still stop the update before its next job is stored.
TEST_F(JobTest, ACancelAsAJobEndsStoresNoFurtherJob) {
    struct CASE {
        uint8_t during;
        int nth; // of the jobs of that kind in the update
        uint8_t next;
        uint32_t next_before; // requests of the next job's kind sent before it
    };
    const CASE cases[] = {{CMD_CLEAR, 1, SIM_CMD_PROGRAM, 0},
                          {CMD_PROGRAM, 1, SIM_CMD_GET_CRC, 0},
                          {CMD_GET_CRC, 1, SIM_CMD_MAKE_VALID, 0},
                          {CMD_MAKE_VALID, 1, SIM_CMD_GET_CRC, 2},
                          {CMD_GET_CRC, 2, SIM_CMD_START_APP, 0}};
    for (const CASE& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.during) * 10 + c.nth);
        HARNESS_RestartWorker();
        SIM_FAULTS slow; // every job lasts long enough for the timer to see it
        slow.reply_delay_ms = 30;
        Start(SMALL, 0x1000, 600, slow);
        static CASE s_case;
        s_case = c;
        static int s_seen;
        s_seen = 0;
        static uint8_t s_last_kind;
        s_last_kind = JOB_IDLE;
        static bool s_cancelled;
        s_cancelled = false;
        HARNESS_OnTimer = [] {
            const uint8_t kind = JOB_KIND.load();
            if (kind != s_last_kind && kind == s_case.during) {
                ++s_seen;
            }
            s_last_kind = kind;
            if (s_cancelled || kind != s_case.during || s_seen != s_case.nth) {
                return;
            }
            // A long handler: the worker finishes meanwhile.
            while (JOB_KIND.load() != JOB_IDLE) {
                UI_ServeSentMessages();
                Sleep(1);
            }
            s_cancelled = true;
            HARNESS_CallCancelHook();
        };
        EXPECT_EQ(UPDATE_Run(), JOB_CANCELLED);
        HARNESS_OnTimer = nullptr;
        EXPECT_TRUE(s_cancelled);
        PumpFor(300);
        EXPECT_EQ(Count(c.next), c.next_before);
        EXPECT_EQ(JOB_KIND.load(), JOB_IDLE);
        EndCase();
    }
}

TEST_F(JobTest, AnUpdateIsNotStartedInsideAnother) {
    Start(SMALL, 0x1000, 600);
    int32_t inner = -100;
    HARNESS_OnCommand = [&inner](uint32_t id) {
        if (id == ID_NOTIFY_CONNECTED && inner == -100 && JOB_KIND.load() != JOB_IDLE) {
            inner = UPDATE_Run();
        }
    };
    HARNESS_OnTimer = [&inner] {
        if (inner == -100 && JOB_KIND.load() != JOB_IDLE) {
            inner = UPDATE_Run();
        }
    };
    EXPECT_EQ(UPDATE_Run(), JOB_OK);
    EXPECT_EQ(inner, JOB_TARGET_ERROR);
    EXPECT_EQ(Count(SIM_CMD_CLEAR), 1u);
    EXPECT_EQ(Count(SIM_CMD_START_APP), 1u);
}

// The target drops out after the last block and answers again while the
// dialog is busy, before the next job is stored: the update must store no
// further job for the new connection, whose flash it never cleared. The
// worker, which checks a job against the connection it was stored for,
// would run it: only the update's tie to its own connection stops it.
TEST_F(JobTest, TargetLostAndFoundBetweenJobsStopsTheUpdate) {
    image_ = HARNESS_MakeImage({{0x1000, HARNESS_Bytes(8, 6)}});
    APP_Image = image_;
    static std::atomic<int> drop{0};
    static std::atomic<bool> programmed{false};
    drop = 0;
    programmed = false;
    peer_ = HARNESS_StartPeer([](uint8_t command, const std::vector<uint8_t>&) {
        switch (command) {
        case CMD_IDENTIFY:
            if (drop > 0) {
                --drop;
                return std::vector<PEER_SEND>{};
            }
            return std::vector<PEER_SEND>{
                {0, Reply(CMD_IDENTIFY, HARNESS_IdentifyPayload(0, "a", "b", true))}};
        case CMD_CLEAR:
            return std::vector<PEER_SEND>{{0, {0x90}}, {0, Reply(REPLY_ERASE, {})}};
        case CMD_PROGRAM:
            drop = 2; // both sends of the next identify go unanswered
            programmed = true;
            return std::vector<PEER_SEND>{{0, {0x90}}};
        default:
            return std::vector<PEER_SEND>{{0, {0x90}}};
        }
    });
    ASSERT_NE(peer_, nullptr);
    ASSERT_TRUE(HARNESS_WaitConnected());
    static uint32_t s_first;
    s_first = TARGET_GetConnectionSerial();
    // The first dispatch after the programming job: a slow handler, during
    // which the target is lost and found again.
    static bool s_held;
    s_held = false;
    static const auto hold = [] {
        if (s_held || !programmed.load() || JOB_KIND.load() != JOB_IDLE) {
            return;
        }
        s_held = true;
        const DWORD start = GetTickCount();
        while ((TARGET_GetConnectionSerial() == s_first || !TARGET_IsConnected()) &&
               GetTickCount() - start < 3000) {
            UI_ServeSentMessages();
            Sleep(1);
        }
    };
    HARNESS_OnTimer = [] { hold(); };
    HARNESS_OnCommand = [](uint32_t) { hold(); };
    EXPECT_EQ(UPDATE_Run(), JOB_COMM_FAILED);
    EXPECT_TRUE(s_held);
    EXPECT_NE(TARGET_GetConnectionSerial(), s_first);
    PumpFor(200);
    EXPECT_EQ(HARNESS_CountCommands(ID_NOTIFY_DISCONNECTED), 1);
    EXPECT_TRUE(TARGET_IsConnected());
    const std::vector<uint8_t> commands = peer_->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_GET_CRC), 0);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CMD_MAKE_VALID), 0);
}

} // namespace
