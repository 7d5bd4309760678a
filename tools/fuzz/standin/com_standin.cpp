// The serial layer without a port: reads come from the fuzz input, writes are
// logged and checked to be well-formed request frames.
#include "com/com.h"
#include "line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const uint8_t* g_data = nullptr;
size_t g_size = 0;
size_t g_position = 0;
uint32_t g_baud_rate = 115200;
std::vector<std::vector<uint8_t>> g_writes;

constexpr size_t MAX_LOGGED_WRITES = 64;

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "serial stand-in: %s\n", what);
    std::abort();
}

// 68 L L 68 00 00 cmd data[L] sum 16
void CheckRequest(const uint8_t* bytes, uint32_t length) {
    if (length < 9 || length > 264) {
        Fault("write is not one request frame (length)");
    }
    const uint32_t l = bytes[1];
    if (bytes[0] != 0x68 || bytes[3] != 0x68 || bytes[2] != l || l + 9 != length) {
        Fault("write is not one request frame (header)");
    }
    if (bytes[4] != 0 || bytes[5] != 0 || bytes[length - 1] != 0x16) {
        Fault("write is not one request frame (control, address or end)");
    }
    uint8_t sum = bytes[6];
    for (uint32_t i = 0; i < l; ++i) {
        sum = static_cast<uint8_t>(sum + bytes[7 + i]);
    }
    if (bytes[7 + l] != sum) {
        Fault("request checksum wrong");
    }
}

} // namespace

namespace fuzzline {

void Feed(const uint8_t* data, size_t size) {
    g_data = data;
    g_size = size;
    g_position = 0;
    g_writes.clear();
}

size_t Position() {
    return g_position;
}

size_t Left() {
    return g_size - g_position;
}

void SetBaudRate(uint32_t baud_rate) {
    g_baud_rate = baud_rate;
}

const std::vector<std::vector<uint8_t>>& Writes() {
    return g_writes;
}

void ClearWrites() {
    g_writes.clear();
}

} // namespace fuzzline

void COM_Write(const uint8_t* bytes, uint32_t length) {
    CheckRequest(bytes, length);
    if (g_writes.size() < MAX_LOGGED_WRITES) {
        g_writes.emplace_back(bytes, bytes + length);
    }
}

uint32_t COM_Read(uint8_t* buffer, uint32_t count, uint32_t timeout_ms) {
    if (count > COM_READ_MAX) {
        Fault("read larger than the layer takes");
    }
    if (timeout_ms == 0) {
        Fault("read without a time-out");
    }
    size_t n = count < g_size - g_position ? count : g_size - g_position;
    if (n > 0) {
        std::memcpy(buffer, g_data + g_position, n);
    }
    g_position += n;
    return static_cast<uint32_t>(n);
}

// The fuzz line has no time: every read returns at once, so no deadline of
// the link layer passes before the line runs out, as the model assumes, and
// no round trip is slower than its bytes (answers are never timed).
uint64_t COM_Micros() {
    return 0;
}

void COM_GetConfig(COM_CONFIG* out) {
    std::memset(out, 0, sizeof *out);
    out->baud_rate = g_baud_rate;
    std::strcpy(out->device_name, "COM1");
    out->byte_size = COM_DATA_BITS;
    out->parity = 1;
    out->stop_bits = 0;
}
