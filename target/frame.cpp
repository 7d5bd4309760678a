// The link layer: request frames out, reply frames and the acknowledge in.
// Nothing is kept between calls; a failed receive leaves the line where it
// stopped and the next read goes on from there.
#include "target/frame.h"

#include "com/com.h"

#include <cstring>

void FRAME_Send(uint8_t length, const uint8_t* data, uint8_t command) {
    uint8_t frame[FRAME_MAX_SIZE];
    frame[FRAME_START_AT] = FRAME_START;
    frame[FRAME_LENGTH_AT] = length;
    frame[FRAME_LENGTH_AGAIN_AT] = length;
    frame[FRAME_SECOND_START_AT] = FRAME_START;
    frame[FRAME_CONTROL_AT] = CTRL_REQUEST;
    frame[FRAME_ADDRESS_AT] = FRAME_REQUEST_ADDRESS;
    frame[FRAME_COMMAND_AT] = command;
    uint8_t sum = static_cast<uint8_t>(CTRL_REQUEST + command);
    for (uint32_t i = 0; i < length; ++i) {
        frame[FRAME_PAYLOAD_AT + i] = data[i];
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    uint8_t* trailer = frame + FRAME_PAYLOAD_AT + length;
    trailer[FRAME_CHECKSUM_IN_TRAILER] = sum;
    trailer[FRAME_END_IN_TRAILER] = FRAME_END;
    COM_Write(frame, length + FRAME_OVERHEAD);
}

int32_t FRAME_Receive(uint8_t* buffer, uint32_t timeout_ms, uint32_t* length_out) {
    if (COM_Read(buffer, FRAME_HEADER_SIZE, timeout_ms) < FRAME_HEADER_SIZE) {
        return 1;
    }
    if (buffer[FRAME_START_AT] != FRAME_START) {
        return 1;
    }
    // From here on a fault only marks the frame: it is still read to its end,
    // as far as its first length byte says, so that the line stays in step.
    bool bad = buffer[FRAME_CONTROL_AT] != CTRL_REPLY ||
               buffer[FRAME_LENGTH_AT] != buffer[FRAME_LENGTH_AGAIN_AT];
    const uint32_t length = buffer[FRAME_LENGTH_AT];
    if (length_out != nullptr) {
        *length_out = length;
    }
    uint8_t sum = static_cast<uint8_t>(buffer[FRAME_CONTROL_AT] + buffer[FRAME_COMMAND_AT]);
    if (length != 0) {
        if (COM_Read(buffer + FRAME_PAYLOAD_AT, length, timeout_ms) < length) {
            bad = true;
        }
        for (uint32_t i = 0; i < length; ++i) {
            sum = static_cast<uint8_t>(sum + buffer[FRAME_PAYLOAD_AT + i]);
        }
    }
    // The trailer goes right after the payload: at most offsets 262 and 263.
    uint8_t* trailer = buffer + FRAME_PAYLOAD_AT + length;
    if (COM_Read(trailer, FRAME_TRAILER_SIZE, timeout_ms) < FRAME_TRAILER_SIZE) {
        bad = true;
    } else if (trailer[FRAME_CHECKSUM_IN_TRAILER] != sum ||
               trailer[FRAME_END_IN_TRAILER] != FRAME_END) {
        bad = true;
    }
    return bad ? 1 : 0;
}

void FRAME_ReceiveRest(uint8_t* buffer, uint32_t timeout_ms) {
    if (COM_Read(buffer, FRAME_REST_HEADER_SIZE, timeout_ms) < FRAME_REST_HEADER_SIZE) {
        return;
    }
    const uint32_t length = buffer[FRAME_REST_LENGTH_AT];
    if (length != 0) {
        COM_Read(buffer + FRAME_REST_HEADER_SIZE, length, timeout_ms);
    }
    COM_Read(buffer + FRAME_REST_HEADER_SIZE + length, FRAME_TRAILER_SIZE, timeout_ms);
}

int32_t FRAME_ReadAck(uint8_t* byte_out) {
    uint8_t scratch[FRAME_MAX_SIZE];
    for (int attempt = 0; attempt < FRAME_ACK_ATTEMPTS; ++attempt) {
        uint8_t byte = 0;
        if (COM_Read(&byte, 1, FRAME_ACK_TIMEOUT_MS) < 1) {
            return 1; // the output keeps what it held
        }
        *byte_out = byte;
        if (byte == FRAME_ACK) {
            return 0;
        }
        // Anything else starts a frame (a reply or a refusal): take it off
        // the line so that an acknowledge behind it can still be seen.
        std::memset(scratch, 0, sizeof scratch);
        FRAME_ReceiveRest(scratch, FRAME_ACK_TIMEOUT_MS);
    }
    return 1;
}

int32_t FRAME_Exchange(uint8_t length, const uint8_t* data, uint8_t command, uint8_t* buffer,
                       uint32_t timeout_ms, uint32_t* length_out) {
    for (int send = 0; send < FRAME_EXCHANGE_SENDS; ++send) {
        FRAME_Send(length, data, command);
        for (int receive = 0; receive < FRAME_EXCHANGE_RECEIVES; ++receive) {
            if (FRAME_Receive(buffer, timeout_ms, length_out) == 0) {
                return 0;
            }
        }
    }
    return 1;
}

int32_t FRAME_Command(uint8_t length, const uint8_t* data, uint8_t command) {
    for (int send = 0; send < FRAME_COMMAND_SENDS; ++send) {
        FRAME_Send(length, data, command);
        uint8_t byte = 0;
        if (FRAME_ReadAck(&byte) == 0) {
            return 0;
        }
    }
    return 1;
}
