// Byte strings for tests: little-endian fields both ways, joining, and the
// boot loader's frame written out by hand, apart from the product's and the
// simulator's own frame code, so that a fault in either shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes Le16(uint16_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}

inline Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline uint16_t GetLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline uint32_t GetLe32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline uint32_t GetLe32(const Bytes& b, size_t at = 0) {
    return GetLe32(b.data() + at);
}

inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Start, length twice, start, control, address, command, data, then the sum
// of control, command and data (the address is not summed) and the end byte.
inline Bytes MakeFrame(uint8_t control, uint8_t command, const Bytes& data, uint8_t address = 0) {
    const auto length = static_cast<uint8_t>(data.size());
    Bytes f = {0x68, length, length, 0x68, control, address, command};
    uint8_t sum = static_cast<uint8_t>(control + command);
    for (uint8_t b : data) {
        f.push_back(b);
        sum = static_cast<uint8_t>(sum + b);
    }
    f.push_back(sum);
    f.push_back(0x16);
    return f;
}

// A reply frame of the boot loader.
inline Bytes Reply(uint8_t command, const Bytes& data) {
    return MakeFrame(0x80, command, data);
}
