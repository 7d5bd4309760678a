// What the target reported in its identify reply, shared between the worker,
// which fills it, and the user-interface thread, which takes copies.
#pragma once

#include <cstdint>

constexpr int32_t TARGET_TEXT_SIZE = 100;
// last_crc when no CRC is known (none asked for, or the target lost since).
constexpr int32_t TARGET_NO_CRC = -1;
// CRC ranges in an identify reply: range 1 only where its length is not 0.
constexpr int TARGET_CRC_RANGES = 2;

struct TARGET_INFO {
    uint8_t reply_command;
    uint8_t status;
    uint32_t target_value;
    uint8_t text1_len;
    uint8_t text2_len;
    uint8_t text1[TARGET_TEXT_SIZE]; // not terminated
    uint8_t text2[TARGET_TEXT_SIZE]; // the target's identification text, not terminated
    uint32_t crc_start[TARGET_CRC_RANGES];
    uint32_t crc_length[TARGET_CRC_RANGES];
    uint8_t connected;
    uint8_t status_nonzero;
    int32_t last_crc; // CRC-16 in the low 16 bits, or TARGET_NO_CRC
};

// A consistent copy while connected, otherwise all zeros.
void TARGET_GetInfo(TARGET_INFO* out);

// The worker's side: every change goes through these so that a copy never
// sees a record half rewritten.
void TARGET_ReadInfo(TARGET_INFO* out); // raw copy, whatever `connected` says
void TARGET_WriteInfo(const TARGET_INFO* info);
bool TARGET_IsConnected();
int32_t TARGET_GetLastCRC();
void TARGET_SetLastCRC(int32_t crc);
void TARGET_ClearInfo();
