// The image CRC over the ranges that the connected target declared, read from
// the application's firmware image.
#include "image/image.h"
#include "target/job.h"
#include "target/target_info.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/image_fixture.h"

namespace {

using ImageTargetCrc = ImageFixture;

TEST_F(ImageTargetCrc, WalksTheDeclaredRangesOfTheFirmwareImage) {
    ASSERT_EQ(Add(0x1000, std::vector<uint8_t>{'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0);
    IMAGE* saved = APP_Image;
    APP_Image = image;

    TARGET_ClearInfo();
    EXPECT_EQ(IMAGE_CalcTargetCRC(), 0xFFFF); // no target: no ranges

    TARGET_INFO info = {};
    info.connected = 1;
    info.crc_start[0] = 0x1000;
    info.crc_length[0] = 4;
    info.crc_start[1] = 0x1004;
    info.crc_length[1] = 5;
    TARGET_WriteInfo(&info);
    EXPECT_EQ(IMAGE_CalcTargetCRC(), 0xA69D);
    info.crc_start[0] = 0x0FFF;
    info.crc_length[0] = 10;
    info.crc_length[1] = 0;
    TARGET_WriteInfo(&info);
    EXPECT_EQ(IMAGE_CalcTargetCRC(), 0xCB99);

    TARGET_ClearInfo();
    APP_Image = saved;
}

} // namespace
