// One full update of the carried firmware against the simulated handheld:
// every request on the line, the simulated flash against the image, the CRC
// compare, the application started and the worker stopped.
#include <gtest/gtest.h>

#include "app/app.h"
#include "image/image.h"
#include "target/handover.h"
#include "target/job.h"
#include "target/worker.h"
#include "tests/support/bytes.h"
#include "tests/support/harness.h"

namespace {

TEST(FullUpdate, CarriedFirmwareGoesOutWholeAndIsStarted) {
    ASSERT_TRUE(HARNESS_Setup(PROGRESS_BAR::NONE));
    ASSERT_EQ(APP_LoadImage(), 0);
    SIM* sim = HARNESS_StartSim(SIM_CONFIG{});
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(HARNESS_WaitConnected());

    EXPECT_EQ(UPDATE_Run(), JOB_OK);
    EXPECT_FALSE(WORKER_IsRunning());

    const SIM_CORE core = SIM_Snapshot(sim);
    HARNESS_StopSim(sim);
    std::vector<const SIM_REQUEST*> blocks;
    for (const SIM_REQUEST& r : core.log) {
        if (r.command == SIM_CMD_PROGRAM) {
            blocks.push_back(&r);
        }
    }
    ASSERT_EQ(blocks.size(), 6227u);
    IMAGE_LOCK_SCOPE lock(APP_Image); // the reads below then skip the kernel
    ASSERT_FALSE(lock.TimedOut());
    const std::vector<uint8_t> first = SIM_EncodeRequest(SIM_CMD_PROGRAM, blocks[0]->data);
    ASSERT_EQ(first.size(), 249u);
    EXPECT_EQ(
        std::vector<uint8_t>(first.begin(), first.begin() + 11),
        (std::vector<uint8_t>{0x68, 0xF0, 0xF0, 0x68, 0x00, 0x00, 0x02, 0x00, 0x00, 0x08, 0x40}));
    for (uint32_t i = 0; i < 236; ++i) {
        ASSERT_EQ(first[11 + i], IMAGE_ReadByte(APP_Image, 0x40080000 + i));
    }
    EXPECT_EQ(first[247], 0xA6);
    EXPECT_EQ(first[248], 0x16);
    for (size_t i = 0; i + 1 < blocks.size(); ++i) {
        ASSERT_EQ(blocks[i]->data.size(), 240u) << i;
    }
    EXPECT_EQ(GetLe32(blocks.back()->data), 0x401E6B98u);
    EXPECT_EQ(blocks.back()->data.size(), 4u + 164u);
    EXPECT_EQ(blocks.back()->data.back(), 0xFF);

    // The flash holds the image; the two absent bytes went out as 0xFF.
    for (uint32_t a = 0x40080000; a <= 0x401E6B98 + 163; ++a) {
        const int32_t v = IMAGE_ReadByte(APP_Image, a);
        ASSERT_EQ(SIM_CoreFlashByte(&core, a), v < 0 ? 0xFF : v) << std::hex << a;
    }
    EXPECT_EQ(IMAGE_ReadByte(APP_Image, 0x4014EC46), -1);
    EXPECT_EQ(IMAGE_ReadByte(APP_Image, 0x4014EC47), -1);
    EXPECT_EQ(core.stats.made_valid, 1u);
    EXPECT_EQ(core.stats.started_app, 1u);
    EXPECT_EQ(core.stats.clears, 1u);
}

} // namespace
