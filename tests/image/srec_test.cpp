// The S-record loader: what it stores, and every refusal with its exact text
// and line number.
#include "image/image.h"
#include "image/srec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/image_fixture.h"

namespace {

class Srec : public ImageFixture {
  protected:
    // As start-up calls it: a 256-byte buffer cleared to zero, size 255.
    int32_t Load(const std::string& text, int32_t size = 255) {
        std::memset(error, 0, sizeof error);
        return SREC_Load(image, text.c_str(), error, size);
    }
    void ExpectError(const std::string& text, const std::string& message) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Load(text), SREC_ERROR);
        EXPECT_EQ(std::string(error), message);
    }

    char error[256] = {};
};

// S1 records for 0x0000..0x000F and 0x0010..0x001F, and one for 0x001F..0x0020.
const std::string REC_0000 = "S1130000000102030405060708090A0B0C0D0E0F74";
const std::string REC_0010 = "S1130010101112131415161718191A1B1C1D1E1F64";
const std::string REC_001F = "S105001FAABB76";

TEST_F(Srec, EmptyTextAndRecordsWithoutData) {
    EXPECT_EQ(Load(""), 0);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(Load("S9030000FC"), 0);
    EXPECT_EQ(Load("S5030001FB\r\n"), 0);
    EXPECT_EQ(Load("S000\n"), 0); // no bytes, no checksum test
    EXPECT_EQ(Load("S00F000068656C6C6F202020202000003C\nS70540080000B2\n"), 0);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 0u);
    EXPECT_EQ(image->first, nullptr);
}

TEST_F(Srec, DataRecordsOfAllThreeAddressSizes) {
    ASSERT_EQ(Load("S1051234AABB4F\n"
                   "S206123456CCDDB4\n"
                   "S30712345678EEFFF7\n"),
              0);
    EXPECT_EQ(Read(0x1234, 2), (std::vector<int32_t>{0xAA, 0xBB}));
    EXPECT_EQ(Read(0x123456, 2), (std::vector<int32_t>{0xCC, 0xDD}));
    EXPECT_EQ(Read(0x12345678, 2), (std::vector<int32_t>{0xEE, 0xFF}));
    // One addition per data record, nothing for the others.
    EXPECT_EQ(image->change_count, 1u + 3u);
}

TEST_F(Srec, LowerCaseDigitsStoreTheSameBytes) {
    ASSERT_EQ(Load("S1130000000102030405060708090a0b0c0d0e0f74\nS30712345678eefff7"), 0);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x0A), 0x0A);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x0F), 0x0F);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x12345679), 0xFF);
    ExpectError("s1051234AABBF9", "Error in line 1: Unexpected character");
}

TEST_F(Srec, EveryLineEndForm) {
    for (const char* end : {"\r\n", "\n\r", "\r", "\n", "\r\r", "\n\n"}) {
        SCOPED_TRACE(testing::PrintToString(end));
        Renew();
        ASSERT_EQ(Load(REC_0000 + end + REC_0010 + end + "S9030000FC" + end), 0);
        EXPECT_EQ(IMAGE_GetNumBytes(image), 32u);
        // A pair of line-end characters is one line end.
        ExpectError("S9030000FC" + std::string(end) + "X", "Error in line 2: Unexpected character");
    }
    // Three characters: the third begins an empty line.
    ExpectError("S9030000FC\r\n\r\nS9030000FC", "Error in line 2: Unexpected character");
    ExpectError("S9030000FC\n\n\nS9030000FC", "Error in line 2: Unexpected character");
}

TEST_F(Srec, EndOfTextMarks) {
    // Ctrl-Z at a line start or right behind a record ends the text.
    EXPECT_EQ(Load(REC_0000 + "\n\x1A" + "garbage\n"), 0);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 16u);
    EXPECT_EQ(Load(REC_0010 + "\x1A" + "S1 more garbage"), 0);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 32u);
    EXPECT_EQ(Load("\x1A"), 0);
}

TEST_F(Srec, CharacterLevelRefusals) {
    ExpectError("\n", "Error in line 1: Unexpected character");
    ExpectError("X9030000FC", "Error in line 1: Unexpected character");
    ExpectError("S\x01"
                "030000FC",
                "Error in line 1: Unexpected character");
    ExpectError("S\x80"
                "030000FC",
                "Error in line 1: Unexpected character");
    ExpectError("S", "Error in line 1: Unexpected character");
    ExpectError("S9G30000FC", "Error in line 1: Expected Hex character : 0..9, A..F");
    ExpectError("S9030000F", "Error in line 1: Expected Hex character : 0..9, A..F");
    ExpectError("S9030000FC \n", "Error in line 1: Expected CR or LF");
    ExpectError("S9030000FC0\n", "Error in line 1: Expected CR or LF");
    ExpectError("S5030001FA", "Error in line 1: Checksum error !");
    // A text that stops inside its last record, on line 3.
    ExpectError("S9030000FC\nS9030000FC\nS1130000000102",
                "Error in line 3: Expected Hex character : 0..9, A..F");
    // Unknown types are tested and ignored, never stored.
    EXPECT_EQ(Load("S~030000FC\nS 030000FC\n"), 0);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 0u);
}

TEST_F(Srec, RecordsStoredBeforeAnErrorStay) {
    ExpectError(REC_0000 + "\n" + REC_0010 + "\nS1130020000000000000000000000000000000000000\n",
                "Error in line 3: Checksum error !");
    EXPECT_EQ(IMAGE_GetNumBytes(image), 32u);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x1F), 0x1F);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x20), -1);
}

TEST_F(Srec, OverlappingRecordsAreRefused) {
    ASSERT_EQ(Load(REC_0010 + "\n" + REC_0000 + "\n"), 0); // joined below: one area
    ASSERT_NE(image->first, nullptr);
    EXPECT_EQ(image->first->length, 32u);
    EXPECT_EQ(image->first->next, nullptr);
    ExpectError("S9030000FC\n" + REC_001F, "Error in line 2: Areas overlap");
    // Sharing only the first byte of an area, or one inside it.
    ExpectError("S10400EF11FB\nS1040000AA51", "Error in line 2: Areas overlap");
    ExpectError("S1040005AA4C", "Error in line 1: Areas overlap");
    EXPECT_EQ(IMAGE_GetNumBytes(image), 33u); // only 0x00EF was added
    EXPECT_EQ(IMAGE_ReadByte(image, 0x00), 0x00);
}

TEST_F(Srec, DataRecordsTooShortForAddressDataAndChecksum) {
    // Correct checksums, but no data byte behind the address.
    ExpectError("S1030000FC", "Error in line 1: Record too short");
    ExpectError("S9030000FC\nS2030000FC", "Error in line 2: Record too short");
    ExpectError("S304000000FB", "Error in line 1: Record too short");
    ExpectError("S204000000FB", "Error in line 1: Record too short");
    EXPECT_EQ(IMAGE_GetNumBytes(image), 0u);
}

TEST_F(Srec, DataReachingTheTopAddressIsRefused) {
    ExpectError("S30DFFFFFFF80000000000000000FD", "Error in line 1: Address out of range");
    EXPECT_EQ(IMAGE_GetNumBytes(image), 0u);
    EXPECT_EQ(Load("S30DFFFFFFF70000000000000000FE"), 0);
    EXPECT_EQ(IMAGE_GetLastAddr(image), 0xFFFFFFFEu);
}

TEST_F(Srec, MessageIsCutToTheErrorSize) {
    const std::string bad = "S5030001FA";
    EXPECT_EQ(Load(bad, 10), SREC_ERROR);
    EXPECT_STREQ(error, "Error in "); // size - 1 characters
    const std::string full = "Error in line 1: Checksum error !";
    EXPECT_EQ(Load(bad, static_cast<int32_t>(full.size())), SREC_ERROR);
    EXPECT_EQ(std::string(error), full);
    // A buffer too small to show any text still reports the error.
    EXPECT_EQ(Load(bad, 0), SREC_ERROR);
    EXPECT_STREQ(error, "");
    EXPECT_EQ(Load(bad, 1), SREC_ERROR);
    EXPECT_EQ(Load(REC_0000 + "\n" + bad, 1), SREC_ERROR);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 16u);
}

TEST_F(Srec, StaleTextInTheBufferIsCleared) {
    std::strcpy(error, "left over");
    EXPECT_EQ(SREC_Load(image, "S9030000FC\n", error, 255), 0);
    EXPECT_STREQ(error, "");
}

TEST_F(Srec, LoaderHoldsTheLockOnlyDuringTheLoad) {
    ASSERT_EQ(Load(REC_0000), 0);
    EXPECT_EQ(image->lock_owner.load(), 0u);
    ExpectError(REC_0010 + "\nX", "Error in line 2: Unexpected character");
    EXPECT_EQ(image->lock_owner.load(), 0u);
}

} // namespace
