// The image's CRC over address ranges, absent addresses counting as 0xFF,
// as the target computes it over its flash.
#include "image/crc16.h"
#include "image/image.h"

namespace {

constexpr int32_t CRC_BLOCK_BYTES = 10000;
constexpr uint8_t ERASED = 0xFF;

// One erased byte per address of [from, to). A target may declare a range as
// long as the address space; the fill keeps that to microseconds.
void FeedHole(uint16_t* reg, uint64_t from, uint64_t to) {
    if (from < to) {
        CRC16_Fill(reg, ERASED, to - from);
    }
}

// A range whose end would pass the top of the address space ends there.
void FeedRange(IMAGE* image, uint16_t* reg, uint32_t start, uint32_t length) {
    if (length == 0) {
        return;
    }
    uint64_t end = static_cast<uint64_t>(start) + length;
    if (end > IMAGE_ADDRESS_SPACE) {
        end = IMAGE_ADDRESS_SPACE;
    }
    const uint32_t last = static_cast<uint32_t>(end - 1);
    uint8_t block[CRC_BLOCK_BYTES];
    uint64_t p = start;
    while (image != nullptr && p <= last) {
        uint32_t first = 0;
        int32_t count = IMAGE_ReadBlock(image, static_cast<uint32_t>(p), last, 0, block, &first,
                                        CRC_BLOCK_BYTES, 0, 0);
        if (count <= 0) {
            break;
        }
        FeedHole(reg, p, first);
        CRC16_Calc(reg, block, static_cast<uint32_t>(count) - 1);
        p = static_cast<uint64_t>(first) + static_cast<uint32_t>(count);
    }
    FeedHole(reg, p, end);
}

} // namespace

uint16_t IMAGE_CalcRangesCRC(IMAGE* image, const uint32_t start[2], const uint32_t length[2]) {
    uint16_t reg = 0;
    CRC16_Init(&reg);
    // One lock over the whole walk: the block reads inside then only count
    // nesting depth instead of each waiting on the platform mutex.
    IMAGE_LOCK_SCOPE lock(image);
    FeedRange(image, &reg, start[0], length[0]);
    FeedRange(image, &reg, start[1], length[1]);
    return reg;
}
