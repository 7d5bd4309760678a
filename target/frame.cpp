// The link layer: request frames out, reply frames and the acknowledge in.
//
// The line is not clean: a boot loader coming out of reset puts a glitch
// byte or a banner on it, and a reply can be cut by noise. So every receive
// can fall back into step by itself:
// - A reply's start is hunted for: bytes that cannot begin a frame are noise
//   and are skipped, until the caller's own deadline (a clear's reply comes
//   after an erase of seconds, with the line quiet meanwhile).
// - A header that cannot be a reply's (control byte not 0x80, or the two
//   length bytes unequal) was a stray 0x68; the hunt goes on from the byte
//   after it, so a reply right behind the stray byte is still found. The six
//   bytes after a 0x68 follow it at once: they are waited for one prompt
//   wait (the identify time-out on this link), not a second.
// - Once a plausible header is in, the rest of the frame is read to its end
//   (by the length byte) within FRAME_REST_TIMEOUT_MS, not the caller's long
//   wait; a fault in it fails the receive, as the rules say.
// - The acknowledge wait skips bytes that can start neither an acknowledge
//   nor a frame. On a line that keeps to its baud rate, a 0x90 that arrives
//   before the request could have crossed the line, with more bytes behind
//   it, is noise too (a banner as the target resets, taking the request
//   with it); alone, it shows the line is faster than its rate after all.
// - An exchange that failed after taking bytes drains the line until it is
//   quiet, so that the replies it missed are not read by the next one.
// The bytes a hunt took but gave back (the rest of a header that was not
// one) are held here for the next read, by whichever operation comes next:
// a stray 0x68 ahead of an acknowledge may have taken the start of the reply
// behind it. Time is the serial layer's clock. Only the worker thread uses
// this layer.
#include "target/frame.h"

#include "com/com.h"
#include "target/link.h"

#include <cstring>

namespace {

constexpr uint64_t US_PER_MS = 1000;

uint64_t Deadline(uint32_t ms) {
    return COM_Micros() + ms * US_PER_MS;
}

uint32_t MillisLeft(uint64_t deadline_us) {
    // Rounded up, so that a first read gets the caller's whole time-out.
    const uint64_t now = COM_Micros();
    return now >= deadline_us ? 0 : static_cast<uint32_t>((deadline_us - now + 999) / US_PER_MS);
}

// The line as the operations see it: the bytes held back, then the port.
// Worker thread only.
struct LINE {
    uint8_t held[FRAME_HEADER_SIZE];
    uint32_t held_count;
    uint32_t taken; // from the port, in all
    // A header was cut short and no byte has come since: the line has been
    // quiet for a header's wait, so the bytes held back are looked at again
    // without waiting for it twice. A byte from the port ends it.
    bool quiet;
    // The request sent last: when it was handed to the port, and its length.
    uint64_t sent_us;
    uint32_t sent_bytes;
};
LINE g_line = {};

// A new operation: what is held stays, the quiet seen by the last one does not.
void BeginOperation() {
    g_line.quiet = false;
}

// Up to count bytes: the held ones first, then the port within timeout_ms.
uint32_t Take(uint8_t* out, uint32_t count, uint32_t timeout_ms) {
    uint32_t got = g_line.held_count < count ? g_line.held_count : count;
    std::memcpy(out, g_line.held, got);
    g_line.held_count -= got;
    std::memmove(g_line.held, g_line.held + got, g_line.held_count);
    if (got < count && timeout_ms != 0) {
        const uint32_t read = COM_Read(out + got, count - got, timeout_ms);
        g_line.taken += read;
        g_line.quiet = g_line.quiet && read == 0;
        got += read;
    }
    return got;
}

// Puts bytes back ahead of what is still held. Only a header or its rest,
// taken right after the held bytes ran out, is ever given back, so it fits.
void GiveBack(const uint8_t* bytes, uint32_t count) {
    std::memmove(g_line.held + count, g_line.held, g_line.held_count);
    std::memcpy(g_line.held, bytes, count);
    g_line.held_count += count;
}

// A reply's header: control 0x80 and the length given twice.
bool PlausibleHeader(const uint8_t* header) {
    return header[FRAME_CONTROL_AT] == CTRL_REPLY &&
           header[FRAME_LENGTH_AT] == header[FRAME_LENGTH_AGAIN_AT];
}

// The six bytes after a start byte, into header[1..6]; true for a plausible
// header. Anything else gives them back to the hunt.
bool GatherHeader(uint8_t* header) {
    header[FRAME_START_AT] = FRAME_START;
    const uint32_t got = Take(header + FRAME_REST_SKIPPED, FRAME_REST_HEADER_SIZE,
                              g_line.quiet ? 0 : LINK_PromptWaitMs());
    if (got == FRAME_REST_HEADER_SIZE && PlausibleHeader(header)) {
        return true;
    }
    GiveBack(header + FRAME_REST_SKIPPED, got);
    if (got < FRAME_REST_HEADER_SIZE) {
        g_line.quiet = true;
    }
    return false;
}

// Whether a reply's header comes next; its bytes stay held for the receive
// that reads it.
bool ReplyComesNext() {
    uint8_t header[FRAME_HEADER_SIZE];
    const uint32_t got = Take(header, FRAME_HEADER_SIZE, LINK_PromptWaitMs());
    GiveBack(header, got);
    return got == FRAME_HEADER_SIZE && header[FRAME_START_AT] == FRAME_START &&
           PlausibleHeader(header);
}

// What follows a 0x90 within the quiet time an acknowledge has behind it:
// nothing, a reply's header (a command that has a reply), another 0x90, or
// other bytes. Whatever it is stays held.
enum class BEHIND { QUIET, REPLY, ACK, NOISE };

BEHIND WhatFollows() {
    uint8_t next = 0;
    if (Take(&next, 1, FRAME_NOISY_ACK_QUIET_MS) < 1) {
        return BEHIND::QUIET;
    }
    GiveBack(&next, 1);
    if (next == FRAME_ACK) {
        return BEHIND::ACK;
    }
    return next == FRAME_START && ReplyComesNext() ? BEHIND::REPLY : BEHIND::NOISE;
}

// What a 0x90 in an acknowledge wait is.
enum class ACK_BYTE { ACKNOWLEDGE, NOISE, A_REQUEST_BEHIND };

// On a clean line a 0x90 is the acknowledge at once. After noise it may be
// one of the noise's bytes (a banner as the target resets, with the request
// lost): a real acknowledge is followed by silence, or by the reply of a
// command that has one; noise goes on with other bytes, and a second 0x90
// means two acknowledges for one request, a link a request behind. One that
// came too soon to answer the request (early) is a banner's when more noise
// follows; alone, or with a reply behind it, it answered, and the line is
// faster than its rate.
ACK_BYTE JudgeAckByte(bool after_noise, bool early) {
    if (!after_noise && !early) {
        return ACK_BYTE::ACKNOWLEDGE;
    }
    const BEHIND behind = WhatFollows();
    if (early) {
        if (behind == BEHIND::QUIET || behind == BEHIND::REPLY) {
            LINK_NoteEarlyAnswer();
            return ACK_BYTE::ACKNOWLEDGE;
        }
        return ACK_BYTE::NOISE;
    }
    if (behind == BEHIND::ACK) {
        return ACK_BYTE::A_REQUEST_BEHIND;
    }
    return behind == BEHIND::NOISE ? ACK_BYTE::NOISE : ACK_BYTE::ACKNOWLEDGE;
}

// Payload and trailer of a frame whose header is in; false when they did not
// all come. The trailer lands right behind the payload.
bool TakeRest(uint8_t* payload, uint32_t length) {
    const uint32_t count = length + FRAME_TRAILER_SIZE;
    return Take(payload, count, FRAME_REST_TIMEOUT_MS) == count;
}

// Hunts for a plausible reply header within timeout_ms, into buffer[0..6].
// Noise does not shorten the wait: a reply that follows a long erase or CRC
// comes after seconds of quiet, noise or none ahead of it.
bool HuntHeader(uint8_t* buffer, uint32_t timeout_ms) {
    const uint64_t deadline = Deadline(timeout_ms);
    // Bytes held back may start a frame whose rest comes after the deadline;
    // noise that never stops must still end the hunt.
    const uint64_t hard_stop = deadline + FRAME_REST_TIMEOUT_MS * US_PER_MS;
    for (;;) {
        if (COM_Micros() >= hard_stop) {
            return false;
        }
        const uint32_t wait = MillisLeft(deadline);
        if (g_line.held_count == 0 && wait == 0) {
            return false;
        }
        uint8_t byte = 0;
        if (Take(&byte, 1, wait) < 1) {
            return false;
        }
        if (byte == FRAME_START && GatherHeader(buffer)) {
            return true;
        }
        // Anything else was noise, or a stray start byte.
    }
}

// An exchange answered by the reply in buffer. Where nothing but the reply
// came, the link was slow: the round trip is timed from the first send,
// since the reply may answer it. After noise it was a retry that was
// answered, and the time from the last send is the round trip.
void NoteRoundTrip(const uint8_t* buffer, uint32_t taken_before, uint64_t first_sent_us) {
    const uint32_t reply_bytes = buffer[FRAME_LENGTH_AT] + FRAME_OVERHEAD;
    const bool only_the_reply = g_line.taken - taken_before == reply_bytes;
    const uint64_t from_us = only_the_reply ? first_sent_us : g_line.sent_us;
    LINK_NoteRoundTrip(g_line.sent_bytes + reply_bytes, COM_Micros() - from_us);
}

int32_t ReceiveOnLine(uint8_t* buffer, uint32_t timeout_ms, uint32_t* length_out) {
    if (!HuntHeader(buffer, timeout_ms)) {
        return FRAME_FAILED;
    }
    const uint32_t length = buffer[FRAME_LENGTH_AT];
    if (length_out != nullptr) {
        *length_out = length;
    }
    if (!TakeRest(buffer + FRAME_PAYLOAD_AT, length)) {
        return FRAME_FAILED;
    }
    uint8_t sum = static_cast<uint8_t>(buffer[FRAME_CONTROL_AT] + buffer[FRAME_COMMAND_AT]);
    for (uint32_t i = 0; i < length; ++i) {
        sum = static_cast<uint8_t>(sum + buffer[FRAME_PAYLOAD_AT + i]);
    }
    // The trailer goes right after the payload: at most offsets 262 and 263.
    const uint8_t* trailer = buffer + FRAME_PAYLOAD_AT + length;
    return trailer[FRAME_CHECKSUM_IN_TRAILER] == sum && trailer[FRAME_END_IN_TRAILER] == FRAME_END
               ? FRAME_OK
               : FRAME_FAILED;
}

} // namespace

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
    g_line.sent_bytes = length + FRAME_OVERHEAD;
    g_line.sent_us = COM_Micros();
    COM_Write(frame, g_line.sent_bytes);
}

int32_t FRAME_Receive(uint8_t* buffer, uint32_t timeout_ms, uint32_t* length_out) {
    BeginOperation();
    return ReceiveOnLine(buffer, timeout_ms, length_out);
}

void FRAME_ReceiveRest(uint8_t* buffer, uint32_t timeout_ms) {
    BeginOperation();
    if (Take(buffer, FRAME_REST_HEADER_SIZE, timeout_ms) < FRAME_REST_HEADER_SIZE) {
        return;
    }
    const uint32_t length = buffer[FRAME_REST_LENGTH_AT];
    Take(buffer + FRAME_REST_HEADER_SIZE, length + FRAME_TRAILER_SIZE, timeout_ms);
}

int32_t FRAME_ReadAck(uint8_t* byte_out) {
    BeginOperation();
    const uint64_t deadline = Deadline(FRAME_ACK_WAIT_LIMIT_MS);
    // Where the line keeps to its rate, the acknowledge comes only once the
    // request is across it.
    const uint64_t earliest_us = g_line.sent_us + LINK_EarliestAnswerUs(g_line.sent_bytes);
    const bool timed = earliest_us != g_line.sent_us;
    uint8_t frame[FRAME_MAX_SIZE];
    int frames = 0;
    bool noisy = false; // this wait has skipped bytes that were no frame
    for (;;) {
        uint8_t byte = 0;
        if (Take(&byte, 1, FRAME_ACK_TIMEOUT_MS) < 1) {
            return FRAME_FAILED; // the output keeps what it held
        }
        *byte_out = byte;
        if (byte == FRAME_ACK) {
            const bool early = timed && COM_Micros() < earliest_us;
            const ACK_BYTE verdict = JudgeAckByte(noisy, early);
            if (verdict == ACK_BYTE::NOISE) {
                noisy = true;
                continue;
            }
            return verdict == ACK_BYTE::ACKNOWLEDGE ? FRAME_OK : FRAME_FAILED;
        }
        if (COM_Micros() >= deadline) {
            return FRAME_FAILED;
        }
        if (byte != FRAME_START) {
            noisy = true; // it can start neither an acknowledge nor a frame
            continue;
        }
        // A frame (a reply or a refusal) is taken off the line so that an
        // acknowledge behind it can still be seen; a stray 0x68 is not.
        std::memset(frame, 0, sizeof frame);
        if (!GatherHeader(frame)) {
            noisy = true;
            continue;
        }
        TakeRest(frame + FRAME_PAYLOAD_AT, frame[FRAME_LENGTH_AT]);
        if (++frames == FRAME_ACK_ATTEMPTS) {
            return FRAME_FAILED;
        }
    }
}

int32_t FRAME_Exchange(uint8_t length, const uint8_t* data, uint8_t command, uint8_t* buffer,
                       uint32_t timeout_ms, uint32_t* length_out) {
    BeginOperation();
    const uint32_t taken_before = g_line.taken;
    uint64_t first_sent_us = 0;
    for (int send = 0; send < FRAME_EXCHANGE_SENDS; ++send) {
        FRAME_Send(length, data, command);
        first_sent_us = send == 0 ? g_line.sent_us : first_sent_us;
        // The second receive after a send reads on from where the failed one
        // stopped.
        for (int receive = 0; receive < FRAME_EXCHANGE_RECEIVES; ++receive) {
            if (ReceiveOnLine(buffer, timeout_ms, length_out) == FRAME_OK) {
                NoteRoundTrip(buffer, taken_before, first_sent_us);
                // Sent twice, answered once: the other answer may still be
                // on its way (a slow link), and must not pass for the next
                // exchange's.
                if (send > 0) {
                    FRAME_Drain(LINK_PromptWaitMs());
                }
                return FRAME_OK;
            }
        }
    }
    // What came was noise or replies out of step; the next exchange must not
    // start on their remains.
    if (g_line.taken != taken_before) {
        FRAME_Drain(timeout_ms);
    }
    return FRAME_FAILED;
}

int32_t FRAME_Command(uint8_t length, const uint8_t* data, uint8_t command) {
    for (int send = 0; send < FRAME_COMMAND_SENDS; ++send) {
        FRAME_Send(length, data, command);
        uint8_t byte = 0;
        if (FRAME_ReadAck(&byte) == FRAME_OK) {
            return FRAME_OK;
        }
    }
    return FRAME_FAILED;
}

uint32_t FRAME_Drain(uint32_t quiet_ms) {
    const uint64_t deadline = Deadline(FRAME_DRAIN_LIMIT_MS + FRAME_DRAIN_QUIETS * quiet_ms);
    uint32_t taken = g_line.held_count;
    g_line.held_count = 0;
    uint8_t scratch[FRAME_MAX_SIZE];
    for (;;) {
        const uint32_t got = COM_Read(scratch, sizeof scratch, quiet_ms);
        g_line.taken += got;
        taken += got;
        if (got == 0 || taken >= FRAME_DRAIN_MAX_BYTES || COM_Micros() >= deadline) {
            return taken;
        }
    }
}
