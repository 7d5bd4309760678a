// The image lock: re-entrant for its holder, a wait for everyone else, and a
// time-out that leaves the image as it was.
#include "image/image.h"
#include "image/image_lock.h"
#include "image/srec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "tests/support/image_fixture.h"

namespace {

class ImageLock : public ImageFixture {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ImageFixture::SetUp());
        ASSERT_NE(image->lock, nullptr);
        ASSERT_EQ(Add(0x100, std::vector<uint8_t>{0x10, 0x20, 0x30, 0x40}), 0);
    }
    void TearDown() override {
        IMAGE_LockTimeoutMs = IMAGE_LOCK_TIMEOUT_MS;
        ImageFixture::TearDown();
    }
};

TEST_F(ImageLock, HolderTakesItAgainWithoutWaiting) {
    ASSERT_EQ(IMAGE_Lock(image), 0);
    ASSERT_EQ(IMAGE_Lock(image), 0);
    const uint8_t more[] = {0x50};
    EXPECT_EQ(IMAGE_AddData(image, 0x104, 1, more), 0);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x104), 0x50);
    EXPECT_EQ(image->lock_depth, 2u);
    IMAGE_Unlock(image);
    EXPECT_NE(image->lock_owner.load(), 0u); // still held once
    IMAGE_Unlock(image);
    EXPECT_EQ(image->lock_owner.load(), 0u);

    // Released for good: another thread gets it at once.
    int32_t seen = 0;
    std::thread other([&] { seen = IMAGE_ReadByte(image, 0x104); });
    other.join();
    EXPECT_EQ(seen, 0x50);
}

TEST_F(ImageLock, OtherThreadWaitsForTheHolder) {
    ASSERT_EQ(IMAGE_Lock(image), 0);
    std::atomic<bool> released{false};
    std::atomic<bool> done{false};
    std::atomic<bool> read_after_release{false};
    std::thread other([&] {
        int32_t b = IMAGE_ReadByte(image, 0x101);
        read_after_release = released.load() && b == 0x20;
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done.load());
    released = true;
    IMAGE_Unlock(image);
    other.join();
    EXPECT_TRUE(read_after_release.load());
}

TEST_F(ImageLock, TimedOutWaitFailsAndChangesNothing) {
    IMAGE_LockTimeoutMs = 50;
    ASSERT_EQ(IMAGE_Lock(image), 0);
    const uint32_t changes = image->change_count;
    std::thread other([&] {
        const uint8_t bytes[] = {0x99};
        uint8_t b = 0x77;
        uint8_t buffer[8];
        uint8_t status[2] = {7, 7};
        EXPECT_EQ(IMAGE_Lock(image), -1);
        // A time-out is -1 everywhere, as the lock itself reports it.
        EXPECT_EQ(IMAGE_AddData(image, 0x104, 1, bytes), -1);
        EXPECT_EQ(IMAGE_AddPatch8(image, 0x100, 1), -1);
        EXPECT_EQ(IMAGE_AddPatch16(image, 0x100, 1), -1);
        EXPECT_EQ(IMAGE_AddPatch32(image, 0x100, 1), -1);
        // The loader tells a held lock from a lack of memory.
        char error[64] = {};
        EXPECT_EQ(SREC_Load(image, "S1050104AABB90", error, 63), SREC_ERROR);
        EXPECT_STREQ(error, "Error in line 1: Image locked");
        EXPECT_EQ(IMAGE_ReadByte(image, 0x100), -1);
        EXPECT_EQ(IMAGE_Read8(image, 0x100, &b), -1);
        EXPECT_EQ(b, 0x77);
        EXPECT_EQ(IMAGE_ReadBlock(image, 0x100, 0x103, 0, buffer, nullptr, 8, 0, 0), -1);
        EXPECT_EQ(IMAGE_GetNumBytes(image), 0u);
        IMAGE_GetStatus(image, status);
        EXPECT_EQ(status[1], 7);
        // Not the holder: its unlock must not free the lock.
        IMAGE_Unlock(image);
        EXPECT_EQ(IMAGE_Lock(image), -1);
    });
    other.join();
    IMAGE_Unlock(image);
    EXPECT_EQ(image->change_count, changes);
    EXPECT_EQ(image->patch_count, 0u);
    EXPECT_EQ(IMAGE_GetNumBytes(image), 4u);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x104), -1);
}

TEST_F(ImageLock, MissingLockIsCreatedAgainOnUse) {
    IMAGE_LockDestroy(image->lock);
    image->lock = nullptr; // as after a failed creation
    ASSERT_EQ(IMAGE_Lock(image), 0);
    ASSERT_NE(image->lock, nullptr);
    IMAGE_LockTimeoutMs = 50;
    std::thread other([&] { EXPECT_EQ(IMAGE_ReadByte(image, 0x100), -1); });
    other.join();
    IMAGE_Unlock(image);
    EXPECT_EQ(IMAGE_ReadByte(image, 0x100), 0x10);
}

} // namespace
