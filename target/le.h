// Little-endian numbers in request and reply data: the one byte codec of the
// updater, also used by the simulated handheld.
#pragma once

#include <cstdint>

// Bytes a number takes in the data.
constexpr uint32_t LE16_SIZE = 2;
constexpr uint32_t LE32_SIZE = 4;

inline uint16_t LE_Read16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

inline uint32_t LE_Read32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline void LE_Write16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

inline void LE_Write32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}
