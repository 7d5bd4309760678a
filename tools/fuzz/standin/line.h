// The fuzzers' side of the serial stand-in: the bytes that the "target" sends
// (COM_Read hands them out in order, fewer when they run out, as a read whose
// time-out ended would) and a log of the frames written to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzline {

void Feed(const uint8_t* data, size_t size);
size_t Position(); // bytes taken off the line so far
size_t Left();
void SetBaudRate(uint32_t baud_rate);

// Every COM_Write since the last ClearWrites, in order.
const std::vector<std::vector<uint8_t>>& Writes();
void ClearWrites();

// Notifications posted through UI_PostCommand since the last ClearPosts.
const std::vector<uint32_t>& Posts();
void ClearPosts();

} // namespace fuzzline
