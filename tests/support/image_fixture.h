// A fresh image for each test, and bytes whose value tells their address
// apart, for the tests of the image layer and of what reads it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/image.h"

class ImageFixture : public ::testing::Test {
  protected:
    void SetUp() override { Renew(); }
    void TearDown() override { IMAGE_Free(image); }

    // Starts again from an empty image.
    void Renew() {
        IMAGE_Free(image);
        image = IMAGE_Create();
        ASSERT_NE(image, nullptr);
    }

    static uint8_t Pattern(uint32_t address) { return static_cast<uint8_t>(address * 7 + 3); }
    static std::vector<uint8_t> PatternBytes(uint32_t address, uint32_t length) {
        std::vector<uint8_t> bytes(length);
        for (uint32_t i = 0; i < length; ++i) {
            bytes[i] = Pattern(address + i);
        }
        return bytes;
    }

    // The pattern's bytes over [address, address + length), added.
    int32_t Add(uint32_t address, uint32_t length) {
        return Add(address, PatternBytes(address, length));
    }
    int32_t Add(uint32_t address, const std::vector<uint8_t>& bytes) {
        return IMAGE_AddData(image, address, static_cast<uint32_t>(bytes.size()), bytes.data());
    }
    // IMAGE_ReadByte over count addresses from address.
    std::vector<int32_t> Read(uint32_t address, uint32_t count) const {
        std::vector<int32_t> read;
        for (uint32_t i = 0; i < count; ++i) {
            read.push_back(IMAGE_ReadByte(image, address + i));
        }
        return read;
    }

    IMAGE* image = nullptr;
};
