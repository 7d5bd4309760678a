// The programming job: walks the image from its first held address and sends
// it stop-and-wait in blocks of at most 236 data bytes whose base address is a
// multiple of 4, absent addresses inside a block going out as 0xFF.
#pragma once

#include <cstdint>

constexpr uint32_t PROGRAM_BLOCK_SIZE = 240;
constexpr uint32_t PROGRAM_WINDOW = 236; // data bytes one request carries at most
constexpr uint32_t PROGRAM_ALIGN = 4;
constexpr uint32_t PROGRAM_PROGRESS_STEP = 129;
constexpr uint32_t PROGRAM_ERROR_FRAME_TIMEOUT_MS = 1000;

struct PROGRAM_BLOCK {
    uint8_t data[PROGRAM_BLOCK_SIZE];
    uint32_t base;          // target address of data[0]; a multiple of 4
    uint32_t last_position; // position of the byte written last
    uint32_t pending;       // bytes not yet acknowledged by the target
};

extern PROGRAM_BLOCK PROGRAM_Block;

void TARGET_Program();
// 0 stored, 1 a block send failed.
int32_t TARGET_AddProgramByte(uint8_t* reply, uint32_t address, uint8_t value);
// 0 sent and acknowledged, 1 failed or nothing pending.
int32_t TARGET_FlushProgramBlock(uint8_t* reply);
