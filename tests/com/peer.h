// The far end of a test cable, driven with plain blocking Win32 calls, and a
// few helpers shared by the serial layer's tests.
#pragma once

#include "com/com.h"
#include "tests/support/testbench.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

class Peer {
  public:
    explicit Peer(int n) {
        h_ = CreateFileA(TESTBENCH_PortPath(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, 0, nullptr);
        SetTimeout(300);
    }
    ~Peer() {
        if (ok()) {
            CloseHandle(h_);
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    void SetTimeout(DWORD ms) {
        COMMTIMEOUTS t = {};
        t.ReadTotalTimeoutConstant = ms;
        SetCommTimeouts(h_, &t);
    }
    void Send(const std::string& s) {
        DWORD n = 0;
        WriteFile(h_, s.data(), static_cast<DWORD>(s.size()), &n, nullptr);
    }
    // Up to count bytes within the time-out.
    std::string Receive(size_t count) {
        std::string s(count, '\0');
        DWORD n = 0;
        if (!ReadFile(h_, &s[0], static_cast<DWORD>(count), &n, nullptr)) {
            n = 0;
        }
        s.resize(n);
        return s;
    }

  private:
    HANDLE h_;
};

// A settings record built from zero, as callers of the layer build it.
inline COM_CONFIG MakeConfig(int port, uint32_t baud, uint8_t byte_size = 8, uint8_t parity = 1,
                             uint8_t stop_bits = 0) {
    COM_CONFIG c = {};
    c.baud_rate = baud;
    const std::string name = TESTBENCH_PortPath(port); // "\\.\COMn", as the dialog stores it
    std::memcpy(c.device_name, name.c_str(), name.size());
    c.byte_size = byte_size;
    c.parity = parity;
    c.stop_bits = stop_bits;
    return c;
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
