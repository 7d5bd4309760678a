// The sparse firmware map. Every public operation takes the image lock; the
// Unlocked* helpers below do the work and assume the lock is held.
#include "image/image.h"

#include "image/image_lock.h"

#include <cstdlib>
#include <cstring>
#include <new>

uint32_t IMAGE_LockTimeoutMs = IMAGE_LOCK_TIMEOUT_MS;

namespace {

// Each public operation takes the lock with IMAGE_LOCK_SCOPE: a missing lock
// lets the operation run unlocked; only a timed-out wait refuses it.

// Doubling from the current capacity until `needed` fits; 0 when it cannot.
uint32_t GrownCapacity(uint32_t capacity, uint64_t needed) {
    uint64_t c = capacity > 0 ? capacity : IMAGE_FIRST_CAPACITY;
    while (c < needed) {
        c *= 2;
    }
    if (c > IMAGE_ADDRESS_LIMIT) {
        c = needed;
    }
    return c > IMAGE_ADDRESS_LIMIT ? 0 : static_cast<uint32_t>(c);
}

bool Reserve(IMAGE_AREA* area, uint32_t new_capacity) {
    if (area->data != nullptr && area->capacity >= new_capacity) {
        return true;
    }
    auto* data = static_cast<uint8_t*>(std::realloc(area->data, new_capacity));
    if (data == nullptr) {
        return false;
    }
    area->data = data;
    area->capacity = new_capacity;
    return true;
}

// Room for `extra` more bytes, by doubling.
bool MakeRoom(IMAGE_AREA* area, uint32_t extra) {
    uint64_t needed = static_cast<uint64_t>(area->length) + extra;
    if (area->capacity - area->length >= extra) {
        return true;
    }
    uint32_t capacity = GrownCapacity(area->capacity, needed);
    return capacity != 0 && Reserve(area, capacity);
}

// Range-only additions read as erased flash.
void CopyIn(uint8_t* to, const uint8_t* bytes, uint32_t length) {
    if (bytes != nullptr) {
        std::memcpy(to, bytes, length);
    } else {
        std::memset(to, 0xFF, length);
    }
}

IMAGE_AREA* NewArea(uint32_t address, uint32_t length, const uint8_t* bytes) {
    auto* area = static_cast<IMAGE_AREA*>(std::calloc(1, sizeof(IMAGE_AREA)));
    if (area == nullptr) {
        return nullptr;
    }
    uint32_t capacity = length > IMAGE_FIRST_CAPACITY ? length : IMAGE_FIRST_CAPACITY;
    area->data = static_cast<uint8_t*>(std::malloc(capacity));
    if (area->data == nullptr) {
        std::free(area);
        return nullptr;
    }
    CopyIn(area->data, bytes, length);
    area->start = address;
    area->length = length;
    area->capacity = capacity;
    return area;
}

void FreeArea(IMAGE_AREA* area) {
    std::free(area->data);
    std::free(area);
}

// Joins A with its successor when they now touch. Should the bigger buffer be
// unavailable they stay apart: touching areas still read correctly.
void MergeWithNext(IMAGE_AREA* a) {
    IMAGE_AREA* b = a->next;
    if (b == nullptr || static_cast<uint64_t>(a->start) + a->length != b->start) {
        return;
    }
    uint64_t merged = static_cast<uint64_t>(a->length) + b->length;
    if (a->capacity < merged) {
        uint64_t base = merged > IMAGE_FIRST_CAPACITY ? merged : IMAGE_FIRST_CAPACITY;
        uint64_t capacity = 2 * base > IMAGE_ADDRESS_LIMIT ? merged : 2 * base;
        if (!Reserve(a, static_cast<uint32_t>(capacity))) {
            return;
        }
    }
    std::memcpy(a->data + a->length, b->data, b->length);
    a->length = static_cast<uint32_t>(merged);
    a->next = b->next;
    FreeArea(b);
}

int32_t UnlockedAddData(IMAGE* image, uint32_t address, uint32_t length, const uint8_t* bytes) {
    image->change_count++;
    // Empty additions would make empty areas, and no area may reach the top address.
    if (length == 0 || static_cast<uint64_t>(address) + length > IMAGE_ADDRESS_LIMIT) {
        return IMAGE_REFUSED;
    }
    uint64_t new_end = static_cast<uint64_t>(address) + length;
    IMAGE_AREA** link = &image->first; // the header stands in as the first area's predecessor
    for (IMAGE_AREA* a = image->first; a != nullptr; link = &a->next, a = a->next) {
        uint64_t end = static_cast<uint64_t>(a->start) + a->length;
        if (address == end) {
            if (!MakeRoom(a, length)) {
                return IMAGE_REFUSED;
            }
            CopyIn(a->data + a->length, bytes, length);
            a->length += length;
            MergeWithNext(a);
            return IMAGE_ADDED;
        }
        if (new_end == a->start) {
            if (!MakeRoom(a, length)) {
                return IMAGE_REFUSED;
            }
            std::memmove(a->data + length, a->data, a->length);
            CopyIn(a->data, bytes, length);
            a->length += length;
            a->start = address;
            return IMAGE_ADDED;
        }
        if (address <= a->start) {
            if (new_end > a->start) {
                return IMAGE_REFUSED; // the new bytes run into A's first byte
            }
            IMAGE_AREA* area = NewArea(address, length, bytes);
            if (area == nullptr) {
                return IMAGE_REFUSED;
            }
            area->next = a;
            *link = area;
            return IMAGE_ADDED;
        }
    }
    IMAGE_AREA* area = NewArea(address, length, bytes);
    if (area == nullptr) {
        return IMAGE_REFUSED;
    }
    *link = area;
    return IMAGE_ADDED;
}

int32_t UnlockedReadByte(const IMAGE* image, uint32_t address) {
    for (uint32_t i = image->patch_count; i > 0; --i) {
        const IMAGE_PATCH& p = image->patches[i - 1];
        if (p.address == address) {
            return 0x100 + p.value;
        }
    }
    for (const IMAGE_AREA* a = image->first; a != nullptr && a->start <= address; a = a->next) {
        if (address - a->start < a->length) {
            return a->data[address - a->start];
        }
    }
    return IMAGE_ABSENT;
}

// Reads `count` bytes from `address` (little-endian); -1 if one is absent.
int32_t ReadLittleEndian(IMAGE* image, uint32_t address, uint32_t count, uint32_t* value) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return -1;
    }
    uint32_t v = 0;
    int32_t patched = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int32_t b = UnlockedReadByte(image, address + i);
        if (b < 0) {
            return -1;
        }
        patched |= b >> 8;
        v |= static_cast<uint32_t>(b & 0xFF) << (8 * i);
    }
    *value = v;
    return patched;
}

// Fills buffer[0 .. count-1] with the bytes from `first` on, as single reads
// would give them, but area by area instead of byte by byte.
void FillBlock(const IMAGE* image, uint32_t first, uint32_t count, uint8_t* buffer) {
    std::memset(buffer, 0xFF, count);
    uint64_t block_end = static_cast<uint64_t>(first) + count;
    for (const IMAGE_AREA* a = image->first; a != nullptr && a->start < block_end; a = a->next) {
        uint64_t area_end = static_cast<uint64_t>(a->start) + a->length;
        uint64_t from = a->start > first ? a->start : first;
        uint64_t to = area_end < block_end ? area_end : block_end;
        if (from < to) {
            std::memcpy(buffer + (from - first), a->data + (from - a->start), to - from);
        }
    }
    // Oldest first, so that the newest entry for an address wins.
    for (uint32_t i = 0; i < image->patch_count; ++i) {
        const IMAGE_PATCH& p = image->patches[i];
        if (p.address >= first && p.address < block_end) {
            buffer[p.address - first] = p.value;
        }
    }
}

// A block read's extent as it is being built; 64-bit so no step can wrap.
struct BLOCK {
    uint64_t first;
    uint64_t count;
};

// Widens the block over the next runs while each gap before one is at most
// max_gap, the block stays below the limit and the runs start by `last`.
void BridgeGaps(const IMAGE* image, uint32_t last, uint32_t max_gap, uint64_t limit, BLOCK* block) {
    uint64_t end = block->first + block->count;
    while (block->count < limit && end <= last) {
        uint32_t next_first = 0;
        uint32_t next_count = 0;
        IMAGE_FindRun(image, static_cast<uint32_t>(end), last, &next_first, &next_count);
        if (next_count == 0 || next_first - end > max_gap) {
            return;
        }
        block->count += (next_first - end) + next_count;
        end = static_cast<uint64_t>(next_first) + next_count;
    }
}

// Alignments beyond 2^31 count as 2^31.
uint32_t AlignBits(uint32_t bits) {
    return bits > 31 ? 31 : bits;
}

// Moves the start down to a multiple of 2^bits.
void AlignStart(BLOCK* block, uint32_t bits) {
    const uint32_t k = AlignBits(bits);
    if (k > 0) {
        const uint64_t d = block->first & ((1ull << k) - 1);
        block->first -= d;
        block->count += d;
    }
}

// Moves the end up to just before a multiple of 2^bits, but not past the
// address space. Returns the alignment mask (0 for none).
uint64_t AlignEnd(BLOCK* block, uint32_t bits) {
    const uint32_t j = AlignBits(bits);
    const uint64_t mask = j > 0 ? (1ull << j) - 1 : 0;
    if (j > 0) {
        block->count += mask - ((block->first + block->count - 1) & mask);
        if (block->first + block->count > IMAGE_ADDRESS_SPACE) {
            block->count = IMAGE_ADDRESS_SPACE - block->first;
        }
    }
    return mask;
}

// Cuts the block to the limit, still ending aligned where the limit allows.
void CapLength(BLOCK* block, uint64_t limit, uint64_t end_mask) {
    if (block->count > limit) {
        const uint64_t cut = (block->first + limit) & end_mask;
        // A maximum shorter than the alignment cannot end aligned; keep it whole.
        block->count = cut < limit ? limit - cut : limit;
    }
}

} // namespace

IMAGE* IMAGE_Create() {
    auto* image = new (std::nothrow) IMAGE();
    if (image == nullptr) {
        return nullptr;
    }
    image->change_count = 1;
    image->lock = IMAGE_LockCreate();
    return image;
}

void IMAGE_Free(IMAGE* image) {
    if (image == nullptr) {
        return;
    }
    IMAGE_LockDestroy(image->lock);
    IMAGE_AREA* a = image->first;
    while (a != nullptr) {
        IMAGE_AREA* next = a->next;
        FreeArea(a);
        a = next;
    }
    std::free(image->patches);
    delete image;
}

int32_t IMAGE_Lock(IMAGE* image) {
    uint32_t self = IMAGE_LockThreadId();
    if (image->lock_owner.load(std::memory_order_relaxed) == self) {
        image->lock_depth++;
        return IMAGE_LOCK_TAKEN;
    }
    if (image->lock == nullptr) {
        image->lock = IMAGE_LockCreate();
        if (image->lock == nullptr) {
            return IMAGE_LOCK_MISSING;
        }
    }
    if (!IMAGE_LockWait(image->lock, IMAGE_LockTimeoutMs)) {
        return IMAGE_LOCK_TIMED_OUT;
    }
    image->lock_owner.store(self, std::memory_order_relaxed);
    image->lock_depth = 1;
    return IMAGE_LOCK_TAKEN;
}

void IMAGE_Unlock(IMAGE* image) {
    // Only the holder may release; anything else is an unbalanced call.
    if (image->lock_owner.load(std::memory_order_relaxed) != IMAGE_LockThreadId()) {
        return;
    }
    if (--image->lock_depth == 0) {
        image->lock_owner.store(0, std::memory_order_relaxed);
        IMAGE_LockRelease(image->lock);
    }
}

int32_t IMAGE_AddData(IMAGE* image, uint32_t address, uint32_t length, const uint8_t* bytes) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return IMAGE_REFUSED;
    }
    return UnlockedAddData(image, address, length, bytes);
}

int32_t IMAGE_ReadByte(IMAGE* image, uint32_t address) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return IMAGE_ABSENT;
    }
    return UnlockedReadByte(image, address);
}

void IMAGE_FindRun(const IMAGE* image, uint32_t address, uint32_t last, uint32_t* first,
                   uint32_t* count) {
    *count = 0;
    if (address > last) {
        return;
    }
    for (const IMAGE_AREA* a = image->first; a != nullptr; a = a->next) {
        uint32_t area_last = a->start + a->length - 1;
        if (area_last < address) {
            continue;
        }
        if (a->start > last) {
            return;
        }
        *first = a->start > address ? a->start : address;
        *count = (area_last < last ? area_last : last) - *first + 1;
        return;
    }
}

int32_t IMAGE_ReadBlock(IMAGE* image, uint32_t address, uint32_t last, uint32_t max_gap,
                        uint8_t* buffer, uint32_t* first_out, int32_t max_length,
                        uint32_t start_align_bits, uint32_t end_align_bits) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return -1;
    }
    if (max_length <= 0) {
        return 0;
    }
    const uint64_t limit = static_cast<uint64_t>(max_length);
    uint32_t first = 0;
    uint32_t run = 0;
    IMAGE_FindRun(image, address, last, &first, &run);
    if (run == 0) {
        return 0; // nothing held: no block, whatever the alignment asks
    }
    BLOCK block = {first, run};
    if (max_gap > 0) {
        BridgeGaps(image, last, max_gap, limit, &block);
    }
    AlignStart(&block, start_align_bits);
    const uint64_t end_mask = AlignEnd(&block, end_align_bits);
    CapLength(&block, limit, end_mask);
    if (buffer != nullptr) {
        FillBlock(image, static_cast<uint32_t>(block.first), static_cast<uint32_t>(block.count),
                  buffer);
    }
    if (first_out != nullptr) {
        *first_out = static_cast<uint32_t>(block.first);
    }
    return static_cast<int32_t>(block.count);
}

uint32_t IMAGE_GetFirstAddr(IMAGE* image) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut() || image->first == nullptr) {
        return 0;
    }
    return image->first->start;
}

uint32_t IMAGE_GetLastAddr(IMAGE* image) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut() || image->first == nullptr) {
        return 0;
    }
    const IMAGE_AREA* a = image->first;
    while (a->next != nullptr) {
        a = a->next;
    }
    return a->start + a->length - 1;
}

uint32_t IMAGE_GetNumBytes(IMAGE* image) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return 0;
    }
    uint32_t total = 0;
    for (const IMAGE_AREA* a = image->first; a != nullptr; a = a->next) {
        total += a->length;
    }
    return total;
}

int32_t IMAGE_Read8(IMAGE* image, uint32_t address, uint8_t* out) {
    uint32_t v = 0;
    int32_t result = ReadLittleEndian(image, address, 1, &v);
    if (result >= 0) {
        *out = static_cast<uint8_t>(v);
    }
    return result;
}

int32_t IMAGE_Read16(IMAGE* image, uint32_t address, uint16_t* out) {
    uint32_t v = 0;
    int32_t result = ReadLittleEndian(image, address, 2, &v);
    if (result >= 0) {
        *out = static_cast<uint16_t>(v);
    }
    return result;
}

int32_t IMAGE_Read32(IMAGE* image, uint32_t address, uint32_t* out) {
    return ReadLittleEndian(image, address, 4, out);
}

int32_t IMAGE_AddPatch8(IMAGE* image, uint32_t address, uint32_t value) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return -1;
    }
    image->change_count++;
    int32_t before = static_cast<int32_t>(image->patch_count);
    if (image->patch_count == image->patch_capacity) {
        uint32_t capacity = image->patch_capacity + IMAGE_PATCH_GROWTH;
        auto* patches = static_cast<IMAGE_PATCH*>(
            std::realloc(image->patches, static_cast<size_t>(capacity) * sizeof(IMAGE_PATCH)));
        if (patches == nullptr) {
            return before;
        }
        image->patches = patches;
        image->patch_capacity = capacity;
    }
    image->patches[image->patch_count].address = address;
    image->patches[image->patch_count].value = static_cast<uint8_t>(value);
    image->patch_count++;
    return before;
}

int32_t IMAGE_AddPatch16(IMAGE* image, uint32_t address, uint32_t value) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return -1;
    }
    IMAGE_AddPatch8(image, address, value);
    return IMAGE_AddPatch8(image, address + 1, value >> 8);
}

int32_t IMAGE_AddPatch32(IMAGE* image, uint32_t address, uint32_t value) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return -1;
    }
    IMAGE_AddPatch8(image, address, value);
    IMAGE_AddPatch8(image, address + 1, value >> 8);
    IMAGE_AddPatch8(image, address + 2, value >> 16);
    return IMAGE_AddPatch8(image, address + 3, value >> 24);
}

void IMAGE_UndoPatch(IMAGE* image) {
    IMAGE_LOCK_SCOPE lock(image);
    if (!lock.TimedOut() && image->patch_count > 0) {
        image->patch_count--;
    }
}

void IMAGE_RemovePatch(IMAGE* image, uint32_t address) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return;
    }
    uint32_t kept = 0;
    for (uint32_t i = 0; i < image->patch_count; ++i) {
        if (image->patches[i].address != address) {
            image->patches[kept++] = image->patches[i];
        }
    }
    image->patch_count = kept;
}

void IMAGE_GetStatus(IMAGE* image, uint8_t out[2]) {
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return;
    }
    out[0] = 0;
    out[1] = image->change_count > 0 ? 1 : 0;
}
