// CRC-16 in its direct shift-in form, and the image CRC over address ranges
// with absent addresses counting as 0xFF.
#include "image/crc16.h"
#include "image/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "tests/support/image_fixture.h"

namespace {

// One byte in the direct form, written out as the reference.
uint16_t Step(uint16_t reg, uint8_t b) {
    return static_cast<uint16_t>(((reg << 8) | b) ^ CRC16_TABLE[reg >> 8]);
}

uint16_t Crc(const std::vector<uint8_t>& bytes) {
    uint16_t reg = 0;
    CRC16_Init(&reg);
    if (!bytes.empty()) {
        CRC16_Calc(&reg, bytes.data(), static_cast<uint32_t>(bytes.size()) - 1);
    }
    return reg;
}

std::vector<uint8_t> Text(const char* s) {
    return std::vector<uint8_t>(s, s + std::strlen(s));
}

TEST(Crc16, TableIsThePolynomialMostSignificantBitFirst) {
    EXPECT_EQ(CRC16_TABLE[0], 0x0000);
    EXPECT_EQ(CRC16_TABLE[1], 0x1021);
    EXPECT_EQ(CRC16_TABLE[128], 0x9188);
    EXPECT_EQ(CRC16_TABLE[255], 0x1EF0);
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1;
        }
        ASSERT_EQ(CRC16_TABLE[i], r & 0xFFFF) << i;
    }
}

TEST(Crc16, CheckValuesOfTheDirectForm) {
    EXPECT_EQ(Crc(Text("abc")), 0xD278);
    EXPECT_EQ(Crc(Text("123456789")), 0xA69D);
    EXPECT_EQ(Crc({0xFF}), 0xE10F);
    // The register carries over between calls.
    uint16_t reg = 0;
    CRC16_Init(&reg);
    CRC16_Calc(&reg, reinterpret_cast<const uint8_t*>("1234"), 3);
    CRC16_Calc(&reg, reinterpret_cast<const uint8_t*>("56789"), 4);
    EXPECT_EQ(reg, 0xA69D);
}

TEST(Crc16, AnyLengthAndSplitMatchesOneByteAtATime) {
    std::vector<uint8_t> data(1001);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 131 + (i >> 3));
    }
    for (uint32_t n : {1u, 2u, 3u, 4u, 255u, 256u, 1000u, 1001u}) {
        uint16_t reference = 0xFFFF;
        for (uint32_t i = 0; i < n; ++i) {
            reference = Step(reference, data[i]);
        }
        uint16_t whole = 0;
        CRC16_Init(&whole);
        CRC16_Calc(&whole, data.data(), n - 1);
        EXPECT_EQ(whole, reference) << n;
        uint16_t split = 0;
        CRC16_Init(&split);
        CRC16_Calc(&split, data.data(), 0);
        if (n > 1) {
            CRC16_Calc(&split, data.data() + 1, n - 2);
        }
        EXPECT_EQ(split, reference) << n;
    }
}

TEST(Crc16, FillMatchesOneByteAtATime) {
    // Every count is checked along one byte walk per start register and value.
    constexpr uint32_t LONGEST = 1u << 21;
    std::vector<uint32_t> counts = {0, 1, 2, 3, LONGEST};
    for (uint32_t p = 4; p < LONGEST; p <<= 1) {
        counts.insert(counts.end(), {p - 1, p, p + 1});
    }
    std::mt19937 random(20240611);
    for (int i = 0; i < 3000; ++i) {
        counts.push_back(random() % LONGEST);
    }
    std::sort(counts.begin(), counts.end());
    const struct {
        uint16_t start;
        uint8_t value;
    } cases[] = {{0xFFFF, 0xFF},
                 {0x0000, 0xFF},
                 {0x8000, 0xFF},
                 {0x0001, 0x00},
                 {0x1234, 0x00},
                 {0xFFFF, 0x5A},
                 {static_cast<uint16_t>(random()), 0xA5}};
    for (const auto& c : cases) {
        uint16_t reference = c.start;
        uint32_t walked = 0;
        for (uint32_t count : counts) {
            for (; walked < count; ++walked) {
                reference = Step(reference, c.value);
            }
            uint16_t reg = c.start;
            CRC16_Fill(&reg, c.value, count);
            ASSERT_EQ(reg, reference)
                << count << " bytes of " << int{c.value} << " from " << c.start;
        }
    }
}

TEST(Crc16, FillOfHugeCountsFollowsTheRegistersOrbit) {
    // Steps with a constant byte permute the registers, so each register comes
    // back after its orbit's length; a count of any size then equals its
    // remainder, which the byte walk reaches.
    for (uint16_t start : {0xFFFF, 0x1234}) {
        std::vector<uint16_t> orbit = {start};
        for (uint16_t r = Step(start, 0xFF); r != start; r = Step(r, 0xFF)) {
            orbit.push_back(r);
        }
        ASSERT_GT(orbit.size(), 1000u); // long enough for the remainders to tell
        for (uint64_t count :
             {0xFFFFFFFFull, 0x100000000ull, 0x100000001ull, 0x1FFFFFFFEull, 0x8000000000000000ull,
              0xFFFFFFFFFFFFFFFFull, 0x123456789ABCDEFull}) {
            uint16_t reg = start;
            CRC16_Fill(&reg, 0xFF, count);
            EXPECT_EQ(reg, orbit[count % orbit.size()]) << count << " from " << start;
        }
    }
}

class ImageCrc : public ImageFixture {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ImageFixture::SetUp());
        ASSERT_EQ(Add(0x1000, Text("123456789")), 0);
    }
    uint16_t Ranges(uint32_t s0, uint32_t l0, uint32_t s1 = 0, uint32_t l1 = 0) {
        const uint32_t start[2] = {s0, s1};
        const uint32_t length[2] = {l0, l1};
        return IMAGE_CalcRangesCRC(image, start, length);
    }
};

TEST_F(ImageCrc, RangesAndTheHolesAroundThem) {
    EXPECT_EQ(Ranges(0, 0), 0xFFFF); // as with no target connected
    EXPECT_EQ(Ranges(0x1000, 9), 0xA69D);
    EXPECT_EQ(Ranges(0x1000, 4, 0x1004, 5), 0xA69D); // range 1 continues range 0
    EXPECT_EQ(Ranges(0x0FFF, 10), 0xCB99);           // one 0xFF first
    EXPECT_EQ(Ranges(0x1000, 11), 0x1A33);           // two 0xFF last
    EXPECT_EQ(Ranges(0x1000, 9, 0x5000, 0), 0xA69D); // an empty range 1 is ignored
    EXPECT_EQ(Ranges(0, 0, 0x1000, 9), 0xA69D);      // an empty range 0 contributes nothing
    // Beginning and ending inside the area.
    EXPECT_EQ(Ranges(0x1002, 3), Crc(Text("345")));
    // No held byte at all: one 0xFF per address.
    EXPECT_EQ(Ranges(0x2000, 300), Crc(std::vector<uint8_t>(300, 0xFF)));
}

TEST_F(ImageCrc, PatchesCountAsTheImageShowsThem) {
    IMAGE_AddPatch8(image, 0x1004, '0');
    EXPECT_EQ(Ranges(0x1000, 9), Crc(Text("123406789")));
}

TEST_F(ImageCrc, LongRangesAreReadInBlocksAndGiveTheSameValue) {
    // Two areas of more than 10,000 bytes each, with a hole between them.
    const uint32_t b_start = 0x20000 + 25000 + 77;
    const std::vector<uint8_t> a = PatternBytes(0x20000, 25000);
    const std::vector<uint8_t> b = PatternBytes(b_start, 12345);
    Renew();
    ASSERT_EQ(Add(0x20000, a), 0);
    ASSERT_EQ(Add(b_start, b), 0);
    std::vector<uint8_t> expected;
    expected.insert(expected.end(), 5, 0xFF);
    expected.insert(expected.end(), a.begin(), a.end());
    expected.insert(expected.end(), 77, 0xFF);
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), 3, 0xFF);
    const uint32_t total = static_cast<uint32_t>(expected.size());
    EXPECT_EQ(Ranges(0x20000 - 5, total), Crc(expected));
    // Split anywhere between the two ranges, the stream is the same.
    EXPECT_EQ(Ranges(0x20000 - 5, 12000, 0x20000 - 5 + 12000, total - 12000), Crc(expected));
    // Holes of millions of addresses around them, from address 0 on.
    std::vector<uint8_t> wide(0x20000 - 5 + expected.size() + 3000000, 0xFF);
    std::copy(expected.begin(), expected.end(), wide.begin() + (0x20000 - 5));
    EXPECT_EQ(Ranges(0, static_cast<uint32_t>(wide.size())), Crc(wide));
}

TEST_F(ImageCrc, RangesEndAtTheTopOfTheAddressSpace) {
    ASSERT_EQ(Add(0xFFFFFFF0, std::vector<uint8_t>(15, 0x5A)), 0);
    std::vector<uint8_t> expected(16, 0xFF);
    std::fill(expected.begin(), expected.begin() + 15, 0x5A);
    EXPECT_EQ(Ranges(0xFFFFFFF0, 16), Crc(expected));
    // Lengths that would wrap stop at 0xFFFFFFFF.
    EXPECT_EQ(Ranges(0xFFFFFFF0, 0x20), Crc(expected));
    EXPECT_EQ(Ranges(0xFFFFFFF0, 0xFFFFFFFF), Crc(expected));
    EXPECT_EQ(Ranges(0xFFFFFFFF, 1), 0xE10F);
    EXPECT_EQ(Ranges(0xFFFFFFFF, 5, 0x1000, 9),
              Crc({0xFF, '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    std::vector<uint8_t> below(0x200000 - 16, 0xFF);
    below.insert(below.end(), expected.begin(), expected.end());
    EXPECT_EQ(Ranges(0xFFE00000, 0x300000), Crc(below));

    // Ranges as long as the address space, the second one wrapping. The values
    // come from a plain byte-by-byte loop over every address of this image
    // (the digits, the 15 bytes at the top, 0xFF elsewhere), run once natively.
    EXPECT_EQ(Ranges(0, 0xFFFFFFFF), 0x3414);
    EXPECT_EQ(Ranges(0x1000, 0xFFFFFFFF), 0x4F0F);
    EXPECT_EQ(Ranges(0, 0xFFFFFFFF, 0x1000, 0xFFFFFFFF), 0xB9A2);
}

TEST(ImageCrcNoImage, MissingImageReadsAsErased) {
    const uint32_t start[2] = {0, 0};
    const uint32_t length[2] = {3, 0};
    EXPECT_EQ(IMAGE_CalcRangesCRC(nullptr, start, length), Crc({0xFF, 0xFF, 0xFF}));
}

} // namespace
