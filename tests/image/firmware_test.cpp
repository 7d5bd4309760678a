// The carried firmware as the program loads it: the layout of the release,
// and its CRC checked against an independent tool (srec_cat, run by
// firmware_crosscheck.sh, which passes its results in the environment).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/app.h"
#include "firmware/firmware.h"
#include "image/crc16.h"
#include "image/image.h"

namespace {

constexpr uint32_t kArea1 = 0x40080000;
constexpr uint32_t kArea1Length = 846918;
constexpr uint32_t kArea2 = 0x4014EC48;
constexpr uint32_t kArea2Length = 622579;

uint32_t ExpectedCrc(const char* name) {
    const char* value = std::getenv(name);
    EXPECT_NE(nullptr, value) << name << " not set: run through firmware_crosscheck.sh";
    return value == nullptr ? 0x10000 : static_cast<uint32_t>(std::strtoul(value, nullptr, 16));
}

TEST(Firmware, TextHasTheReleaseRecordsAndLineEnds) {
    const std::string text(FIRMWARE_SREC, FIRMWARE_SREC_SIZE);
    ASSERT_EQ(std::strlen(FIRMWARE_SREC), FIRMWARE_SREC_SIZE);
    size_t lines = 0, s0 = 0, s3 = 0, s7 = 0, bare_lf = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        ASSERT_NE(std::string::npos, end) << "last line has no line end";
        if (end == at || text[end - 1] != '\r') {
            ++bare_lf;
        }
        const std::string type = text.substr(at, 2);
        s0 += type == "S0";
        s3 += type == "S3";
        if (type == "S7") {
            ++s7;
            EXPECT_EQ("S70540080000", text.substr(at, 12));
        }
        ++lines;
        at = end + 1;
    }
    EXPECT_EQ(1u, s0);
    EXPECT_EQ(91845u, s3);
    EXPECT_EQ(1u, s7);
    EXPECT_EQ(91847u, lines);
    EXPECT_EQ(0u, bare_lf);
}

TEST(Firmware, LoadsIntoExactlyTheTwoAreasAndMatchesTheIndependentCrc) {
    ASSERT_EQ(0, APP_LoadImage());
    IMAGE* image = APP_Image;
    ASSERT_NE(nullptr, image);
    const IMAGE_AREA* first = image->first;
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(kArea1, first->start);
    EXPECT_EQ(kArea1Length, first->length);
    const IMAGE_AREA* second = first->next;
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(kArea2, second->start);
    EXPECT_EQ(kArea2Length, second->length);
    EXPECT_EQ(nullptr, second->next);
    EXPECT_EQ(1469497u, IMAGE_GetNumBytes(image));
    EXPECT_EQ(-1, IMAGE_ReadByte(image, 0x4014EC46));
    EXPECT_EQ(-1, IMAGE_ReadByte(image, 0x4014EC47));

    // The areas alone, and one range over both with the hole read as 0xFF.
    const uint32_t areas_start[2] = {kArea1, kArea2};
    const uint32_t areas_length[2] = {kArea1Length, kArea2Length};
    EXPECT_EQ(ExpectedCrc("TW_SRECCAT_CRC_AREAS"),
              IMAGE_CalcRangesCRC(image, areas_start, areas_length));
    const uint32_t whole_start[2] = {kArea1, 0};
    const uint32_t whole_length[2] = {kArea2 + kArea2Length - kArea1, 0};
    EXPECT_EQ(ExpectedCrc("TW_SRECCAT_CRC_FILLED"),
              IMAGE_CalcRangesCRC(image, whole_start, whole_length));
}

} // namespace
