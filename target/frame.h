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
constexpr uint8_t FRAME_REQUEST_ADDRESS = 0x00;

// Offsets into a frame, and so into a buffer that FRAME_Receive filled.
constexpr uint32_t FRAME_START_AT = 0;
constexpr uint32_t FRAME_LENGTH_AT = 1;
constexpr uint32_t FRAME_LENGTH_AGAIN_AT = 2;
constexpr uint32_t FRAME_SECOND_START_AT = 3;
constexpr uint32_t FRAME_CONTROL_AT = 4;
constexpr uint32_t FRAME_ADDRESS_AT = 5; // outside the checksum
constexpr uint32_t FRAME_COMMAND_AT = 6;
constexpr uint32_t FRAME_HEADER_SIZE = 7;
constexpr uint32_t FRAME_PAYLOAD_AT = FRAME_HEADER_SIZE;
// Checksum and end byte follow the payload: at FRAME_PAYLOAD_AT + L and one on.
constexpr uint32_t FRAME_TRAILER_SIZE = 2;
constexpr uint32_t FRAME_CHECKSUM_IN_TRAILER = 0;
constexpr uint32_t FRAME_END_IN_TRAILER = 1;
constexpr uint32_t FRAME_OVERHEAD = FRAME_HEADER_SIZE + FRAME_TRAILER_SIZE; // 9
constexpr uint32_t FRAME_MAX_SIZE = 255 + FRAME_OVERHEAD;                   // 264
// FRAME_ReceiveRest starts after the start byte, so its offsets are one less.
constexpr uint32_t FRAME_REST_SKIPPED = 1;
constexpr uint32_t FRAME_REST_HEADER_SIZE = FRAME_HEADER_SIZE - FRAME_REST_SKIPPED;
constexpr uint32_t FRAME_REST_LENGTH_AT = FRAME_LENGTH_AGAIN_AT - FRAME_REST_SKIPPED;

// What the receive and exchange operations return.
constexpr int32_t FRAME_OK = 0;
constexpr int32_t FRAME_FAILED = 1;

constexpr uint32_t FRAME_ACK_TIMEOUT_MS = 1000;
// Once a frame's header is in, the rest follows at once: a longest frame
// takes 23 ms at 115200 baud and 0.3 s at 9600, plus an adapter's latency.
// So the rest of a frame is waited for this long, whatever the caller's wait
// for the start (a minute for a clear's reply). A header's own six bytes
// after its start byte get one prompt wait (LINK_PromptWaitMs).
constexpr uint32_t FRAME_REST_TIMEOUT_MS = 1000;
// An acknowledge that came after noise counts only when the line stays quiet
// this long behind it: inside a burst more bytes follow within a few byte
// times, or one adapter's latency.
constexpr uint32_t FRAME_NOISY_ACK_QUIET_MS = 50;
// However long noise goes on, an acknowledge wait ends by this time.
constexpr uint32_t FRAME_ACK_WAIT_LIMIT_MS = 3000;
// A drain ends when the line has been quiet for the time it is given, after
// at most this many bytes or this long (and this many of its quiet times
// beyond it, for a slow link's long ones): a line that never falls quiet is
// left to the next exchange, which fails and drains again.
constexpr uint32_t FRAME_DRAIN_MAX_BYTES = 4096;
constexpr uint32_t FRAME_DRAIN_LIMIT_MS = 1000;
constexpr uint32_t FRAME_DRAIN_QUIETS = 2;
constexpr int FRAME_EXCHANGE_SENDS = 2;
constexpr int FRAME_EXCHANGE_RECEIVES = 2; // per send
constexpr int FRAME_COMMAND_SENDS = 3;
constexpr int FRAME_ACK_ATTEMPTS = 2;

void FRAME_Send(uint8_t length, const uint8_t* data, uint8_t command);
// FRAME_OK for a valid reply; header at buffer[0 .. FRAME_HEADER_SIZE - 1], payload from
// buffer[FRAME_PAYLOAD_AT]. Waits up to timeout_ms for a reply's start,
// skipping bytes that cannot begin one, noise or not; the rest of the frame
// gets FRAME_REST_TIMEOUT_MS.
int32_t FRAME_Receive(uint8_t* buffer, uint32_t timeout_ms, uint32_t* length_out);
// Takes the rest of a frame whose start byte was read: header bytes 1..6 at
// buffer[0..5], payload from buffer[FRAME_REST_HEADER_SIZE]. Nothing is validated.
void FRAME_ReceiveRest(uint8_t* buffer, uint32_t timeout_ms);
// FRAME_OK when the acknowledge came. Noise is skipped; a 0x90 counts only
// where it can be the acknowledge of the request sent last.
int32_t FRAME_ReadAck(uint8_t* byte_out);
// Sends and receives with the retries of the rules; each answered exchange
// tells the link its round trip (target/link.h).
int32_t FRAME_Exchange(uint8_t length, const uint8_t* data, uint8_t command, uint8_t* buffer,
                       uint32_t timeout_ms, uint32_t* length_out);
int32_t FRAME_Command(uint8_t length, const uint8_t* data, uint8_t command);
// Reads until the line has been quiet for quiet_ms; the number of bytes taken.
uint32_t FRAME_Drain(uint32_t quiet_ms);
