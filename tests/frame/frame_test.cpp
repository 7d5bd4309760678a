// The link layer over a virtual null-modem cable: the updater's serial layer
// on one end, a peer on the other that writes exact reply bytes and reads
// back exactly what the updater sent.
#include "com/com.h"
#include "target/commands.h"
#include "target/frame.h"
#include "target/link.h"
#include "tests/support/bytes.h"
#include "tests/support/peer.h"
#include "tests/support/testbench.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int UPDATER_PORT = 11;
constexpr int PEER_PORT = 12;

Peer* g_peer = nullptr;

// Whatever arrives within the time-out, up to max bytes.
Bytes PeerReceive(size_t max, DWORD timeout_ms = 300) {
    return g_peer->ReceiveBytes(max, timeout_ms);
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
        ASSERT_TRUE(TESTBENCH_UpdaterCable(UPDATER_PORT, PEER_PORT));
        g_peer = new Peer(PEER_PORT);
        ASSERT_TRUE(g_peer->ok());
    }
    static void TearDownTestSuite() {
        delete g_peer;
        g_peer = nullptr;
        COM_Close();
        TESTBENCH_Reset();
    }
    void SetUp() override {
        // Nothing left over from an earlier case on either side, and a link
        // that has shown no pace yet.
        UpdaterRest(30);
        PeerReceive(8192, 30);
        LINK_Forget();
        std::memset(buffer, 0xCC, sizeof buffer);
    }
    // An identify exchange answered after delay_ms: the link notes the round trip.
    void ExchangeAnsweredAfter(DWORD delay_ms) {
        std::thread answer([delay_ms] {
            Sleep(delay_ms);
            g_peer->Send(Reply(CMD_IDENTIFY, {0, 1, 2, 3, 4}));
        });
        EXPECT_EQ(0, FRAME_Exchange(0, nullptr, CMD_IDENTIFY, buffer, 50, nullptr));
        answer.join();
        g_peer->Requests(50);
    }
    // An identify exchange whose reply is on the line before the request
    // goes: faster than any line could carry it, however loaded the machine.
    void ExchangeAnsweredAhead() {
        AheadOfTheRequest(Reply(CMD_IDENTIFY, {0, 1, 2, 3, 4}));
        EXPECT_EQ(0, FRAME_Exchange(0, nullptr, CMD_IDENTIFY, buffer, 50, nullptr));
        g_peer->Requests(50);
    }
    // Bytes that reach the updater's side before its next request is sent.
    static void AheadOfTheRequest(const Bytes& bytes) {
        g_peer->Send(bytes);
        Sleep(30);
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
    g_peer->Send({0x68, 0, 0, 0x68, 0x80, 0, 4, 0x84, 0x16});
    EXPECT_EQ(0, FRAME_Receive(buffer, 500, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(4, buffer[6]);

    // Fourth byte and address are not looked at; the address is not summed.
    Bytes odd = MakeFrame(0x80, 5, {0, 0x34, 0x12}, 0x55);
    odd[3] = 0x00;
    g_peer->Send(odd);
    EXPECT_EQ(0, FRAME_Receive(buffer, 500, &length));
    EXPECT_EQ(3u, length);
    EXPECT_EQ((Bytes{0x34, 0x12}), Bytes(buffer + 8, buffer + 10));
    // Header at 0..6, payload from 7, trailer right behind it.
    EXPECT_EQ(0x68, buffer[0]);
    EXPECT_EQ(0x55, buffer[5]);
    EXPECT_EQ(0x16, buffer[11]);

    // The longest reply ends inside 264 bytes.
    std::memset(buffer, 0xCC, sizeof buffer);
    g_peer->Send(Reply(1, Bytes(255, 0xAB)));
    EXPECT_EQ(0, FRAME_Receive(buffer, 500, nullptr));
    EXPECT_EQ(0xCC, buffer[264]);
    EXPECT_TRUE(UpdaterRest(30).empty());
}

// Noise ahead of a reply's start: a glitch byte, a break, a banner, stray
// start bytes, a header that cannot be a reply's. Each is skipped and the
// reply behind it is read whole, with nothing left on the line.
TEST_F(Frame, NoiseAheadOfAReplyIsSkipped) {
    const Bytes reply = Reply(5, {0, 0x34, 0x12});
    const Bytes banner = Cat(Bytes(40, 'B'), {0x68, 0x90, 0x16, 0x0D, 0x0A});
    const std::vector<Bytes> noises = {
        {0x00},
        {0xFF},
        {0x68},
        {0x68, 0x68},
        {0x16, 0x90, 0x69, 0x03, 0x03},
        banner,
        {0x68, 5, 6, 0x68, 0x80, 0, 4},       // lengths unequal
        {0x68, 2, 2, 0x68, 0x81, 0, 4, 1, 2}, // not a reply's control byte
        {0x68, 0x68, 0x80, 0x68, 0x80, 0x00}, // stray start bytes inside a header
    };
    for (const Bytes& noise : noises) {
        uint32_t length = 77;
        g_peer->Send(Cat(noise, reply));
        EXPECT_EQ(0, FRAME_Receive(buffer, 500, &length)) << noise.size();
        EXPECT_EQ(3u, length);
        EXPECT_EQ((Bytes{0x34, 0x12}), Bytes(buffer + 8, buffer + 10));
        EXPECT_TRUE(UpdaterRest(30).empty()) << noise.size();
    }
    // Noise alone is not a reply, and does not leave the length set.
    uint32_t length = 77;
    g_peer->Send(banner);
    EXPECT_EQ(1, FRAME_Receive(buffer, 200, &length));
    EXPECT_EQ(77u, length);
}

// A reply comes late or in pieces and is still read whole: noise ahead of it
// does not shorten the caller's wait (a reply behind an erase of seconds), a
// header's rest is waited for one prompt wait (an adapter's latency), and a
// payload's rest for a wait of its own, beyond the caller's.
TEST_F(Frame, ALateOrSplitReplyIsReadWhole) {
    const Bytes reply = Reply(CMD_IDENTIFY, {0, 1, 2, 3, 4});
    const struct {
        const char* name;
        Bytes first;
        size_t split; // bytes of the reply sent with the first part
        DWORD pause_ms;
        uint32_t wait_ms;
    } cases[] = {
        {"after noise holding a stray header", MakeFrame(0x81, 4, {1, 2}), 0, 1500, 3000},
        {"after a stray start byte", {0x68}, 0, 1200, 3000},
        {"header split by an adapter's latency", {}, 3, 20, 50},
        {"payload split near the end of the wait", {}, 9, 120, 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_peer->Send(Cat(c.first, Bytes(reply.begin(), reply.begin() + c.split)));
        std::thread rest([&] {
            Sleep(c.pause_ms);
            g_peer->Send(Bytes(reply.begin() + c.split, reply.end()));
        });
        uint32_t length = 0;
        EXPECT_EQ(0, FRAME_Receive(buffer, c.wait_ms, &length));
        rest.join();
        EXPECT_EQ(5u, length);
        EXPECT_TRUE(UpdaterRest(30).empty());
    }
}

TEST_F(Frame, BadTrailersAndShortFramesFail) {
    Bytes bad_sum = Reply(4, {1, 2, 3});
    bad_sum[10] ^= 1;
    g_peer->Send(bad_sum);
    EXPECT_EQ(1, FRAME_Receive(buffer, 500, nullptr));

    Bytes bad_end = Reply(4, {1, 2, 3});
    bad_end[11] = 0x17;
    g_peer->Send(bad_end);
    EXPECT_EQ(1, FRAME_Receive(buffer, 500, nullptr));
    EXPECT_TRUE(UpdaterRest(30).empty());

    // Too few bytes of header, payload or trailer. The wait for a reply's
    // start is the caller's, and a header cut short does not end it; once a
    // header is in, the rest has its own short wait, so a minute-long wait
    // does not apply.
    const Bytes whole = Reply(4, {1, 2, 3});
    struct {
        Bytes bytes;
        uint32_t wait_ms;
        uint32_t at_least_ms;
        uint32_t below_ms;
    } cases[] = {
        {Bytes(whole.begin(), whole.begin() + 5), 400, 380, 900},
        {Bytes(whole.begin(), whole.begin() + 9), 60000, 900, 2500},
        {Bytes(whole.begin(), whole.begin() + 11), 60000, 900, 2500},
    };
    for (const auto& c : cases) {
        g_peer->Send(c.bytes);
        const uint32_t t0 = Millis();
        EXPECT_EQ(1, FRAME_Receive(buffer, c.wait_ms, nullptr)) << c.bytes.size();
        const uint32_t took = Millis() - t0;
        EXPECT_GE(took, c.at_least_ms) << c.bytes.size();
        EXPECT_LT(took, c.below_ms) << c.bytes.size();
    }
}

TEST_F(Frame, ReceiveRestTakesAFrameWithoutItsStartByte) {
    const Bytes f = Reply(2, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5});
    g_peer->Send(Cat(Bytes(f.begin() + 1, f.end()), {0xEE}));
    FRAME_ReceiveRest(buffer, 500);
    EXPECT_EQ(Bytes(f.begin() + 1, f.end()), Bytes(buffer, buffer + f.size() - 1));
    EXPECT_EQ(Bytes{0xEE}, UpdaterRest());
}

TEST_F(Frame, AcknowledgeBehindAReplyFrameOrNoiseIsAccepted) {
    uint8_t byte = 0;
    // Bytes that can start neither an acknowledge nor a frame are skipped; a
    // stray start byte is given up once the line falls quiet behind it.
    const std::vector<Bytes> aheads = {
        {}, {0x00}, {0xFF}, {0x16, 0x0D, 0x0A}, {0x68}, {0x68, 0x68, 0x05},
    };
    for (const Bytes& ahead : aheads) {
        g_peer->Send(Cat(ahead, {0x90}));
        byte = 0;
        EXPECT_EQ(0, FRAME_ReadAck(&byte)) << ahead.size();
        EXPECT_EQ(0x90, byte);
        EXPECT_TRUE(UpdaterRest(30).empty()) << ahead.size();
    }

    g_peer->Send(Cat(Reply(4, {9, 9, 9}), {0x90}));
    byte = 0;
    EXPECT_EQ(0, FRAME_ReadAck(&byte));
    EXPECT_EQ(0x90, byte);
    EXPECT_TRUE(UpdaterRest(30).empty());
}

// The waits follow the link: a prompt answer is waited for the identify
// time-out at 115200 (50 ms), or twice the slowest round trip seen on a slow
// link. Where the line has kept to its rate, an acknowledge cannot come
// before the request is across it: a 0x90 sooner is a banner's, as the
// target resets and loses the request. A line that answers faster than its
// bytes could cross it (a virtual port) is never timed.
TEST_F(Frame, TheLinksPaceSetsItsWaitsAndTimesItsAcknowledges) {
    EXPECT_EQ(50u, LINK_PromptWaitMs());
    ExchangeAnsweredAfter(10);
    EXPECT_EQ(50u, LINK_PromptWaitMs());
    ExchangeAnsweredAfter(80); // answered in the exchange's second read
    EXPECT_GE(LINK_PromptWaitMs(), 160u);
    EXPECT_LT(LINK_PromptWaitMs(), 320u); // a loaded machine answers later

    // A 249-byte block takes 24 ms on the line at 115200 8O1.
    const Bytes block(240, 0x5A);
    const Bytes banner = Cat({0x90}, Cat(Bytes(30, 'b'), {0x0D, 0x0A}));
    uint8_t byte = 0;
    AheadOfTheRequest(banner);
    FRAME_Send(240, block.data(), 2);
    EXPECT_EQ(1, FRAME_ReadAck(&byte));
    // The acknowledge in its time is taken.
    FRAME_Send(240, block.data(), 2);
    Sleep(40);
    g_peer->Send({0x90});
    EXPECT_EQ(0, FRAME_ReadAck(&byte));
    g_peer->Requests(50);

    // A lone 0x90 too soon, or a reply faster than the line could carry the
    // bytes: the line is faster than its rate, and nothing is timed any more
    // (the banner's first byte then passes for the acknowledge).
    AheadOfTheRequest({0x90});
    FRAME_Send(240, block.data(), 2);
    EXPECT_EQ(0, FRAME_ReadAck(&byte));
    EXPECT_EQ(0u, LINK_EarliestAnswerUs(249));
    FRAME_Send(240, block.data(), 2);
    g_peer->Send(banner);
    EXPECT_EQ(0, FRAME_ReadAck(&byte));
    UpdaterRest(100);
    LINK_Forget();
    ExchangeAnsweredAfter(10);
    EXPECT_NE(0u, LINK_EarliestAnswerUs(249));
    ExchangeAnsweredAhead();
    EXPECT_EQ(0u, LINK_EarliestAnswerUs(249));
    g_peer->Requests(50);
}

// A banner as the target resets may hold 0x90: inside noise it is no
// acknowledge (the block went nowhere), and the wait fails.
// Two acknowledges for one request behind noise: the link is a request
// behind, and the wait fails too.
TEST_F(Frame, AnAcknowledgeByteInsideNoiseIsNoAcknowledge) {
    for (const Bytes& line : {Cat(Bytes(20, 'b'), {0x90, 0x0D, 0x0A}), Bytes{0xFF, 0x90, 0x90}}) {
        uint8_t byte = 0;
        g_peer->Send(line);
        EXPECT_EQ(1, FRAME_ReadAck(&byte)) << line.size();
        UpdaterRest(100);
    }
    // Behind the acknowledge of a command with a reply, the reply's start.
    uint8_t byte = 0;
    g_peer->Send(Cat({0x00, 0x90}, Reply(5, {0, 1, 2})));
    EXPECT_EQ(0, FRAME_ReadAck(&byte));
    EXPECT_EQ(0, FRAME_Receive(buffer, 500, nullptr));
}

TEST_F(Frame, TwoFramesInsteadOfTheAcknowledgeFail) {
    uint8_t byte = 0;
    g_peer->Send(Cat(Cat(Reply(2, {1, 2, 3, 4}), Reply(2, {5})), {0x90}));
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
    EXPECT_EQ(1, FRAME_Exchange(0, nullptr, CMD_IDENTIFY, buffer, 100, nullptr));
    const uint32_t took = Millis() - t0;
    const std::vector<Bytes> sent = g_peer->Requests(300);
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(sent[0], sent[1]);
    EXPECT_GE(took, 350u); // four reads of 100 ms
    EXPECT_LT(took, 2000u);

    // A failed first read is followed by a second one without a new send.
    Bytes bad_sum = Reply(CMD_IDENTIFY, {0, 9});
    bad_sum[9] ^= 1;
    g_peer->Send(Cat(bad_sum, Reply(CMD_IDENTIFY, {0, 1})));
    uint32_t length = 0;
    EXPECT_EQ(0, FRAME_Exchange(0, nullptr, CMD_IDENTIFY, buffer, 300, &length));
    EXPECT_EQ(2u, length);
    EXPECT_EQ(1u, g_peer->Requests(300).size());
}

// An exchange that failed on noise leaves a quiet line behind: what it did
// not read is drained, so the next exchange starts in step.
TEST_F(Frame, AFailedExchangeDrainsTheNoise) {
    std::atomic<uint32_t> quiet_from{0};
    std::thread noise([&] {
        for (int i = 0; i < 60; ++i) {
            g_peer->Send(Bytes{0x68, 0x55});
            Sleep(10);
        }
        quiet_from = Millis();
    });
    EXPECT_EQ(1, FRAME_Exchange(0, nullptr, CMD_IDENTIFY, buffer, 50, nullptr));
    const uint32_t back = Millis();
    noise.join();
    // The exchange's four reads of 50 ms are over long before the noise; it
    // returns once the line has been quiet for one of them behind it.
    EXPECT_GE(back, quiet_from.load());
    EXPECT_LT(back - quiet_from.load(), 50u + 300);
    EXPECT_TRUE(UpdaterRest(30).empty());
    g_peer->Requests(100);

    // Every answer broken, and a late one on its way as the exchange gives
    // up: it is taken off the line, not left for the next exchange to take
    // for its own.
    Bytes broken = Reply(CMD_IDENTIFY, {0, 9});
    broken[9] ^= 1;
    g_peer->Send(Cat(Cat(broken, broken), Cat(broken, broken)));
    std::thread late([] {
        Sleep(150);
        g_peer->Send(Reply(CMD_IDENTIFY, {0, 1}));
    });
    EXPECT_EQ(1, FRAME_Exchange(0, nullptr, CMD_IDENTIFY, buffer, 300, nullptr));
    late.join();
    EXPECT_TRUE(UpdaterRest(400).empty());
    g_peer->Requests(100);

    // Drained until quiet: the bytes it took, none on a quiet line.
    g_peer->Send(Bytes(300, 0xA5));
    EXPECT_EQ(300u, FRAME_Drain(50));
    EXPECT_EQ(0u, FRAME_Drain(50));
}

TEST_F(Frame, CommandSendsThreeTimesThenGivesUp) {
    const uint8_t data[2] = {0xAB, 0xCD};
    const uint32_t t0 = Millis();
    EXPECT_EQ(1, FRAME_Command(2, data, 3));
    const uint32_t took = Millis() - t0;
    const std::vector<Bytes> sent = g_peer->Requests(300);
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ((Bytes{0x68, 2, 2, 0x68, 0, 0, 3, 0xAB, 0xCD, 0x7B, 0x16}), sent[2]);
    EXPECT_GE(took, 2700u);
    EXPECT_LT(took, 6000u);

    // Two refusals use up the first send; the acknowledge of the second counts.
    g_peer->Send(Cat(Reply(3, {}), Reply(3, {})));
    HANDLE answer = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            Sleep(400);
            g_peer->Send({0x90});
            return 0;
        },
        nullptr, 0, nullptr);
    EXPECT_EQ(0, FRAME_Command(0, nullptr, 3));
    WaitForSingleObject(answer, INFINITE);
    CloseHandle(answer);
    EXPECT_EQ(2u, g_peer->Requests(300).size());
}

} // namespace
