// The sparse map: how additions join, grow and refuse, and what block reads
// and patches show.
#include "image/image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/image_fixture.h"

namespace {

class Image : public ImageFixture {
  protected:
    int AreaCount() const {
        int n = 0;
        for (IMAGE_AREA* a = image->first; a != nullptr; a = a->next) {
            ++n;
        }
        return n;
    }
    void ExpectPatternAt(uint32_t from, uint32_t to) {
        for (uint32_t a = from; a < to; ++a) {
            ASSERT_EQ(IMAGE_ReadByte(image, a), Pattern(a)) << "address " << a;
        }
    }
    // The whole image is one area holding the pattern from start on.
    void ExpectOneArea(uint32_t start, uint32_t length) {
        EXPECT_EQ(AreaCount(), 1);
        ASSERT_NE(image->first, nullptr);
        EXPECT_EQ(image->first->start, start);
        EXPECT_EQ(image->first->length, length);
        ExpectPatternAt(start, start + length);
    }
    // A block read into block[] and first; bytes the read leaves alone show as 0xCC.
    int32_t Block(uint32_t address, uint32_t last, uint32_t max_gap, int32_t max_length,
                  uint32_t start_bits = 0, uint32_t end_bits = 0) {
        std::memset(block, 0xCC, sizeof block);
        return IMAGE_ReadBlock(image, address, last, max_gap, block, &first, max_length, start_bits,
                               end_bits);
    }

    uint8_t block[100] = {};
    uint32_t first = 0;
};

TEST_F(Image, EmptyImageHoldsNothing) {
    EXPECT_EQ(IMAGE_GetFirstAddr(image), 0u);
    EXPECT_EQ(IMAGE_GetLastAddr(image), 0u);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 0u);
    EXPECT_EQ(IMAGE_ReadByte(image, 0), -1);
    EXPECT_EQ(IMAGE_ReadByte(image, 0xFFFFFFFF), -1);
    first = 0x1234;
    EXPECT_EQ(Block(0, 0xFFFFFFFF, 100, 16), 0);
    EXPECT_EQ(first, 0x1234u);
    uint8_t status[2] = {9, 9};
    IMAGE_GetStatus(image, status);
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 1);
}

TEST_F(Image, AdditionsPrependAppendAndMerge) {
    // Prepend moves the start down.
    ASSERT_EQ(Add(0x100, 16), 0);
    ASSERT_EQ(Add(0x0F0, 16), 0);
    ExpectOneArea(0x0F0, 32);

    // Filling the gap between two areas appends to the lower one and merges.
    Renew();
    ASSERT_EQ(Add(0x000, 16), 0);
    ASSERT_EQ(Add(0x020, 16), 0);
    EXPECT_EQ(AreaCount(), 2);
    ASSERT_EQ(Add(0x010, 16), 0);
    ExpectOneArea(0x000, 48);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x030), -1);
}

TEST_F(Image, SeparateAdditionsStayInAddressOrder) {
    ASSERT_EQ(Add(0x300, 8), 0);
    ASSERT_EQ(Add(0x100, 8), 0); // before the first
    ASSERT_EQ(Add(0x500, 8), 0); // behind the last
    ASSERT_EQ(Add(0x200, 8), 0); // between two
    std::vector<uint32_t> starts;
    for (IMAGE_AREA* a = image->first; a != nullptr; a = a->next) {
        starts.push_back(a->start);
    }
    EXPECT_EQ(starts, (std::vector<uint32_t>{0x100, 0x200, 0x300, 0x500}));
    EXPECT_EQ(IMAGE_GetFirstAddr(image), 0x100u);
    EXPECT_EQ(IMAGE_GetLastAddr(image), 0x507u);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 32u);
    ExpectPatternAt(0x200, 0x208);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x208), -1);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x0FF), -1);
}

TEST_F(Image, RefusedAdditionsChangeNothingButTheCount) {
    ASSERT_EQ(Add(0x100, 16), 0);
    uint32_t changes = image->change_count;
    // Runs into the area's first byte.
    EXPECT_EQ(Add(0x0F0, 32), -1);
    // Empty, and reaching the top address that no area may hold.
    EXPECT_EQ(Add(0x400, 0), -1);
    EXPECT_EQ(Add(0xFFFFFFF0, 16), -1);
    EXPECT_EQ(IMAGE_AddData(image, 0xFFFFFFFF, 1, nullptr), -1);
    EXPECT_EQ(image->change_count, changes + 4);
    ExpectOneArea(0x100, 16);

    // Just below the top is fine.
    EXPECT_EQ(Add(0xFFFFFFF0, 15), 0);
    EXPECT_EQ(IMAGE_GetLastAddr(image), 0xFFFFFFFEu);
    EXPECT_EQ(IMAGE_ReadByte(image, 0xFFFFFFFE), Pattern(0xFFFFFFFE));
    EXPECT_EQ(IMAGE_ReadByte(image, 0xFFFFFFFF), -1);
}

TEST_F(Image, CapacityStartsAt256AndDoubles) {
    ASSERT_EQ(Add(0x0, 10), 0);
    EXPECT_EQ(image->first->capacity, 256u);
    ASSERT_EQ(Add(0x10000, 300), 0);
    EXPECT_EQ(image->first->next->capacity, 300u);

    ASSERT_EQ(Add(10, 246), 0); // fills the first area exactly
    EXPECT_EQ(image->first->capacity, 256u);
    ASSERT_EQ(Add(256, 250), 0);
    EXPECT_EQ(image->first->capacity, 512u);
    EXPECT_EQ(image->first->length, 506u);
    ExpectPatternAt(0, 506);
}

TEST_F(Image, MergeTakesTwiceTheMergedLengthWhenShort) {
    ASSERT_EQ(Add(0x000, 256), 0);
    ASSERT_EQ(Add(0x110, 300), 0);
    ASSERT_EQ(Add(0x100, 16), 0); // 272 in 512, then 572 merged
    ExpectOneArea(0, 572);
    EXPECT_EQ(image->first->capacity, 1144u);
}

TEST_F(Image, ManySmallAppendsGrowByDoubling) {
    const uint32_t total = 846918;
    // Held around the loop as the loader holds it: one kernel wait, not one per call.
    {
        IMAGE_LOCK_SCOPE lock(image);
        ASSERT_FALSE(lock.TimedOut());
        for (uint32_t a = 0; a < total; a += 16) {
            ASSERT_EQ(Add(0x40080000 + a, total - a < 16 ? total - a : 16), 0);
        }
    }
    EXPECT_EQ(AreaCount(), 1);
    EXPECT_EQ(image->first->length, total);
    EXPECT_EQ(image->first->capacity, 1048576u);
    EXPECT_EQ(IMAGE_GetNumBytes(image), total);
    EXPECT_EQ(IMAGE_GetLastAddr(image), 0x40080000u + total - 1);
}

TEST_F(Image, RangeOnlyAdditionsReadAsErased) {
    ASSERT_EQ(IMAGE_AddData(image, 0x20, 8, nullptr), 0);
    ASSERT_EQ(Add(0x10, 16), 0); // prepend to the range
    ASSERT_EQ(IMAGE_AddData(image, 0x28, 4, nullptr), 0);
    EXPECT_EQ(AreaCount(), 1);
    ExpectPatternAt(0x10, 0x20);
    for (uint32_t a = 0x20; a < 0x2C; ++a) {
        EXPECT_EQ(IMAGE_ReadByte(image, a), 0xFF);
    }
}

TEST_F(Image, BlockReadsBridgeGapsUpToTheMaximum) {
    ASSERT_EQ(Add(0x000, 16), 0);
    ASSERT_EQ(Add(0x014, 12), 0);
    ASSERT_EQ(Block(0, 0x1F, 4, 100), 32);
    EXPECT_EQ(first, 0u);
    for (uint32_t a = 0; a < 32; ++a) {
        uint8_t expected = (a >= 0x10 && a < 0x14) ? 0xFF : Pattern(a);
        EXPECT_EQ(block[a], expected) << a;
    }
    EXPECT_EQ(Block(0, 0x1F, 3, 100), 16);
    EXPECT_EQ(Block(0, 0x1F, 0, 100), 16);
    // A bridged block still stops at the maximum length and the last address.
    EXPECT_EQ(Block(0, 0x1F, 4, 20), 20);
    EXPECT_EQ(Block(0, 0x17, 4, 100), 24);
}

TEST_F(Image, BlockReadsNeverPassTheLastAddressOrTheMaximum) {
    ASSERT_EQ(Add(0x100, 64), 0);
    // Beginning inside the area, ending inside it.
    ASSERT_EQ(Block(0x110, 0x11F, 0, 64), 16);
    EXPECT_EQ(first, 0x110u);
    EXPECT_EQ(block[0], Pattern(0x110));
    EXPECT_EQ(block[15], Pattern(0x11F));
    EXPECT_EQ(Block(0x110, 0x1000, 0, 8), 8);
    // The area begins exactly at the last address: one byte.
    ASSERT_EQ(Block(0, 0x100, 0, 64), 1);
    EXPECT_EQ(first, 0x100u);
    EXPECT_EQ(block[0], Pattern(0x100));
    // Beyond the area, an inverted range, no room at all.
    EXPECT_EQ(Block(0x140, 0xFFFFFFFF, 0, 64), 0);
    EXPECT_EQ(Block(0x120, 0x110, 0, 64), 0);
    EXPECT_EQ(Block(0x100, 0x13F, 0, 0), 0);
    // The count alone, without a buffer or an address out.
    EXPECT_EQ(IMAGE_ReadBlock(image, 0, 0xFFFFFFFF, 0, nullptr, nullptr, 1000, 0, 0), 64);
}

TEST_F(Image, LongAreaIsReadInSeamlessBlocks) {
    const uint32_t total = 846918;
    ASSERT_EQ(Add(0x40000, total), 0);
    std::vector<uint8_t> buffer(10000);
    uint32_t p = 0x40000;
    uint32_t seen = 0;
    for (;;) {
        uint32_t first = 0;
        int32_t n = IMAGE_ReadBlock(image, p, 0xFFFFFFFF, 0, buffer.data(), &first, 10000, 0, 0);
        if (n == 0) {
            break;
        }
        ASSERT_EQ(first, p);
        ASSERT_LE(n, 10000);
        for (int32_t i = 0; i < n; ++i) {
            ASSERT_EQ(buffer[i], Pattern(first + i));
        }
        seen += n;
        p = first + n;
    }
    EXPECT_EQ(seen, total);
}

TEST_F(Image, BlockReadAlignment) {
    ASSERT_EQ(Add(0x105, 6), 0); // 0x105 .. 0x10A
    // Start down to a multiple of 4, end up to a multiple of 16; the padding reads 0xFF.
    ASSERT_EQ(Block(0, 0xFFFF, 0, 64, 2, 4), 12);
    EXPECT_EQ(first, 0x104u);
    EXPECT_EQ(block[0], 0xFF);
    EXPECT_EQ(block[1], Pattern(0x105));
    EXPECT_EQ(block[6], Pattern(0x10A));
    EXPECT_EQ(block[11], 0xFF);
    // Cut to a maximum of 6, the block still ends aligned: 0x104 .. 0x107.
    ASSERT_EQ(Block(0, 0xFFFF, 0, 6, 2, 2), 4);
    EXPECT_EQ(first, 0x104u);
    // A maximum shorter than the end alignment is kept whole rather than cut to nothing.
    EXPECT_EQ(Block(0, 0xFFFF, 0, 4, 0, 4), 4);
    // No bytes held in the range: no block at all.
    EXPECT_EQ(Block(0x200, 0x300, 0, 64, 4, 4), 0);
}

TEST_F(Image, PatchesShadowHeldBytes) {
    ASSERT_EQ(Add(0x10, std::vector<uint8_t>{0x55}), 0);
    EXPECT_EQ(IMAGE_AddPatch8(image, 0x10, 0xAB), 0);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x10), 0x1AB);
    uint8_t b = 0;
    EXPECT_EQ(IMAGE_Read8(image, 0x10, &b), 1);
    EXPECT_EQ(b, 0xAB);
    ASSERT_EQ(Block(0x10, 0x10, 0, 1), 1);
    EXPECT_EQ(block[0], 0xAB);

    EXPECT_EQ(IMAGE_AddPatch8(image, 0x10, 0x1CD), 1); // low 8 bits kept
    EXPECT_EQ(IMAGE_ReadByte(image, 0x10), 0x1CD);
    ASSERT_EQ(Block(0x10, 0x10, 0, 1), 1);
    EXPECT_EQ(block[0], 0xCD);
    IMAGE_UndoPatch(image);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x10), 0x1AB);
    IMAGE_UndoPatch(image);
    IMAGE_UndoPatch(image); // nothing left to undo
    EXPECT_EQ(IMAGE_ReadByte(image, 0x10), 0x55);
    EXPECT_EQ(IMAGE_Read8(image, 0x10, &b), 0);
    EXPECT_EQ(b, 0x55);
}

TEST_F(Image, PatchesOfAbsentAddressesReadAsPatchedButAddNoBytes) {
    EXPECT_EQ(IMAGE_AddPatch8(image, 0x500, 0x12), 0);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x500), 0x112);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 0u);
    // Block reads see only stretches that areas hold.
    EXPECT_EQ(IMAGE_ReadBlock(image, 0, 0xFFFF, 0, nullptr, nullptr, 64, 0, 0), 0);
}

TEST_F(Image, RemovePatchDropsEveryEntryOfTheAddressAndKeepsTheOrder) {
    IMAGE_AddPatch8(image, 1, 0x11);
    IMAGE_AddPatch8(image, 2, 0x21);
    IMAGE_AddPatch8(image, 1, 0x12);
    IMAGE_AddPatch8(image, 2, 0x22);
    IMAGE_AddPatch8(image, 3, 0x31);
    IMAGE_RemovePatch(image, 1);
    ASSERT_EQ(image->patch_count, 3u);
    EXPECT_EQ(IMAGE_ReadByte(image, 1), -1);
    EXPECT_EQ(IMAGE_ReadByte(image, 2), 0x122);
    IMAGE_UndoPatch(image); // drops (3, 0x31), the newest
    IMAGE_UndoPatch(image); // drops (2, 0x22)
    EXPECT_EQ(IMAGE_ReadByte(image, 3), -1);
    EXPECT_EQ(IMAGE_ReadByte(image, 2), 0x121);
}

TEST_F(Image, PatchArrayGrowsByHundredsAndCountsChanges) {
    uint32_t changes = image->change_count;
    for (uint32_t i = 0; i < 250; ++i) {
        ASSERT_EQ(IMAGE_AddPatch8(image, 0x1000 + i, i), static_cast<int32_t>(i));
    }
    EXPECT_EQ(image->patch_capacity, 300u);
    EXPECT_EQ(image->change_count, changes + 250);
    for (uint32_t i = 0; i < 250; ++i) {
        ASSERT_EQ(IMAGE_ReadByte(image, 0x1000 + i), static_cast<int32_t>(0x100 + i));
    }
}

TEST_F(Image, WideReadsAndPatchesAreLittleEndian) {
    ASSERT_EQ(Add(0x20, std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04, 0x05}), 0);
    uint16_t h = 0;
    uint32_t w = 0;
    EXPECT_EQ(IMAGE_Read16(image, 0x20, &h), 0);
    EXPECT_EQ(h, 0x0201);
    EXPECT_EQ(IMAGE_Read32(image, 0x21, &w), 0);
    EXPECT_EQ(w, 0x05040302u);
    // One absent byte makes the whole read absent and leaves the output alone.
    h = 0xBEEF;
    w = 0xDEADBEEF;
    EXPECT_EQ(IMAGE_Read16(image, 0x24, &h), -1);
    EXPECT_EQ(h, 0xBEEF);
    EXPECT_EQ(IMAGE_Read32(image, 0x1F, &w), -1);
    EXPECT_EQ(w, 0xDEADBEEFu);
    uint8_t b = 0x77;
    EXPECT_EQ(IMAGE_Read8(image, 0x30, &b), -1);
    EXPECT_EQ(b, 0x77);

    EXPECT_EQ(IMAGE_AddPatch16(image, 0x20, 0xAABB), 1);
    EXPECT_EQ(IMAGE_Read16(image, 0x20, &h), 1);
    EXPECT_EQ(h, 0xAABB);
    EXPECT_EQ(IMAGE_AddPatch32(image, 0x21, 0x11223344), 5);
    EXPECT_EQ(IMAGE_Read32(image, 0x21, &w), 1);
    EXPECT_EQ(w, 0x11223344u);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x20), 0x1BB);
    EXPECT_EQ(IMAGE_Read16(image, 0x25, &h), -1); // a patch never makes 0x25 held
    // Only the last byte patched still counts as patched.
    for (uint32_t a = 0x20; a < 0x24; ++a) {
        IMAGE_RemovePatch(image, a);
    }
    EXPECT_EQ(IMAGE_Read16(image, 0x22, &h), 0);
    EXPECT_EQ(IMAGE_Read16(image, 0x23, &h), 1);
    EXPECT_EQ(h, 0x1104);
}

} // namespace
