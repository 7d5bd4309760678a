// The firmware as a sparse map from 32-bit target addresses to bytes: a list of
// contiguous areas in ascending order plus single-byte patches that shadow them.
// Every operation except create and free takes the image's own re-entrant lock.
#pragma once

#include <atomic>
#include <cstdint>

struct IMAGE_AREA {
    IMAGE_AREA* next; // next area up in address order; null for the last
    uint8_t* data;    // byte i holds address start + i; null for a range-only area
    uint32_t start;
    uint32_t length;
    uint32_t capacity;
};

struct IMAGE_PATCH {
    uint32_t address;
    uint8_t value;
};

// One image is shared by the UI thread (loads it at start-up, computes its
// CRC) and the worker (walks it to program); both go through its lock.
struct IMAGE {
    IMAGE_AREA* first;
    uint32_t change_count;
    uint32_t patch_count;
    uint32_t patch_capacity;
    IMAGE_PATCH* patches;
    // Platform mutex; null if its creation failed. Made at create, or by the
    // first IMAGE_Lock after a failed creation.
    void* lock;
    // Re-entrance is counted here so that only the outermost acquisition
    // reaches the kernel; nested calls from the owning thread cost nothing.
    // Written by the holder as it takes and frees the lock; read by any thread
    // in IMAGE_Lock to see whether it holds the lock already.
    std::atomic<uint32_t> lock_owner; // thread id of the holder, 0 when free
    uint32_t lock_depth;              // read and written by the holder only
};

// Addresses are 32-bit. No area may hold the last address, so that an area's
// start + length never wraps.
constexpr uint64_t IMAGE_ADDRESS_SPACE = 0x100000000ull;
constexpr uint64_t IMAGE_ADDRESS_LIMIT = 0xFFFFFFFFull;

constexpr uint32_t IMAGE_LOCK_TIMEOUT_MS = 10000;
constexpr uint32_t IMAGE_FIRST_CAPACITY = 256;
constexpr uint32_t IMAGE_PATCH_GROWTH = 100;

// The wait of every locking operation, IMAGE_LOCK_TIMEOUT_MS unless a test
// shortens it to see a time-out without waiting ten seconds. Written only by
// a test's set-up while no other thread uses an image; read by IMAGE_Lock.
extern uint32_t IMAGE_LockTimeoutMs;

IMAGE* IMAGE_Create();
void IMAGE_Free(IMAGE* image);

// IMAGE_Lock's results.
constexpr int32_t IMAGE_LOCK_TAKEN = 0;
constexpr int32_t IMAGE_LOCK_TIMED_OUT = -1;
constexpr int32_t IMAGE_LOCK_MISSING = -2; // no lock exists; the caller then runs unlocked

int32_t IMAGE_Lock(IMAGE* image);
// Only after IMAGE_LOCK_TAKEN.
void IMAGE_Unlock(IMAGE* image);

// The lock over a scope (one operation, or a whole walk whose reads inside
// then only count nesting depth), released at the scope's end if it was
// taken. A null image takes nothing and counts as a missing lock.
class IMAGE_LOCK_SCOPE {
  public:
    explicit IMAGE_LOCK_SCOPE(IMAGE* image)
        : image_(image), result_(image != nullptr ? IMAGE_Lock(image) : IMAGE_LOCK_MISSING) {}
    ~IMAGE_LOCK_SCOPE() {
        if (result_ == IMAGE_LOCK_TAKEN) {
            IMAGE_Unlock(image_);
        }
    }
    IMAGE_LOCK_SCOPE(const IMAGE_LOCK_SCOPE&) = delete;
    IMAGE_LOCK_SCOPE& operator=(const IMAGE_LOCK_SCOPE&) = delete;
    bool TimedOut() const { return result_ == IMAGE_LOCK_TIMED_OUT; }

  private:
    IMAGE* image_;
    int32_t result_;
};

constexpr int32_t IMAGE_ADDED = 0;
constexpr int32_t IMAGE_REFUSED = -1;
constexpr int32_t IMAGE_ABSENT = -1;

// IMAGE_ADDED, or IMAGE_REFUSED (the bytes run into an area's first byte, the
// length is 0, the bytes would reach IMAGE_ADDRESS_LIMIT, memory ran out, or
// the lock wait timed out and nothing changed). Bytes may be null: the range
// is recorded and reads as 0xFF.
int32_t IMAGE_AddData(IMAGE* image, uint32_t address, uint32_t length, const uint8_t* bytes);
// IMAGE_ABSENT, 0..255 the byte, 0x100 + value for a patched byte.
int32_t IMAGE_ReadByte(IMAGE* image, uint32_t address);
// Count of bytes in the block from *first_out (0 when nothing is held in
// address .. last, -1 when the lock wait timed out); absent addresses inside
// the block read 0xFF. The buffer, when given, must hold max_length bytes.
int32_t IMAGE_ReadBlock(IMAGE* image, uint32_t address, uint32_t last, uint32_t max_gap,
                        uint8_t* buffer, uint32_t* first_out, int32_t max_length,
                        uint32_t start_align_bits, uint32_t end_align_bits);
uint32_t IMAGE_GetFirstAddr(IMAGE* image);
uint32_t IMAGE_GetLastAddr(IMAGE* image);
uint32_t IMAGE_GetNumBytes(IMAGE* image);

// -1 absent (out untouched), otherwise 1 when a byte read is patched, else 0.
int32_t IMAGE_Read8(IMAGE* image, uint32_t address, uint8_t* out);
int32_t IMAGE_Read16(IMAGE* image, uint32_t address, uint16_t* out);
int32_t IMAGE_Read32(IMAGE* image, uint32_t address, uint32_t* out);

// Return the patch count from before the (last) addition, -1 when the lock
// wait timed out (nothing added).
int32_t IMAGE_AddPatch8(IMAGE* image, uint32_t address, uint32_t value);
int32_t IMAGE_AddPatch16(IMAGE* image, uint32_t address, uint32_t value);
int32_t IMAGE_AddPatch32(IMAGE* image, uint32_t address, uint32_t value);
void IMAGE_UndoPatch(IMAGE* image);
void IMAGE_RemovePatch(IMAGE* image, uint32_t address);
void IMAGE_GetStatus(IMAGE* image, uint8_t out[2]);

// The stretch search of block reads; takes no lock.
void IMAGE_FindRun(const IMAGE* image, uint32_t address, uint32_t last, uint32_t* first,
                   uint32_t* count);
