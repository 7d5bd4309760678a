// The far end of a test cable on plain blocking Win32 calls: a test writes and
// reads exact bytes through it, or Serve answers each request frame from a
// thread of its own with what a handler returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bytes.h"

struct PEER_SEND {
    uint32_t delay_ms;
    Bytes bytes;
};
using PEER_HANDLER = std::function<std::vector<PEER_SEND>(uint8_t command, const Bytes& data)>;

class Peer {
  public:
    // Opens COMn of the test bench with a read time-out of 300 ms.
    explicit Peer(int n);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ok() const;
    void SetTimeout(uint32_t ms);
    void Send(const char* text);
    void Send(const Bytes& bytes);
    // Up to count bytes within the time-out.
    std::string Receive(size_t count);
    Bytes ReceiveBytes(size_t count, uint32_t timeout_ms);
    // The requests received within the time-out, split by their length bytes.
    std::vector<Bytes> Requests(uint32_t timeout_ms);

    // Drops what is on the line and answers from now on; stops with the peer.
    void Serve(PEER_HANDLER handler);
    // Commands served so far, in order.
    std::vector<uint8_t> Commands();

  private:
    bool ReadExact(uint8_t* out, uint32_t count);
    void ServeLoop();

    void* h_;
    PEER_HANDLER handler_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<uint8_t> commands_;
};
