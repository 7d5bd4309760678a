// Speed of the firmware image on the carried firmware: loading the S-record
// text, the CRC over all held bytes, the same over ranges as long as the
// address space, and the byte-by-byte walk of the programming job. Prints
// the median of a few runs next to each budget.
#include "firmware/firmware.h"
#include "image/crc16.h"
#include "image/image.h"
#include "image/srec.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int RUNS = 5;
constexpr uint32_t FULL_RANGE = 0xFFFFFFFF;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Also one machine-readable line for scripts/bench.sh: FIGURE key value unit budget.
void Report(const char* key, const char* what, const std::vector<double>& ms, double budget) {
    std::printf("%-40s median %8.2f ms  (min %8.2f, max %8.2f)  budget %4.0f ms\n", what,
                Median(ms), *std::min_element(ms.begin(), ms.end()),
                *std::max_element(ms.begin(), ms.end()), budget);
    std::printf("FIGURE %s %.2f ms %.0f\n", key, Median(ms), budget);
}

} // namespace

int main() {
    std::printf("firmware text: %zu characters\n", FIRMWARE_SREC_SIZE);

    IMAGE* image = nullptr;
    std::vector<double> load;
    for (int run = 0; run < RUNS; ++run) {
        IMAGE* fresh = IMAGE_Create();
        char error[256] = {};
        Clock::time_point start = Clock::now();
        int32_t result = SREC_Load(fresh, FIRMWARE_SREC, error, 255);
        load.push_back(MsSince(start));
        if (result != 0) {
            std::printf("load failed: %s\n", error);
            IMAGE_Free(fresh);
            return 1;
        }
        IMAGE_Free(image);
        image = fresh;
    }

    int areas = 0;
    for (IMAGE_AREA* a = image->first; a != nullptr; a = a->next) {
        std::printf("area %d: 0x%08X, %u bytes, capacity %u\n", areas, a->start, a->length,
                    a->capacity);
        ++areas;
    }
    const uint32_t first = IMAGE_GetFirstAddr(image);
    const uint32_t last = IMAGE_GetLastAddr(image);
    const uint32_t held = IMAGE_GetNumBytes(image);
    std::printf("held bytes: %u, 0x%08X .. 0x%08X\n", held, first, last);

    // Range 0 the first area, range 1 everything from the second area on.
    uint32_t start[2] = {first, 0};
    uint32_t length[2] = {image->first != nullptr ? image->first->length : 0, 0};
    if (image->first != nullptr && image->first->next != nullptr) {
        start[1] = image->first->next->start;
        length[1] = last - start[1] + 1;
    }
    std::vector<double> crc;
    uint16_t value = 0;
    for (int run = 0; run < RUNS; ++run) {
        Clock::time_point begin = Clock::now();
        value = IMAGE_CalcRangesCRC(image, start, length);
        crc.push_back(MsSince(begin));
    }
    std::printf("CRC over 0x%08X+%u and 0x%08X+%u: 0x%04X\n", start[0], length[0], start[1],
                length[1], value);

    // Two ranges as long as the address space, as a faulty target may declare
    // them: the carried firmware inside each, everything else holes. The walk
    // holds the image lock throughout, so this is also how long it is held.
    const uint32_t full_start[2] = {0, first};
    const uint32_t full_length[2] = {FULL_RANGE, FULL_RANGE};
    std::vector<double> full;
    for (int run = 0; run < RUNS; ++run) {
        Clock::time_point begin = Clock::now();
        value = IMAGE_CalcRangesCRC(image, full_start, full_length);
        full.push_back(MsSince(begin));
    }
    std::printf("CRC over 0x%08X+%u and 0x%08X+%u: 0x%04X\n", full_start[0], full_length[0],
                full_start[1], full_length[1], value);

    std::vector<double> walk;
    uint32_t sum = 0;
    for (int run = 0; run < RUNS; ++run) {
        Clock::time_point begin = Clock::now();
        {
            IMAGE_LOCK_SCOPE lock(image);
            uint32_t seen = 0;
            for (uint32_t address = first; seen < held; ++address) {
                int32_t b = IMAGE_ReadByte(image, address);
                if (b >= 0) {
                    sum += static_cast<uint32_t>(b) & 0xFF;
                    ++seen;
                }
            }
        }
        walk.push_back(MsSince(begin));
    }
    std::printf("walk byte sum: 0x%08X\n", sum);

    Report("image_load", "load into a fresh image", load, 50);
    Report("image_crc", "CRC over both areas", crc, 20);
    Report("image_crc_full_ranges", "CRC over two ranges of 0xFFFFFFFF", full, 40);
    Report("image_walk", "byte walk under one lock", walk, 100);
    IMAGE_Free(image);
    return 0;
}
