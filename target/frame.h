// The link layer to the boot loader: request frames out, reply frames and the
// one-byte acknowledge in, with the retry rules of each exchange.
//   0x68 L L 0x68 control address command data[L] checksum 0x16
#pragma once

#include <cstdint>

constexpr uint8_t FRAME_START = 0x68;
constexpr uint8_t FRAME_END = 0x16;
constexpr uint8_t FRAME_ACK = 0x90;
constexpr uint8_t CTRL_REQUEST = 0x00;
constexpr uint8_t CTRL_REPLY = 0x80;
constexpr uint32_t FRAME_OVERHEAD = 9;
constexpr uint32_t FRAME_MAX_SIZE = 255 + FRAME_OVERHEAD; // 264
constexpr uint32_t FRAME_HEADER_SIZE = 7;
constexpr uint32_t FRAME_ACK_TIMEOUT_MS = 1000;
constexpr int FRAME_EXCHANGE_SENDS = 2;
constexpr int FRAME_EXCHANGE_RECEIVES = 2; // per send
constexpr int FRAME_COMMAND_SENDS = 3;
constexpr int FRAME_ACK_ATTEMPTS = 2;

void FRAME_Send(uint8_t length, const uint8_t* data, uint8_t command);
// 0 valid reply; header at buffer[0..6], payload from buffer[7].
int32_t FRAME_Receive(uint8_t* buffer, uint32_t timeout_ms, uint32_t* length_out);
// Takes the rest of a frame whose start byte was read: header bytes 1..6 at
// buffer[0..5], payload from buffer[6]. Nothing is validated.
void FRAME_ReceiveRest(uint8_t* buffer, uint32_t timeout_ms);
int32_t FRAME_ReadAck(uint8_t* byte_out);
int32_t FRAME_Exchange(uint8_t length, const uint8_t* data, uint8_t command, uint8_t* buffer,
                       uint32_t timeout_ms, uint32_t* length_out);
int32_t FRAME_Command(uint8_t length, const uint8_t* data, uint8_t command);
