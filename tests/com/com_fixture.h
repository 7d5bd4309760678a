// Helpers shared by the serial layer's tests, and the peer on the far end.
#pragma once

#include "com/com.h"
#include "tests/support/peer.h"
#include "tests/support/testbench.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

// A settings record built from zero, as callers of the layer build it.
inline COM_CONFIG MakeConfig(int port, uint32_t baud, uint8_t byte_size = COM_DATA_BITS,
                             uint8_t parity = 1, uint8_t stop_bits = 0) {
    COM_CONFIG c = {};
    c.baud_rate = baud;
    const std::string name = TESTBENCH_PortPath(port); // "\\.\COMn", as the dialog stores it
    std::memcpy(c.device_name, name.c_str(), name.size());
    c.byte_size = byte_size;
    c.parity = parity;
    c.stop_bits = stop_bits;
    return c;
}

// The port chosen as the dialog chooses it: the layer's answer, 0 when open.
inline int Choose(int port, uint32_t baud = 115200, uint8_t byte_size = COM_DATA_BITS) {
    COM_CONFIG c = MakeConfig(port, baud, byte_size);
    return COM_SetConfig(&c);
}

inline COM_STATUS Status() {
    COM_STATUS s;
    COM_GetStatus(&s);
    return s;
}

inline std::string ReadString(uint32_t count, uint32_t timeout_ms) {
    std::vector<uint8_t> buf(count + 1, 0);
    const uint32_t n = COM_Read(buf.data(), count, timeout_ms);
    return std::string(buf.begin(), buf.begin() + n);
}

// The read's bytes, and in took how long it waited for them.
inline std::string TimedRead(uint32_t count, uint32_t timeout_ms, ULONGLONG* took) {
    const ULONGLONG t0 = GetTickCount64();
    const std::string got = ReadString(count, timeout_ms);
    *took = GetTickCount64() - t0;
    return got;
}

inline void WriteString(const std::string& s) {
    COM_Write(reinterpret_cast<const uint8_t*>(s.data()), static_cast<uint32_t>(s.size()));
}

// Captures what the layer would show in its "Error" box.
inline std::vector<std::string>& ShownErrors() {
    static std::vector<std::string> shown;
    return shown;
}

inline void RecordError(const char* text) {
    ShownErrors().push_back(text);
}
