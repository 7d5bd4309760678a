// The S-record loader over arbitrary text.
// Input: one byte that picks the error buffer's size (and whether it starts
// dirty), then the text, which ends at the first NUL or at the input's end.
// The loader's result, message and image are compared with a plain second
// reading of the format; the image is then read back byte by byte, by
// blocks and by range CRC.
#include "check.h"
#include "image/crc16.h"
#include "image/image.h"
#include "image/srec.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace {

struct Expected {
    int32_t result = 0;
    std::string message; // the full "Error in line ..." text
    std::map<uint32_t, uint8_t> bytes;
};

// The loader's rules, written out plainly, including its own choices for
// records too short to hold data and records that reach the top address.
class Reference {
  public:
    explicit Reference(const char* text) : t_(text) {}

    Expected Run() {
        Expected e;
        bytes_ = &e.bytes;
        for (;;) {
            char c = t_[pos_];
            if (c == '\0' || c == '\x1A') {
                return e;
            }
            const char* error = Record();
            if (error == nullptr) {
                c = t_[pos_];
                if (c == '\r' || c == '\n') {
                    ++line_;
                    ++pos_;
                    if (t_[pos_] == '\r' || t_[pos_] == '\n') {
                        ++pos_;
                    }
                } else if (c != '\0' && c != '\x1A') {
                    error = "Expected CR or LF";
                }
            }
            if (error != nullptr) {
                e.result = SREC_ERROR;
                e.message = "Error in line " + std::to_string(line_ + 1) + ": " + error;
                return e;
            }
        }
    }

  private:
    static int Hex(char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    }

    bool Byte(uint8_t* out) {
        int high = Hex(t_[pos_]);
        if (high < 0) {
            return false;
        }
        int low = Hex(t_[pos_ + 1]);
        if (low < 0) {
            return false;
        }
        pos_ += 2;
        *out = static_cast<uint8_t>(high * 16 + low);
        return true;
    }

    const char* Record() {
        if (t_[pos_] != 'S') {
            return "Unexpected character";
        }
        ++pos_;
        const auto type_char = static_cast<unsigned char>(t_[pos_]);
        if (type_char < 0x20 || type_char > 0x7F) {
            return "Unexpected character";
        }
        ++pos_;
        uint8_t count = 0;
        uint8_t b[256];
        if (!Byte(&count)) {
            return "Expected Hex character : 0..9, A..F";
        }
        unsigned sum = count;
        for (int i = 0; i < count; ++i) {
            if (!Byte(&b[i])) {
                return "Expected Hex character : 0..9, A..F";
            }
            sum += b[i];
        }
        if (count != 0 && (sum & 0xFF) != 0xFF) {
            return "Checksum error !";
        }
        const int type = type_char - '0';
        if (type < 1 || type > 3) {
            return nullptr;
        }
        const int address_bytes = type + 1;
        if (count < address_bytes + 2) {
            return "Record too short";
        }
        uint64_t address = 0;
        for (int i = 0; i < address_bytes; ++i) {
            address = address * 256 + b[i];
        }
        const uint64_t length = count - address_bytes - 1;
        if (address + length > 0xFFFFFFFFull) {
            return "Address out of range";
        }
        auto it = bytes_->lower_bound(static_cast<uint32_t>(address));
        if (it != bytes_->end() && it->first <= address + length - 1) {
            return "Areas overlap";
        }
        for (uint64_t i = 0; i < length; ++i) {
            (*bytes_)[static_cast<uint32_t>(address + i)] = b[address_bytes + i];
        }
        return nullptr;
    }

    const char* t_;
    size_t pos_ = 0;
    int line_ = 0;
    std::map<uint32_t, uint8_t>* bytes_ = nullptr;
};

// CRC-16 one byte at a time in the direct shift-in form, with its own table.
uint16_t ReferenceCRC(const std::map<uint32_t, uint8_t>& bytes, const uint32_t start[2],
                      const uint32_t length[2]) {
    static uint16_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t r = i << 8;
            for (int k = 0; k < 8; ++k) {
                r = (r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1;
            }
            table[i] = static_cast<uint16_t>(r);
        }
        made = true;
    }
    uint32_t reg = 0xFFFF;
    for (int range = 0; range < 2; ++range) {
        uint64_t end = static_cast<uint64_t>(start[range]) + length[range];
        if (end > 0x100000000ull) {
            end = 0x100000000ull;
        }
        for (uint64_t a = start[range]; a < end; ++a) {
            auto it = bytes.find(static_cast<uint32_t>(a));
            uint8_t b = it == bytes.end() ? 0xFF : it->second;
            reg = (((reg << 8) | b) ^ table[reg >> 8]) & 0xFFFF;
        }
    }
    return static_cast<uint16_t>(reg);
}

constexpr int32_t ERROR_SIZES[] = {255, 0, 1, 2, 3, 10, 17, 20, 25, 40, 60, 127, -1};
constexpr uint32_t CRC_SPAN = 2048;

void CheckAreas(IMAGE* image, const std::map<uint32_t, uint8_t>& bytes) {
    uint64_t previous_end = 0;
    uint64_t total = 0;
    bool first = true;
    for (const IMAGE_AREA* a = image->first; a != nullptr; a = a->next) {
        FUZZ_CHECK(a->length > 0 && a->data != nullptr, "empty area at %08X", a->start);
        FUZZ_CHECK(a->length <= a->capacity, "area longer than its buffer");
        FUZZ_CHECK(static_cast<uint64_t>(a->start) + a->length <= 0xFFFFFFFFull,
                   "area reaches the top address");
        // Touching areas are joined as records arrive.
        FUZZ_CHECK(first || a->start > previous_end, "areas out of order or touching at %08X",
                   a->start);
        previous_end = static_cast<uint64_t>(a->start) + a->length;
        total += a->length;
        first = false;
    }
    FUZZ_CHECK(total == bytes.size(), "image holds %llu bytes, reference %zu",
               static_cast<unsigned long long>(total), bytes.size());
}

void CheckImage(IMAGE* image, const std::map<uint32_t, uint8_t>& bytes) {
    CheckAreas(image, bytes);
    FUZZ_CHECK(IMAGE_GetNumBytes(image) == bytes.size(), "byte count");
    for (const auto& [address, value] : bytes) {
        int32_t got = IMAGE_ReadByte(image, address);
        FUZZ_CHECK(got == value, "byte at %08X reads %d, loaded %d", address, got, value);
        // The neighbours are either held or absent.
        if (address > 0 && bytes.count(address - 1) == 0) {
            FUZZ_CHECK(IMAGE_ReadByte(image, address - 1) == -1, "phantom byte below %08X",
                       address);
        }
    }
    if (bytes.empty()) {
        FUZZ_CHECK(image->first == nullptr, "empty load left an area");
        return;
    }
    const uint32_t first = bytes.begin()->first;
    const uint32_t last = bytes.rbegin()->first;
    FUZZ_CHECK(IMAGE_GetFirstAddr(image) == first, "first address");
    FUZZ_CHECK(IMAGE_GetLastAddr(image) == last, "last address");

    // Blocks as the programming job asks for them: 4-aligned, at most 236.
    uint8_t block[236];
    uint64_t p = first;
    for (int blocks = 0; blocks < 64 && p <= last; ++blocks) {
        uint32_t at = 0;
        int32_t n = IMAGE_ReadBlock(image, static_cast<uint32_t>(p), last, 16, block, &at,
                                    sizeof block, 2, 2);
        FUZZ_CHECK(n > 0 && n <= static_cast<int32_t>(sizeof block), "block of %d", n);
        FUZZ_CHECK(at == (p & ~3ull), "block at %08X for %08llX", at,
                   static_cast<unsigned long long>(p));
        for (int32_t i = 0; i < n; ++i) {
            auto it = bytes.find(at + static_cast<uint32_t>(i));
            uint8_t want = it == bytes.end() ? 0xFF : it->second;
            FUZZ_CHECK(block[i] == want, "block byte at %08X", at + i);
        }
        p = static_cast<uint64_t>(at) + static_cast<uint32_t>(n);
        if (p > last) {
            break;
        }
        p = bytes.lower_bound(static_cast<uint32_t>(p))->first; // last is held, so found
    }

    // Range CRCs: the start of the image, its end, and a range that would run
    // past the top of the address space and must stop there.
    const uint32_t starts[][2] = {
        {first, last > CRC_SPAN ? last - CRC_SPAN : 0}, {last, 0xFFFFFF00u}, {first, 0}};
    const uint32_t lengths[][2] = {{CRC_SPAN, CRC_SPAN}, {17, 0xFFFFFFFFu}, {1, 0}};
    for (size_t i = 0; i < sizeof starts / sizeof starts[0]; ++i) {
        uint16_t got = IMAGE_CalcRangesCRC(image, starts[i], lengths[i]);
        uint16_t want = ReferenceCRC(bytes, starts[i], lengths[i]);
        FUZZ_CHECK(got == want, "range CRC %04X, reference %04X (case %zu)", got, want, i);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t pick = data[0] & 0x0F;
    const int32_t error_size = ERROR_SIZES[pick % (sizeof ERROR_SIZES / sizeof ERROR_SIZES[0])];
    const bool dirty = (data[0] & 0x10) != 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    const Expected expected = Reference(text.c_str()).Run();

    // Exactly error_size + 1 bytes, so that ASan sees a write past them.
    const size_t buffer_size = error_size >= 0 ? static_cast<size_t>(error_size) + 1 : 1;
    std::unique_ptr<char[]> error(new char[buffer_size]);
    std::memset(error.get(), dirty ? 'x' : 0, buffer_size);
    error[buffer_size - 1] = '\0';

    IMAGE* image = IMAGE_Create();
    FUZZ_CHECK(image != nullptr, "no image");
    const int32_t result = SREC_Load(image, text.c_str(), error.get(), error_size);
    FUZZ_CHECK(result == expected.result, "result %d, reference %d (%s)", result, expected.result,
               expected.message.c_str());
    FUZZ_CHECK(image->lock_depth == 0 && image->lock_owner.load() == 0,
               "image still locked after the load");

    if (error_size >= 0) {
        const std::string& full = expected.message;
        const size_t size_limit = static_cast<size_t>(error_size);
        std::string want =
            full.size() > size_limit ? full.substr(0, size_limit > 0 ? size_limit - 1 : 0) : full;
        FUZZ_CHECK(std::strlen(error.get()) <= size_limit, "message longer than its size");
        FUZZ_CHECK(want == error.get(), "message \"%s\", reference \"%s\"", error.get(),
                   want.c_str());
    }
    CheckImage(image, expected.bytes);
    IMAGE_Free(image);
    return 0;
}
