// A second, deliberately plain reading of the frame rules, run over the same
// bytes as the real frame layer so that the fuzzers can compare results,
// bytes taken off the line and what was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace model {

struct Line {
    const uint8_t* data;
    size_t size;
    size_t position;

    // Like the serial stand-in: as many as are left, at most count.
    size_t Take(size_t count) {
        size_t n = count < size - position ? count : size - position;
        position += n;
        return n;
    }
    const uint8_t* At(size_t offset) const { return data + offset; }
};

struct Reply {
    int32_t result = 1;
    bool length_known = false; // the length output was written
    uint32_t length = 0;
    size_t header_at = 0; // line offset of the frame's first byte
    size_t payload_at = 0;
};

inline Reply Receive(Line& line) {
    Reply r;
    r.header_at = line.position;
    if (line.Take(7) < 7) {
        return r;
    }
    const uint8_t* h = line.At(r.header_at);
    if (h[0] != 0x68) {
        return r;
    }
    bool bad = h[4] != 0x80 || h[1] != h[2];
    r.length_known = true;
    r.length = h[1];
    uint32_t sum = h[4] + h[6];
    r.payload_at = line.position;
    if (r.length != 0) {
        if (line.Take(r.length) < r.length) {
            bad = true;
        } else {
            for (uint32_t i = 0; i < r.length; ++i) {
                sum += line.At(r.payload_at)[i];
            }
        }
    }
    size_t trailer_at = line.position;
    if (line.Take(2) < 2) {
        bad = true;
    } else if (line.At(trailer_at)[0] != (sum & 0xFF) || line.At(trailer_at)[1] != 0x16) {
        bad = true;
    }
    r.result = bad ? 1 : 0;
    return r;
}

inline void ReceiveRest(Line& line) {
    size_t at = line.position;
    if (line.Take(6) < 6) {
        return;
    }
    uint32_t length = line.At(at)[1];
    if (length != 0) {
        line.Take(length);
    }
    line.Take(2);
}

// byte_read: whether the output was written; byte: its last value.
inline int32_t ReadAck(Line& line, bool* byte_read, uint8_t* byte) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        size_t at = line.position;
        if (line.Take(1) < 1) {
            return 1;
        }
        *byte_read = true;
        *byte = line.At(at)[0];
        if (*byte == 0x90) {
            return 0;
        }
        ReceiveRest(line);
    }
    return 1;
}

inline std::vector<uint8_t> Request(uint8_t length, const uint8_t* data, uint8_t command) {
    std::vector<uint8_t> f = {0x68, length, length, 0x68, 0x00, 0x00, command};
    uint8_t sum = command;
    for (uint32_t i = 0; i < length; ++i) {
        f.push_back(data[i]);
        sum = static_cast<uint8_t>(sum + data[i]);
    }
    f.push_back(sum);
    f.push_back(0x16);
    return f;
}

// sends: how many requests went out. last: the reply of the last receive.
inline int32_t Exchange(Line& line, int* sends, Reply* last, bool* length_known, uint32_t* length) {
    for (int send = 0; send < 2; ++send) {
        ++*sends;
        for (int receive = 0; receive < 2; ++receive) {
            *last = Receive(line);
            if (last->length_known) {
                *length_known = true;
                *length = last->length;
            }
            if (last->result == 0) {
                return 0;
            }
        }
    }
    return 1;
}

inline int32_t Command(Line& line, int* sends) {
    for (int send = 0; send < 3; ++send) {
        ++*sends;
        bool read = false;
        uint8_t byte = 0;
        if (ReadAck(line, &read, &byte) == 0) {
            return 0;
        }
    }
    return 1;
}

inline uint32_t LE32(const uint8_t* b) {
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

} // namespace model
