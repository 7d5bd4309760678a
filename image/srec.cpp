// One pass over the text, character by character, in place. A record's bytes
// are collected on the stack; nothing is allocated here.
#include "image/srec.h"

#include "image/image.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr char UNEXPECTED_CHARACTER[] = "Unexpected character";
constexpr char EXPECTED_HEX[] = "Expected Hex character : 0..9, A..F";
constexpr char CHECKSUM_ERROR[] = "Checksum error !";
constexpr char AREAS_OVERLAP[] = "Areas overlap";
constexpr char EXPECTED_LINE_END[] = "Expected CR or LF";
constexpr char RECORD_TOO_SHORT[] = "Record too short";
constexpr char ADDRESS_OUT_OF_RANGE[] = "Address out of range";
constexpr char IMAGE_LOCKED[] = "Image locked";
constexpr char OUT_OF_MEMORY[] = "Out of memory";

constexpr char END_OF_TEXT = '\x1A';

char Current(const SREC_CONTEXT* ctx) {
    return ctx->text[ctx->position];
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

bool IsTextEnd(char c) {
    return c == '\0' || c == END_OF_TEXT;
}

bool HasError(const SREC_CONTEXT* ctx) {
    return ctx->message != nullptr;
}

void Fail(SREC_CONTEXT* ctx, const char* message) {
    ctx->message = message;
    SREC_SetError(ctx, message);
}

uint8_t ReadHexByte(SREC_CONTEXT* ctx) {
    uint8_t high = SREC_ReadHexDigit(ctx);
    uint8_t low = SREC_ReadHexDigit(ctx);
    return static_cast<uint8_t>(high << 4 | low);
}

// Address bytes of the data record types 1, 2 and 3; 0 for the others.
int32_t AddressBytes(int32_t type) {
    return type >= 1 && type <= 3 ? type + 1 : 0;
}

void StoreData(SREC_CONTEXT* ctx, const uint8_t* bytes, int32_t count, int32_t address_bytes) {
    // Address, at least one data byte and the checksum.
    if (count < address_bytes + 2) {
        Fail(ctx, RECORD_TOO_SHORT);
        return;
    }
    uint32_t address = 0;
    for (int32_t i = 0; i < address_bytes; ++i) {
        address = address << 8 | bytes[i];
    }
    const uint32_t length = static_cast<uint32_t>(count - address_bytes - 1);
    // The image cannot hold the top address (its ends are 32-bit).
    if (static_cast<uint64_t>(address) + length > IMAGE_ADDRESS_LIMIT) {
        Fail(ctx, ADDRESS_OUT_OF_RANGE);
        return;
    }
    // The test and the addition under one lock, so that a refused addition can
    // only mean memory; inside the load's own lock this costs nothing.
    IMAGE_LOCK_SCOPE lock(ctx->image);
    if (lock.TimedOut()) {
        Fail(ctx, IMAGE_LOCKED);
        return;
    }
    if (SREC_TestOverlap(ctx->image, address, length)) {
        Fail(ctx, AREAS_OVERLAP);
    } else if (IMAGE_AddData(ctx->image, address, length, bytes + address_bytes) != IMAGE_ADDED) {
        Fail(ctx, OUT_OF_MEMORY);
    }
}

int32_t RunLines(SREC_CONTEXT* ctx) {
    for (;;) {
        if (IsTextEnd(Current(ctx))) {
            return 0;
        }
        SREC_ParseRecord(ctx);
        if (!HasError(ctx)) {
            char c = Current(ctx);
            if (IsLineEnd(c)) {
                ctx->line_count++;
                ctx->position++;
                if (IsLineEnd(Current(ctx))) {
                    ctx->position++;
                }
            } else if (!IsTextEnd(c)) {
                Fail(ctx, EXPECTED_LINE_END);
            }
        }
        if (HasError(ctx)) {
            char line[128];
            std::snprintf(line, sizeof line, "Error in line %d: %s", ctx->line_count + 1,
                          ctx->message);
            SREC_SetError(ctx, line);
            return SREC_ERROR;
        }
    }
}

} // namespace

int32_t SREC_Load(IMAGE* image, const char* text, char* error_text, int32_t error_size) {
    SREC_CONTEXT ctx = {};
    ctx.text = text;
    ctx.error_text = error_text;
    ctx.error_size = error_size;
    ctx.image = image;
    // The buffer is output only: a stale text left in it must not fail a good load.
    SREC_SetError(&ctx, "");
    IMAGE_LOCK_SCOPE lock(image);
    return RunLines(&ctx);
}

void SREC_ParseRecord(SREC_CONTEXT* ctx) {
    uint8_t bytes[SREC_RECORD_BYTES];
    ctx->record_sum = 0;
    if (Current(ctx) != 'S') {
        Fail(ctx, UNEXPECTED_CHARACTER);
        return;
    }
    ctx->position++;
    const auto type_char = static_cast<unsigned char>(Current(ctx));
    if (type_char < 0x20 || type_char > 0x7F) {
        Fail(ctx, UNEXPECTED_CHARACTER);
        return;
    }
    ctx->position++;
    const int32_t type = type_char - '0';
    const uint8_t count = ReadHexByte(ctx);
    ctx->record_sum = static_cast<uint8_t>(ctx->record_sum + count);
    for (int32_t i = 0; i < count && !HasError(ctx); ++i) {
        bytes[i] = ReadHexByte(ctx);
        ctx->record_sum = static_cast<uint8_t>(ctx->record_sum + bytes[i]);
    }
    if (HasError(ctx)) {
        return;
    }
    if (count != 0 && ctx->record_sum != 0xFF) {
        Fail(ctx, CHECKSUM_ERROR);
        return;
    }
    const int32_t address_bytes = AddressBytes(type);
    if (address_bytes > 0) {
        StoreData(ctx, bytes, count, address_bytes);
    }
}

uint8_t SREC_ReadHexDigit(SREC_CONTEXT* ctx) {
    if (HasError(ctx)) {
        return 0;
    }
    const char c = Current(ctx);
    uint8_t value = 0;
    if (c >= '0' && c <= '9') {
        value = static_cast<uint8_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
        value = static_cast<uint8_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
        value = static_cast<uint8_t>(c - 'a' + 10);
    } else {
        Fail(ctx, EXPECTED_HEX);
        return 0;
    }
    ctx->position++;
    return value;
}

bool SREC_TestOverlap(IMAGE* image, uint32_t address, uint32_t length) {
    if (length == 0) {
        return false;
    }
    // No area holds the top address, so a range that runs past it overlaps
    // exactly what its part below does.
    const uint64_t end = static_cast<uint64_t>(address) + length - 1;
    const auto last = static_cast<uint32_t>(end < IMAGE_ADDRESS_LIMIT ? end : IMAGE_ADDRESS_LIMIT);
    IMAGE_LOCK_SCOPE lock(image);
    if (lock.TimedOut()) {
        return false; // a caller that must tell takes the lock first, as the loader does
    }
    uint32_t first = 0;
    uint32_t count = 0;
    IMAGE_FindRun(image, address, last, &first, &count);
    return count != 0;
}

void SREC_SetError(SREC_CONTEXT* ctx, const char* text) {
    if (ctx->error_text == nullptr || ctx->error_size < 0) {
        return;
    }
    const size_t size = static_cast<size_t>(ctx->error_size);
    const size_t length = std::strlen(text);
    if (length > size) {
        const size_t kept = size > 0 ? size - 1 : 0;
        std::memcpy(ctx->error_text, text, kept);
        ctx->error_text[kept] = '\0';
    } else {
        std::memcpy(ctx->error_text, text, length + 1);
    }
}
