// The link layer over a virtual null-modem cable: the updater's serial layer
// on one end, a raw Win32 peer on the other that writes exact reply bytes and
// reads back exactly what the updater sent.
#include "com/com.h"
#include "target/frame.h"
#include "tests/support/testbench.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kUpdaterPort = 11;
constexpr int kPeerPort = 12;

HANDLE g_peer = INVALID_HANDLE_VALUE;

void PeerTimeout(DWORD ms) {
    COMMTIMEOUTS t = {};
    t.ReadTotalTimeoutConstant = ms;
    SetCommTimeouts(g_peer, &t);
}

void PeerSend(const Bytes& bytes) {
    DWORD n = 0;
    WriteFile(g_peer, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

// Whatever arrives within the time-out, up to max bytes.
Bytes PeerReceive(size_t max, DWORD timeout_ms = 300) {
    PeerTimeout(timeout_ms);
    Bytes b(max);
    DWORD n = 0;
    if (!ReadFile(g_peer, b.data(), static_cast<DWORD>(max), &n, nullptr)) {
        n = 0;
    }
    b.resize(n);
    return b;
}

// Requests the peer has received, split by their length bytes.
std::vector<Bytes> PeerRequests(DWORD timeout_ms = 300) {
    const Bytes all = PeerReceive(8192, timeout_ms);
    std::vector<Bytes> frames;
    for (size_t pos = 0; pos < all.size();) {
        const size_t size = pos + 1 < all.size() ? all[pos + 1] + FRAME_OVERHEAD : 1;
        frames.emplace_back(all.begin() + pos, all.begin() + std::min(all.size(), pos + size));
        pos += size;
    }
    return frames;
}

Bytes Reply(uint8_t control, uint8_t command, const Bytes& data, uint8_t address = 0) {
    Bytes f = {0x68,
               static_cast<uint8_t>(data.size()),
               static_cast<uint8_t>(data.size()),
               0x68,
               control,
               address,
               command};
    uint8_t sum = static_cast<uint8_t>(control + command);
    for (uint8_t b : data) {
        f.push_back(b);
        sum = static_cast<uint8_t>(sum + b);
    }
    f.push_back(sum);
    f.push_back(0x16);
    return f;
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What the updater's side still has to read, within the time-out.
Bytes UpdaterRest(uint32_t timeout_ms = 150) {
    Bytes b(512);
    b.resize(COM_Read(b.data(), static_cast<uint32_t>(b.size()), timeout_ms));
    return b;
}

uint32_t Millis() {
    return GetTickCount();
}

class Frame : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(TESTBENCH_Reset());
        ASSERT_TRUE(TESTBENCH_MapPair(kUpdaterPort, kPeerPort));
        ASSERT_EQ(0, TESTBENCH_OpenUpdaterPort(kUpdaterPort));
        g_peer = CreateFileA(TESTBENCH_PortPath(kPeerPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                             nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, g_peer);
    }
    static void TearDownTestSuite() {
        CloseHandle(g_peer);
        g_peer = INVALID_HANDLE_VALUE;
        COM_Close();
        TESTBENCH_Reset();
    }
    void SetUp() override {
        // Nothing left over from an earlier case on either side.
        UpdaterRest(30);
        PeerReceive(8192, 30);
        std::memset(buffer, 0xCC, sizeof buffer);
    }

    uint8_t buffer[500];
};

TEST_F(Frame, RequestBytesOnTheLine) {
    FRAME_Send(0, nullptr, 0);
    EXPECT_EQ((Bytes{0x68, 0, 0, 0x68, 0, 0, 0, 0, 0x16}), PeerReceive(100));
    FRAME_Send(0, nullptr, 3);
    EXPECT_EQ((Bytes{0x68, 0, 0, 0x68, 0, 0, 3, 3, 0x16}), PeerReceive(100));

    // The longest request: 264 bytes, checksum modulo 256.
    Bytes data(255);
    uint32_t sum = 2;
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0x80 + i);
        sum += data[i];
    }
    FRAME_Send(255, data.data(), 2);
    const Bytes got = PeerReceive(400);
    ASSERT_EQ(264u, got.size());
    EXPECT_EQ((Bytes{0x68, 0xFF, 0xFF, 0x68, 0, 0, 2}), Bytes(got.begin(), got.begin() + 7));
    EXPECT_EQ(data, Bytes(got.begin() + 7, got.begin() + 262));
    EXPECT_EQ(static_cast<uint8_t>(sum), got[262]);
    EXPECT_EQ(0x16, got[263]);
}

TEST_F(Frame, ValidRepliesAndWhatIsNotExamined) {
    uint32_t length = 99;
    // Empty payload: the checksum is control plus command.
    PeerSend({0x68, 0, 0, 0x68, 0x80, 0, 4, 0x84, 0x16});
    EXPECT_EQ(0, FRAME_Receive(buffer, 500, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(4, buffer[6]);

    // Fourth byte and address are not looked at; the address is not summed.
    Bytes odd = Reply(0x80, 5, {0, 0x34, 0x12}, 0x55);
    odd[3] = 0x00;
    PeerSend(odd);
    EXPECT_EQ(0, FRAME_Receive(buffer, 500, &length));
    EXPECT_EQ(3u, length);
    EXPECT_EQ((Bytes{0x34, 0x12}), Bytes(buffer + 8, buffer + 10));
    // Header at 0..6, payload from 7, trailer right behind it.
    EXPECT_EQ(0x68, buffer[0]);
    EXPECT_EQ(0x55, buffer[5]);
    EXPECT_EQ(0x16, buffer[11]);

    // The longest reply ends inside 264 bytes.
    std::memset(buffer, 0xCC, sizeof buffer);
    PeerSend(Reply(0x80, 1, Bytes(255, 0xAB)));
    EXPECT_EQ(0, FRAME_Receive(buffer, 500, nullptr));
    EXPECT_EQ(0xCC, buffer[264]);
    EXPECT_TRUE(UpdaterRest(30).empty());
}

TEST_F(Frame, BadStartByteFailsAfterExactlySevenBytes) {
    uint32_t length = 77;
    PeerSend({0x69, 3, 3, 0x68, 0x80, 0, 1, 0xA1, 0xA2, 0xA3});
    EXPECT_EQ(1, FRAME_Receive(buffer, 500, &length));
    EXPECT_EQ(77u, length); // the header was not taken as a frame
    EXPECT_EQ((Bytes{0xA1, 0xA2, 0xA3}), UpdaterRest());
}

TEST_F(Frame, FaultyHeadersAreReadToTheirEndThenFail) {
    uint32_t length = 0;
    // Wrong control byte, everything else right.
    PeerSend(Cat(Reply(0x81, 4, {1, 2}), {0xEE}));
    EXPECT_EQ(1, FRAME_Receive(buffer, 500, &length));
    EXPECT_EQ(2u, length);
    EXPECT_EQ(Bytes{0xEE}, UpdaterRest());

    // Unequal lengths: the first one counts, and is reported even so.
    PeerSend({0x68, 5, 6, 0x68, 0x80, 0, 4, 1, 2, 3, 4, 5, 0x93, 0x16, 0xEE});
    EXPECT_EQ(1, FRAME_Receive(buffer, 500, &length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(Bytes{0xEE}, UpdaterRest());
}

TEST_F(Frame, BadTrailersAndShortFramesFail) {
    Bytes bad_sum = Reply(0x80, 4, {1, 2, 3});
    bad_sum[10] ^= 1;
    PeerSend(bad_sum);
    EXPECT_EQ(1, FRAME_Receive(buffer, 500, nullptr));

    Bytes bad_end = Reply(0x80, 4, {1, 2, 3});
    bad_end[11] = 0x17;
    PeerSend(bad_end);
    EXPECT_EQ(1, FRAME_Receive(buffer, 500, nullptr));
    EXPECT_TRUE(UpdaterRest(30).empty());

    // Too few bytes of header, payload or trailer within the time-out.
    const Bytes whole = Reply(0x80, 4, {1, 2, 3});
    for (size_t cut : {5u, 9u, 11u}) {
        PeerSend(Bytes(whole.begin(), whole.begin() + cut));
        const uint32_t t0 = Millis();
        EXPECT_EQ(1, FRAME_Receive(buffer, 200, nullptr)) << cut;
        EXPECT_GE(Millis() - t0, 150u) << cut;
    }
}

TEST_F(Frame, ReceiveRestTakesAFrameWithoutItsStartByte) {
    const Bytes f = Reply(0x80, 2, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5});
    PeerSend(Cat(Bytes(f.begin() + 1, f.end()), {0xEE}));
    FRAME_ReceiveRest(buffer, 500);
    EXPECT_EQ(Bytes(f.begin() + 1, f.end()), Bytes(buffer, buffer + f.size() - 1));
    EXPECT_EQ(Bytes{0xEE}, UpdaterRest());
}

TEST_F(Frame, AcknowledgeBehindAReplyFrameIsAccepted) {
    uint8_t byte = 0;
    PeerSend({0x90});
    EXPECT_EQ(0, FRAME_ReadAck(&byte));
    EXPECT_EQ(0x90, byte);

    PeerSend(Cat(Reply(0x80, 4, {9, 9, 9}), {0x90}));
    byte = 0;
    EXPECT_EQ(0, FRAME_ReadAck(&byte));
    EXPECT_EQ(0x90, byte);
    EXPECT_TRUE(UpdaterRest(30).empty());
}

TEST_F(Frame, TwoFramesInsteadOfTheAcknowledgeFail) {
    uint8_t byte = 0;
    PeerSend(Cat(Cat(Reply(0x80, 2, {1, 2, 3, 4}), Reply(0x80, 2, {5})), {0x90}));
    EXPECT_EQ(1, FRAME_ReadAck(&byte));
    EXPECT_EQ(0x68, byte);
    EXPECT_EQ(Bytes{0x90}, UpdaterRest()); // both frames were taken exactly
}

TEST_F(Frame, SilentTargetLeavesTheAcknowledgeOutputAlone) {
    uint8_t byte = 0x5A;
    const uint32_t t0 = Millis();
    EXPECT_EQ(1, FRAME_ReadAck(&byte));
    const uint32_t took = Millis() - t0;
    EXPECT_EQ(0x5A, byte);
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 2500u);
}

TEST_F(Frame, ExchangeSendsTwiceAndReadsTwiceEach) {
    const uint32_t t0 = Millis();
    EXPECT_EQ(1, FRAME_Exchange(0, nullptr, 0, buffer, 100, nullptr));
    const uint32_t took = Millis() - t0;
    const std::vector<Bytes> sent = PeerRequests();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(sent[0], sent[1]);
    EXPECT_GE(took, 350u); // four reads of 100 ms
    EXPECT_LT(took, 2000u);

    // A failed first read is followed by a second one without a new send.
    PeerSend(Cat(Bytes(7, 0x00), Reply(0x80, 0, {0, 1})));
    uint32_t length = 0;
    EXPECT_EQ(0, FRAME_Exchange(0, nullptr, 0, buffer, 300, &length));
    EXPECT_EQ(2u, length);
    EXPECT_EQ(1u, PeerRequests().size());
}

TEST_F(Frame, CommandSendsThreeTimesThenGivesUp) {
    const uint8_t data[2] = {0xAB, 0xCD};
    const uint32_t t0 = Millis();
    EXPECT_EQ(1, FRAME_Command(2, data, 3));
    const uint32_t took = Millis() - t0;
    const std::vector<Bytes> sent = PeerRequests();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ((Bytes{0x68, 2, 2, 0x68, 0, 0, 3, 0xAB, 0xCD, 0x7B, 0x16}), sent[2]);
    EXPECT_GE(took, 2700u);
    EXPECT_LT(took, 6000u);

    // Two refusals use up the first send; the acknowledge of the second counts.
    PeerSend(Cat(Reply(0x80, 3, {}), Reply(0x80, 3, {})));
    HANDLE answer = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            Sleep(400);
            PeerSend({0x90});
            return 0;
        },
        nullptr, 0, nullptr);
    EXPECT_EQ(0, FRAME_Command(0, nullptr, 3));
    WaitForSingleObject(answer, INFINITE);
    CloseHandle(answer);
    EXPECT_EQ(2u, PeerRequests().size());
}

} // namespace
