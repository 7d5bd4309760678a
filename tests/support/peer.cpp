#include "tests/support/peer.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "tests/support/testbench.h"

Peer::Peer(int n)
    : h_(CreateFileA(TESTBENCH_PortPath(n).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr)) {
    SetTimeout(300);
}

Peer::~Peer() {
    stop_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    if (ok()) {
        CloseHandle(h_);
    }
}

bool Peer::ok() const {
    return h_ != INVALID_HANDLE_VALUE;
}

void Peer::SetTimeout(uint32_t ms) {
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = ms;
    SetCommTimeouts(h_, &t);
}

void Peer::Send(const char* text) {
    const std::string s = text;
    Send(Bytes(s.begin(), s.end()));
}

void Peer::Send(const Bytes& bytes) {
    DWORD n = 0;
    WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

std::string Peer::Receive(size_t count) {
    std::string s(count, '\0');
    DWORD n = 0;
    if (!ReadFile(h_, &s[0], static_cast<DWORD>(count), &n, nullptr)) {
        n = 0;
    }
    s.resize(n);
    return s;
}

Bytes Peer::ReceiveBytes(size_t count, uint32_t timeout_ms) {
    SetTimeout(timeout_ms);
    const std::string s = Receive(count);
    return Bytes(s.begin(), s.end());
}

std::vector<Bytes> Peer::Requests(uint32_t timeout_ms) {
    const Bytes all = ReceiveBytes(8192, timeout_ms);
    std::vector<Bytes> frames;
    for (size_t pos = 0; pos < all.size();) {
        const size_t size = pos + 1 < all.size() ? all[pos + 1] + 9u : 1u; // header 7, trailer 2
        frames.emplace_back(all.begin() + pos, all.begin() + std::min(all.size(), pos + size));
        pos += size;
    }
    return frames;
}

void Peer::Serve(PEER_HANDLER handler) {
    handler_ = std::move(handler);
    // Short reads, so that stopping is never held up.
    SetTimeout(20);
    PurgeComm(h_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    thread_ = std::thread(&Peer::ServeLoop, this);
}

std::vector<uint8_t> Peer::Commands() {
    std::lock_guard<std::mutex> guard(lock_);
    return commands_;
}

bool Peer::ReadExact(uint8_t* out, uint32_t count) {
    DWORD got = 0;
    while (got < count && !stop_.load()) {
        DWORD n = 0;
        if (!ReadFile(h_, out + got, count - got, &n, nullptr)) {
            return false;
        }
        got += n;
    }
    return got == count;
}

void Peer::ServeLoop() {
    while (!stop_.load()) {
        uint8_t start = 0;
        if (!ReadExact(&start, 1) || start != 0x68) {
            continue;
        }
        uint8_t header[6];
        if (!ReadExact(header, 6)) {
            continue;
        }
        Bytes data(header[0] + 2u);
        if (!ReadExact(data.data(), static_cast<uint32_t>(data.size()))) {
            continue;
        }
        data.resize(header[0]);
        {
            std::lock_guard<std::mutex> guard(lock_);
            commands_.push_back(header[5]);
        }
        for (const PEER_SEND& send : handler_(header[5], data)) {
            if (send.delay_ms != 0) {
                Sleep(send.delay_ms);
            }
            Send(send.bytes);
        }
    }
}
