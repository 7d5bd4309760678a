// CRC-16, polynomial 0x1021, register from 0xFFFF, in its direct shift-in form:
// the byte enters at the low end and the table is indexed by the high byte
// alone. abc gives 0xD278, 123456789 gives 0xA69D, the byte 0xFF gives 0xE10F.
#pragma once

#include <cstdint>

struct IMAGE;

extern const uint16_t CRC16_TABLE[256];

void CRC16_Init(uint16_t* reg);
// Runs the register over bytes[0] .. bytes[last_index] (always at least one byte).
void CRC16_Calc(uint16_t* reg, const uint8_t* bytes, uint32_t last_index);
// Runs the register over `count` bytes that all equal `value` (none for 0), in
// time that grows with the logarithm of the count, so that a hole as large as
// the address space costs no more than a short one.
void CRC16_Fill(uint16_t* reg, uint8_t value, uint64_t count);

// CRC over up to two ranges of an image, holes as 0xFF, range 1 continuing
// the stream of range 0; range 1 counts only when its length is not 0.
uint16_t IMAGE_CalcRangesCRC(IMAGE* image, const uint32_t start[2], const uint32_t length[2]);
