// The boot loader's vocabulary on the wire: command codes, how long each
// answer may take, and where the fields of each reply's payload sit.
#pragma once

#include <cstdint>

#include "target/le.h"

// Command codes; the job kinds carry the same numbers.
constexpr uint8_t CMD_IDENTIFY = 0;
constexpr uint8_t CMD_CLEAR = 1;
constexpr uint8_t CMD_PROGRAM = 2;
constexpr uint8_t CMD_MAKE_VALID = 3;
constexpr uint8_t CMD_BLANK_CHECK = 4;
constexpr uint8_t CMD_GET_CRC = 5;
constexpr uint8_t CMD_START_APP = 7;

// Identify time-out: 1,210,000 / baud ms (some 110 characters of 11 bits)
// plus a margin; a baud rate of 0 counts as the slowest, 1200.
constexpr uint32_t IDENTIFY_TIMEOUT_BAUD_MS = 1210000;
constexpr uint32_t IDENTIFY_TIMEOUT_MARGIN_MS = 40;
constexpr uint32_t IDENTIFY_SLOW_BAUD = 1200;

constexpr uint32_t TARGET_REPLY_BUFFER_SIZE = 500;
constexpr uint32_t CLEAR_REPLY_TIMEOUT_MS = 60000;
constexpr uint32_t BLANK_CHECK_REPLY_TIMEOUT_MS = 30000;
constexpr uint32_t GET_CRC_REPLY_TIMEOUT_MS = 30000;
constexpr uint8_t REPLY_ERASE = 4; // command code of the reply to a clear and to a blank check
constexpr uint8_t REPLY_CRC = 5;

// Payload layouts (offsets from the payload's first byte; numbers little-endian).
// A CRC range, in the identify reply and in a get-CRC request alike.
constexpr uint32_t CRC_RANGE_START_AT = 0;
constexpr uint32_t CRC_RANGE_LENGTH_AT = CRC_RANGE_START_AT + LE32_SIZE;
constexpr uint32_t CRC_RANGE_SIZE = CRC_RANGE_LENGTH_AT + LE32_SIZE;
// Identify reply: status, value, len1, text1, len2, text2, range 0, range 1
// (range 1 only in the long form).
constexpr uint32_t IDENTIFY_STATUS_AT = 0;
constexpr uint32_t IDENTIFY_VALUE_AT = 1;
constexpr uint32_t IDENTIFY_TEXT1_LENGTH_AT = IDENTIFY_VALUE_AT + LE32_SIZE;
constexpr uint32_t IDENTIFY_TEXT1_AT = IDENTIFY_TEXT1_LENGTH_AT + 1;
constexpr uint32_t IDENTIFY_TEXT_LENGTH_SIZE = 1; // len2 sits right after text1
constexpr uint8_t IDENTIFY_STATUS_OK = 0;
// Without the texts: status, value, both lengths and range 0 (15 bytes).
constexpr uint32_t IDENTIFY_FIXED_SIZE =
    IDENTIFY_TEXT1_AT + IDENTIFY_TEXT_LENGTH_SIZE + CRC_RANGE_SIZE;
static_assert(IDENTIFY_FIXED_SIZE == 15, "identify reply layout");
constexpr uint32_t IDENTIFY_LONG_EXTRA = CRC_RANGE_SIZE; // range 1
// Clear and blank-check reply: empty when blank, else the first byte that is not.
constexpr uint32_t ERASE_FAIL_ADDRESS_AT = 0;
constexpr uint32_t ERASE_FAIL_VALUE_AT = ERASE_FAIL_ADDRESS_AT + LE32_SIZE;
constexpr uint32_t ERASE_FAIL_SIZE = ERASE_FAIL_VALUE_AT + LE32_SIZE;
// Get-CRC reply: one unused byte, then the CRC-16.
constexpr uint32_t CRC_REPLY_VALUE_AT = 1;
constexpr uint32_t CRC_REPLY_SIZE = CRC_REPLY_VALUE_AT + LE16_SIZE;

// Identify time-out in ms for a baud rate (0 counts as IDENTIFY_SLOW_BAUD). On
// a slow link the wait grows beyond it (LINK_PromptWaitMs).
constexpr uint32_t TARGET_IdentifyTimeout(uint32_t baud_rate) {
    return IDENTIFY_TIMEOUT_BAUD_MS / (baud_rate == 0 ? IDENTIFY_SLOW_BAUD : baud_rate) +
           IDENTIFY_TIMEOUT_MARGIN_MS;
}
