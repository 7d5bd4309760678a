// The carried firmware as NUL-terminated Motorola S-record text, generated at
// build time from the release's S-record file.
#pragma once

#include <cstddef>

extern const char FIRMWARE_SREC[];
extern const size_t FIRMWARE_SREC_SIZE; // characters before the NUL
