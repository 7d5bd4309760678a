// A second, deliberately plain reading of the frame rules, run over the same
// bytes as the real frame layer so that the fuzzers can compare results,
// bytes taken off the line and what was sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace model {

// The line as the serial stand-in gives it: every read returns at once with
// as many bytes as are left, so a wait only ends where the line does.
// position: bytes taken off the line (what the frame layer read from the
// port); next: the first byte not yet looked at. Bytes in between were read
// ahead and given back (at most a header's six), and belong to the next call.
struct Line {
    const uint8_t* data;
    size_t size;
    size_t position;
    size_t next = 0;

    size_t Left() const { return size - next; }
    const uint8_t* At(size_t offset) const { return data + offset; }
    // Up to count bytes from next on; the port is read as far as they reach.
    size_t Take(size_t count) {
        size_t n = count < Left() ? count : Left();
        next += n;
        if (next > position) {
            position = next;
        }
        return n;
    }
    // Reads ahead as far as count bytes from next, without moving next.
    size_t Peek(size_t count) {
        size_t n = count < Left() ? count : Left();
        if (next + n > position) {
            position = next + n;
        }
        return n;
    }
};

struct Reply {
    int32_t result = 1;
    bool length_known = false; // the length output was written
    uint32_t length = 0;
    size_t header_at = 0; // line offset of the frame's first byte
    size_t payload_at = 0;
};

// A reply's header: start, the length twice, control 0x80.
inline bool Plausible(const uint8_t* h) {
    return h[0] == 0x68 && h[1] == h[2] && h[4] == 0x80;
}

// After a 0x68 at next - 1: are the six bytes after it a reply's header?
// Either way they were read; only a plausible header moves next past them.
inline bool HeaderAfterStart(Line& line) {
    if (line.Peek(6) < 6 || !Plausible(line.At(line.next - 1))) {
        return false;
    }
    line.next += 6;
    return true;
}

// The first 0x68 whose six following bytes make a reply's header; anything
// before it is noise.
inline Reply Receive(Line& line) {
    Reply r;
    while (line.Take(1) == 1) {
        if (*line.At(line.next - 1) != 0x68 || !HeaderAfterStart(line)) {
            continue;
        }
        r.header_at = line.next - 7;
        const uint8_t* h = line.At(r.header_at);
        r.length_known = true;
        r.length = h[1];
        r.payload_at = line.next;
        if (line.Take(r.length + 2) < r.length + 2) {
            return r;
        }
        uint32_t sum = h[4] + h[6];
        for (uint32_t i = 0; i < r.length; ++i) {
            sum += line.At(r.payload_at)[i];
        }
        const uint8_t* trailer = line.At(r.payload_at + r.length);
        r.result = trailer[0] == (sum & 0xFF) && trailer[1] == 0x16 ? 0 : 1;
        return r;
    }
    return r;
}

inline void ReceiveRest(Line& line) {
    size_t at = line.next;
    if (line.Take(6) < 6) {
        return;
    }
    line.Take(line.At(at)[1] + 2u);
}

// byte_read: whether the output was written; byte: its last value. Bytes
// that start neither an acknowledge nor a reply's header are skipped, and
// after them a 0x90 counts only with nothing or a reply's header behind it;
// two whole frames instead of the acknowledge fail it.
inline int32_t ReadAck(Line& line, bool* byte_read, uint8_t* byte) {
    int frames = 0;
    bool noisy = false;
    while (line.Take(1) == 1) {
        *byte_read = true;
        *byte = *line.At(line.next - 1);
        if (*byte == 0x90) {
            // After noise, a 0x90 with more bytes behind it was part of it,
            // unless they start a reply's header.
            if (!noisy || line.Peek(1) == 0) {
                return 0;
            }
            if (*line.At(line.next) == 0x90) {
                return 1; // two for one request: a request behind
            }
            if (*line.At(line.next) == 0x68 && line.Peek(7) == 7 && Plausible(line.At(line.next))) {
                return 0;
            }
            continue;
        }
        if (*byte != 0x68 || !HeaderAfterStart(line)) {
            noisy = true;
            continue;
        }
        line.Take(*line.At(line.next - 6) + 2u);
        if (++frames == 2) {
            return 1;
        }
    }
    return 1;
}

// Everything held and on the line, in reads of 264, until one comes back
// empty or 4096 bytes were taken; the bytes taken.
inline size_t Drain(Line& line) {
    size_t taken = line.position - line.next;
    line.next = line.position;
    for (;;) {
        const size_t got = line.Take(264);
        taken += got;
        if (got == 0 || taken >= 4096) {
            return taken;
        }
    }
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
    const size_t taken_before = line.position;
    for (int send = 0; send < 2; ++send) {
        ++*sends;
        for (int receive = 0; receive < 2; ++receive) {
            *last = Receive(line);
            if (last->length_known) {
                *length_known = true;
                *length = last->length;
            }
            if (last->result == 0) {
                if (send > 0) {
                    Drain(line); // the other answer may still be on its way
                }
                return 0;
            }
        }
    }
    if (line.position != taken_before) {
        Drain(line);
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
