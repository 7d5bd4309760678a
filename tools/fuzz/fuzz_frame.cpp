// The frame layer over a line whose bytes are the fuzz input.
// Input: op selector, request length, request command, then the line.
// The chosen operation runs again and again until the line is used up; after
// each call the result, the bytes taken off the line, the length output, the
// frames sent and the receive buffer are compared with the plain model.
#include "check.h"
#include "frame_model.h"
#include "line.h"
#include "target/frame.h"

#include <cstring>
#include <memory>

namespace {

// The worker's reply buffers are 500 bytes; nothing may be written past the
// longest frame (264 bytes), and ASan watches the end of the allocation.
constexpr size_t BUFFER_SIZE = 500;
constexpr uint8_t FILL = 0xA5;
constexpr uint32_t NO_LENGTH = 0xDEADBEEF;
constexpr int MAX_CALLS = 200;

enum Op { RECEIVE, RECEIVE_REST, READ_ACK, EXCHANGE, COMMAND, OP_COUNT };

void CheckUntouchedTail(const uint8_t* buffer) {
    for (size_t i = FRAME_MAX_SIZE; i < BUFFER_SIZE; ++i) {
        FUZZ_CHECK(buffer[i] == FILL, "byte %zu of the reply buffer was written", i);
    }
}

void CheckSends(int sends, uint8_t length, const uint8_t* data, uint8_t command) {
    const auto& writes = fuzzline::Writes();
    FUZZ_CHECK(writes.size() == static_cast<size_t>(sends), "%zu requests sent, model %d",
               writes.size(), sends);
    const std::vector<uint8_t> expected = model::Request(length, data, command);
    for (const auto& w : writes) {
        FUZZ_CHECK(w == expected, "request frame differs from the model");
    }
    fuzzline::ClearWrites();
}

// A valid reply must be in the buffer exactly as it came off the line.
void CheckReply(const uint8_t* buffer, const model::Line& line, const model::Reply& reply) {
    const uint8_t* frame = line.At(reply.header_at);
    FUZZ_CHECK(std::memcmp(buffer, frame, FRAME_HEADER_SIZE + reply.length) == 0,
               "valid reply not left in the buffer as received");
    FUZZ_CHECK(buffer[0] == FRAME_START && buffer[1] == buffer[2] && buffer[4] == CTRL_REPLY,
               "accepted a bad header");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    const Op op = static_cast<Op>(data[0] % OP_COUNT);
    const bool want_length = (data[0] / OP_COUNT) % 2 == 0;
    const uint8_t request_length = data[1];
    const uint8_t command = data[2];
    uint8_t request[255];
    for (size_t i = 0; i < sizeof request; ++i) {
        request[i] = static_cast<uint8_t>(i * 37 + command);
    }

    // Bytes the frame layer held back from the last input belong to it.
    fuzzline::Feed(nullptr, 0);
    FRAME_Drain(1);
    fuzzline::Feed(data + 3, size - 3);
    model::Line line{data + 3, size - 3, 0};
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[BUFFER_SIZE]);
    std::memset(buffer.get(), 0, FRAME_MAX_SIZE);
    std::memset(buffer.get() + FRAME_MAX_SIZE, FILL, BUFFER_SIZE - FRAME_MAX_SIZE);

    for (int call = 0; call < MAX_CALLS; ++call) {
        uint32_t length = NO_LENGTH;
        uint32_t* length_out = want_length ? &length : nullptr;
        bool model_length_known = false;
        uint32_t model_length = 0;
        int32_t result = 0;
        int32_t expected = 0;
        switch (op) {
        case RECEIVE: {
            result = FRAME_Receive(buffer.get(), 50, length_out);
            model::Reply reply = model::Receive(line);
            expected = reply.result;
            model_length_known = reply.length_known;
            model_length = reply.length;
            if (result == 0 && expected == 0) {
                CheckReply(buffer.get(), line, reply);
            }
            break;
        }
        case RECEIVE_REST:
            FRAME_ReceiveRest(buffer.get(), 50);
            model::ReceiveRest(line);
            break;
        case READ_ACK: {
            uint8_t byte = 0x5A;
            uint8_t model_byte = 0x5A;
            bool read = false;
            result = FRAME_ReadAck(&byte);
            expected = model::ReadAck(line, &read, &model_byte);
            FUZZ_CHECK(byte == model_byte, "acknowledge output %02X, model %02X", byte, model_byte);
            FUZZ_CHECK(result != 0 || byte == FRAME_ACK, "success without the acknowledge");
            break;
        }
        case EXCHANGE: {
            int sends = 0;
            model::Reply reply;
            result = FRAME_Exchange(request_length, request, command, buffer.get(), 50, length_out);
            expected = model::Exchange(line, &sends, &reply, &model_length_known, &model_length);
            CheckSends(sends, request_length, request, command);
            if (result == 0 && expected == 0) {
                CheckReply(buffer.get(), line, reply);
            }
            break;
        }
        case COMMAND: {
            int sends = 0;
            result = FRAME_Command(request_length, request, command);
            expected = model::Command(line, &sends);
            CheckSends(sends, request_length, request, command);
            break;
        }
        default:
            return 0;
        }
        FUZZ_CHECK(result == 0 || result == 1, "result %d", result);
        FUZZ_CHECK(result == expected, "op %d: result %d, model %d", op, result, expected);
        FUZZ_CHECK(fuzzline::Position() == line.position, "op %d: %zu bytes taken, model %zu", op,
                   fuzzline::Position(), line.position);
        if (want_length && (op == RECEIVE || op == EXCHANGE)) {
            const uint32_t want = model_length_known ? model_length : NO_LENGTH;
            FUZZ_CHECK(length == want, "length output %u, model %u", length, want);
            FUZZ_CHECK(length == NO_LENGTH || length <= 255, "length %u", length);
        }
        CheckUntouchedTail(buffer.get());
        if (fuzzline::Left() == 0) {
            break;
        }
    }
    return 0;
}
