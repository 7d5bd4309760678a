// Motorola S-record text into an IMAGE: strict about characters and checksums,
// lenient about record semantics (only S1, S2 and S3 data are stored).
#pragma once

#include <cstdint>

struct IMAGE;

constexpr int32_t SREC_ERROR = -5;
constexpr int32_t SREC_RECORD_BYTES = 256;

struct SREC_CONTEXT {
    int32_t line_count; // line ends passed so far
    int32_t position;   // index of the next character
    const char* text;
    uint8_t record_sum;
    char* error_text; // the caller's buffer; empty while no error is recorded
    int32_t error_size;
    IMAGE* image;
    // The recorded error, null while there is none. Kept apart from the
    // buffer, which a small error size can leave empty even after an error.
    const char* message;
};

// 0 when the whole text was read, SREC_ERROR with "Error in line %d: %s" in the
// buffer otherwise. The buffer must hold an empty string and error_size + 1 bytes.
int32_t SREC_Load(IMAGE* image, const char* text, char* error_text, int32_t error_size);

void SREC_ParseRecord(SREC_CONTEXT* ctx);
uint8_t SREC_ReadHexDigit(SREC_CONTEXT* ctx);
bool SREC_TestOverlap(IMAGE* image, uint32_t address, uint32_t length);
void SREC_SetError(SREC_CONTEXT* ctx, const char* text);
