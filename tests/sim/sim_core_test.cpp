// The simulated boot loader's core, driven in-process: its frames, CRC, flash
// model and every fault, with no serial line in between.
#include "tools/sim/sim.h"

#include <gtest/gtest.h>

#include "tests/support/bytes.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr uint8_t UNKNOWN_COMMAND = 6; // no boot loader command has this code

Bytes Joined(const std::vector<SIM_SEND>& sends) {
    Bytes all;
    for (const SIM_SEND& s : sends) {
        all.insert(all.end(), s.bytes.begin(), s.bytes.end());
    }
    return all;
}

// A piece of output as its delay from the request's arrival and its bytes.
using PART = std::pair<uint32_t, Bytes>;

std::vector<PART> Parts(const std::vector<SIM_SEND>& sends) {
    std::vector<PART> parts;
    for (const SIM_SEND& s : sends) {
        parts.emplace_back(s.delay_us, s.bytes);
    }
    return parts;
}

Bytes CrcRange(uint32_t start, uint32_t length) {
    return SIM_EncodeRequest(SIM_CMD_GET_CRC, Cat(Le32(start), Le32(length)));
}

Bytes CrcOfErased(size_t count) {
    const Bytes ff(count, 0xFF);
    return Reply(SIM_CMD_GET_CRC, Cat({0}, Le16(SIM_Crc16(0xFFFF, ff.data(), ff.size()))));
}

class SimCore : public ::testing::Test {
  protected:
    SIM_CORE core;
    uint64_t now = 1000;

    void SetUp() override { Init(SIM_CONFIG()); }
    void Init(const SIM_CONFIG& config) { SIM_CoreInit(&core, config); }

    std::vector<SIM_SEND> Sends(const Bytes& bytes) {
        std::vector<SIM_SEND> out;
        SIM_CoreFeed(&core, bytes.data(), bytes.size(), now, &out);
        return out;
    }
    // Everything the core answers to the bytes, all pieces joined.
    Bytes Feed(const Bytes& bytes) { return Joined(Sends(bytes)); }
    Bytes Request(uint8_t command, const Bytes& data = {}) {
        return Feed(SIM_EncodeRequest(command, data));
    }
    Bytes Program(uint32_t address, const Bytes& data) {
        return Request(SIM_CMD_PROGRAM, Cat(Le32(address), data));
    }
    // What goes on the line with no input at the time now.
    Bytes Tick() {
        std::vector<SIM_SEND> out;
        SIM_CoreTick(&core, now, &out);
        return Joined(out);
    }
    void Noise(const std::vector<SIM_NOISE>& noise) {
        SIM_FAULTS f;
        f.noise = noise;
        SIM_CoreSetFaults(&core, f, now);
    }
};

SIM_NOISE At(SIM_NOISE_AT at, uint8_t command, uint32_t nth, const Bytes& bytes,
             uint32_t offset = 0) {
    SIM_NOISE n;
    n.at = at;
    n.command = command;
    n.nth = nth;
    n.offset = offset;
    n.bytes = bytes;
    return n;
}

TEST(SimCrc, CheckValueAndRunningRegister) {
    const std::string s = "123456789";
    const auto* p = reinterpret_cast<const uint8_t*>(s.data());
    EXPECT_EQ(0xA69D, SIM_Crc16(0xFFFF, p, 9));
    EXPECT_EQ(0xA69D, SIM_Crc16(SIM_Crc16(0xFFFF, p, 4), p + 4, 5));
    EXPECT_EQ(0xFFFF, SIM_Crc16(0xFFFF, p, 0));
}

TEST(SimFrames, EncoderLayoutAndChecksum) {
    EXPECT_EQ((Bytes{0x68, 0, 0, 0x68, 0, 0, 0, 0, 0x16}), SIM_EncodeRequest(0, {}));
    EXPECT_EQ((Bytes{0x68, 0, 0, 0x68, 0x80, 0, 4, 0x84, 0x16}), Reply(4, {}));
    const Bytes big = SIM_EncodeRequest(2, Bytes(255, 0xFF));
    ASSERT_EQ(264u, big.size());
    EXPECT_EQ(static_cast<uint8_t>(2 + 255 * 0xFF), big[262]);
}

TEST_F(SimCore, IdentifyLongAndShortForm) {
    SIM_CONFIG c;
    c.status = 0;
    c.target_value = 0x11223344;
    c.text1 = "ab";
    c.text2 = "xyz";
    c.crc_start[0] = 0x1000;
    c.crc_length[0] = 0x20;
    c.crc_start[1] = 0x3000;
    c.crc_length[1] = 0x40;
    Init(c);
    const Bytes expected_long = {0,   0x44, 0x33, 0x22, 0x11, 2, 'a',  'b', 3, 'x',
                                 'y', 'z',  0,    0x10, 0,    0, 0x20, 0,   0, 0,
                                 0,   0x30, 0,    0,    0x40, 0, 0,    0};
    EXPECT_EQ(Reply(SIM_CMD_IDENTIFY, expected_long), Request(SIM_CMD_IDENTIFY));

    c.long_form = false;
    c.status = 3;
    Init(c);
    Bytes expected_short(expected_long.begin(), expected_long.end() - 8);
    expected_short[0] = 3;
    EXPECT_EQ(Reply(SIM_CMD_IDENTIFY, expected_short), Request(SIM_CMD_IDENTIFY));
}

TEST_F(SimCore, ParserCopesWithSplitInputJunkAndBadFrames) {
    const Bytes identify = Request(SIM_CMD_IDENTIFY);
    // One byte at a time, behind junk, gives the same answer once.
    Bytes answer;
    for (uint8_t b : Cat({0x00, 0x68, 0x01}, SIM_EncodeRequest(SIM_CMD_IDENTIFY, {}))) {
        const Bytes part = Feed({b});
        answer.insert(answer.end(), part.begin(), part.end());
    }
    EXPECT_EQ(identify, answer);

    Bytes bad_sum = SIM_EncodeRequest(SIM_CMD_MAKE_VALID, {});
    bad_sum[7] ^= 1;
    Bytes bad_control = SIM_EncodeFrame(SIM_CTRL_REPLY, SIM_CMD_MAKE_VALID, nullptr, 0);
    EXPECT_TRUE(Feed(bad_sum).empty());
    EXPECT_TRUE(Feed(bad_control).empty());
    EXPECT_EQ(0u, core.stats.made_valid);
    EXPECT_EQ(3u, core.stats.bad_frames); // the false start in the junk too
    // Still in step after them.
    EXPECT_EQ(Bytes{SIM_ACK}, Request(SIM_CMD_MAKE_VALID));
    EXPECT_EQ(1u, core.stats.made_valid);
}

TEST_F(SimCore, CommandsAnswerAndLogTheirRequests) {
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x40080002, {0x11, 0x22}));
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x50000000, {0x33}));
    EXPECT_EQ(0x11, SIM_CoreFlashByte(&core, 0x40080002));
    EXPECT_EQ(0x22, SIM_CoreFlashByte(&core, 0x40080003));
    EXPECT_EQ(0xFF, SIM_CoreFlashByte(&core, 0x40080001));
    EXPECT_EQ(0x33, SIM_CoreFlashByte(&core, 0x50000000));

    // Blank check names the first written byte and the word found there.
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_BLANK_CHECK, Cat(Le32(0x40080002), Le32(0xFFFF2211)))),
              Request(SIM_CMD_BLANK_CHECK));
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_BLANK_CHECK, {})), Request(SIM_CMD_CLEAR));
    EXPECT_EQ(0xFF, SIM_CoreFlashByte(&core, 0x40080002));
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_BLANK_CHECK, {})), Request(SIM_CMD_BLANK_CHECK));

    EXPECT_EQ(Bytes{SIM_ACK}, Request(SIM_CMD_MAKE_VALID));
    EXPECT_EQ(Bytes{SIM_ACK}, Request(SIM_CMD_START_APP));
    EXPECT_TRUE(Request(UNKNOWN_COMMAND).empty());
    EXPECT_EQ(1u, core.stats.made_valid);
    EXPECT_EQ(1u, core.stats.started_app);
    EXPECT_EQ(1u, core.stats.unknown);

    ASSERT_EQ(8u, core.log.size());
    EXPECT_EQ(SIM_CMD_PROGRAM, core.log[0].command);
    EXPECT_EQ((Bytes{0x02, 0x00, 0x08, 0x40, 0x11, 0x22}), core.log[0].data);
    EXPECT_EQ(UNKNOWN_COMMAND, core.log[7].command);
}

TEST_F(SimCore, CrcRunsOverAllRangesSinceTheOpeningRequest) {
    Program(0x1000, {1, 2, 3, 4});
    Program(0x2002, {5});
    // The reference: the same bytes, 0xFF where nothing was written.
    Bytes r0 = {1, 2, 3, 4, 0xFF, 0xFF};
    Bytes r1 = {0xFF, 0xFF, 5, 0xFF};
    const uint16_t one = SIM_Crc16(0xFFFF, r0.data(), r0.size());
    const uint16_t both = SIM_Crc16(one, r1.data(), r1.size());

    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_GET_CRC, {0, 0xFF, 0xFF})), Request(SIM_CMD_GET_CRC));
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_GET_CRC, Cat({0}, Le16(one)))),
              Request(SIM_CMD_GET_CRC, Cat(Le32(0x1000), Le32(6))));
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_GET_CRC, Cat({0}, Le16(both)))),
              Request(SIM_CMD_GET_CRC, Cat(Le32(0x2000), Le32(4))));
    // A new opening request starts the register again.
    Request(SIM_CMD_GET_CRC);
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_GET_CRC, Cat({0}, Le16(one)))),
              Request(SIM_CMD_GET_CRC, Cat(Le32(0x1000), Le32(6))));
}

TEST_F(SimCore, SilentLogsButAnswersNothing) {
    SIM_FAULTS f;
    f.silent = true;
    SIM_CoreSetFaults(&core, f);
    EXPECT_TRUE(Request(SIM_CMD_IDENTIFY).empty());
    EXPECT_TRUE(Program(0x100, {1}).empty());
    EXPECT_TRUE(Request(SIM_CMD_MAKE_VALID).empty());
    EXPECT_EQ(3u, core.log.size());
    EXPECT_EQ(0xFF, SIM_CoreFlashByte(&core, 0x100));
    EXPECT_FALSE(core.log.back().made_valid); // taken in, nothing made valid
    EXPECT_EQ(0u, core.stats.made_valid);

    // Silent after start: the start is still acknowledged, then the
    // application runs and nothing answers until a power cycle.
    f = SIM_FAULTS();
    f.silent_after_start = true;
    SIM_CoreSetFaults(&core, f);
    const Bytes identify = Request(SIM_CMD_IDENTIFY);
    EXPECT_FALSE(identify.empty());
    EXPECT_EQ(Bytes{SIM_ACK}, Request(SIM_CMD_START_APP));
    EXPECT_TRUE(Request(SIM_CMD_IDENTIFY).empty());
    EXPECT_TRUE(Request(SIM_CMD_START_APP).empty());
    EXPECT_EQ(7u, core.log.size());
    EXPECT_EQ(1u, core.stats.started_app);
    SIM_CoreReset(&core);
    EXPECT_EQ(identify, Request(SIM_CMD_IDENTIFY));
}

TEST_F(SimCore, DropsTheChosenAcknowledges) {
    SIM_FAULTS f;
    f.drop_ack = 2;
    f.drop_ack_count = 2;
    SIM_CoreSetFaults(&core, f);
    EXPECT_EQ(Bytes{SIM_ACK}, Request(SIM_CMD_MAKE_VALID));
    EXPECT_TRUE(Request(SIM_CMD_MAKE_VALID).empty());
    // The reply frame still comes.
    EXPECT_EQ(Reply(SIM_CMD_BLANK_CHECK, {}), Request(SIM_CMD_BLANK_CHECK));
    EXPECT_EQ(Bytes{SIM_ACK}, Request(SIM_CMD_MAKE_VALID));
    EXPECT_EQ(2u, core.stats.acks_dropped);
}

TEST_F(SimCore, RefusedBlockGetsErrorFramesWithAddressAndValue) {
    SIM_FAULTS f;
    f.nak_block = 2;
    SIM_CoreSetFaults(&core, f);
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x40080000, {1, 2, 3, 4}));
    const Bytes error = Reply(SIM_CMD_PROGRAM, Cat(Le32(0x40080004), Le32(0xFFFFFFFF)));
    EXPECT_EQ(Cat(Cat(error, error), error), Program(0x40080004, {5, 6, 7, 8}));
    EXPECT_EQ(0xFF, SIM_CoreFlashByte(&core, 0x40080004)); // not written
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x40080004, {5, 6, 7, 8}));

    f.nak_block = 1;
    f.nak_frames = 2;
    f.nak_trim_end = true;
    f.nak_address_set = true;
    f.nak_address = 0xAABBCCDD;
    f.nak_value_set = true;
    f.nak_value = 0x42;
    SIM_CoreSetFaults(&core, f);
    Bytes last = Reply(SIM_CMD_PROGRAM, Cat(Le32(0xAABBCCDD), Le32(0x42)));
    const Bytes expected = Cat(last, Bytes(last.begin(), last.end() - 1));
    EXPECT_EQ(expected, Program(0x40080000, {9}));
    // A block too short to hold an address is refused as well.
    SIM_CoreSetFaults(&core, SIM_FAULTS());
    EXPECT_EQ(3u * 17, Request(SIM_CMD_PROGRAM, {1, 2}).size());
}

TEST_F(SimCore, GarbageAndChecksumFaultsHitTheChosenReply) {
    SIM_FAULTS f;
    f.garbage_reply = 2;
    f.garbage_count = 4;
    f.garbage_byte = 0xEE;
    f.bad_checksum_reply = 3;
    SIM_CoreSetFaults(&core, f);
    const Bytes good = Request(SIM_CMD_IDENTIFY);
    EXPECT_EQ(Cat(Bytes(4, 0xEE), good), Request(SIM_CMD_IDENTIFY));
    Bytes bad = good;
    bad[bad.size() - 2] ^= 1;
    EXPECT_EQ(bad, Request(SIM_CMD_IDENTIFY));
    EXPECT_EQ(good, Request(SIM_CMD_IDENTIFY));
}

// Noise that goes with an answer: the counters are per command, 1-based and
// start when the faults are set; only a frame's first reply carries it.
TEST_F(SimCore, LineNoiseLandsWithTheChosenAnswer) {
    const Bytes identify = Request(SIM_CMD_IDENTIFY);
    const Bytes blank = Reply(SIM_CMD_BLANK_CHECK, {});
    const Bytes ack = {SIM_ACK};
    const Bytes crc_ack_reply = Request(SIM_CMD_GET_CRC);
    using NA = SIM_NOISE_AT;
    struct ROW {
        const char* what;
        SIM_NOISE noise;
        std::vector<Bytes> requests; // request frames, one answer each
        std::vector<Bytes> answers;
    };
    const Bytes id = SIM_EncodeRequest(SIM_CMD_IDENTIFY, {});
    const Bytes clear = SIM_EncodeRequest(SIM_CMD_CLEAR, {});
    const Bytes crc = SIM_EncodeRequest(SIM_CMD_GET_CRC, {});
    const Bytes block = SIM_EncodeRequest(SIM_CMD_PROGRAM, Cat(Le32(0x100), {1}));
    const Bytes valid = SIM_EncodeRequest(SIM_CMD_MAKE_VALID, {});
    Bytes split = identify;
    split.insert(split.begin() + 3, {0x68, 0x90, 0x16});
    const ROW rows[] = {
        {"break ahead of the 2nd identify reply",
         At(NA::BEFORE_REPLY, SIM_CMD_IDENTIFY, 2, {0x00}),
         {id, id, id},
         {identify, Cat({0x00}, identify), identify}},
        {"after the clear's acknowledge, ahead of its reply",
         At(NA::BEFORE_REPLY, SIM_CMD_CLEAR, 1, {0xFF}),
         {clear},
         {Cat(ack, Cat({0xFF}, blank))}},
        {"counted per command: the 2nd get CRC, not the 2nd reply",
         At(NA::BEFORE_REPLY, SIM_CMD_GET_CRC, 2, {0x16, 0x90}),
         {id, crc, crc},
         {identify, crc_ack_reply,
          Cat(ack, Cat({0x16, 0x90}, Bytes(crc_ack_reply.begin() + 1, crc_ack_reply.end())))}},
        {"ahead of the 2nd block's acknowledge",
         At(NA::BEFORE_ACK, SIM_CMD_PROGRAM, 2, {0x68}),
         {block, valid, block, block},
         {ack, ack, {0x68, SIM_ACK}, ack}},
        {"inside a reply after 3 of its bytes",
         At(NA::INSIDE_REPLY, SIM_CMD_IDENTIFY, 1, {0x68, 0x90, 0x16}, 3),
         {id, id},
         {split, identify}},
        {"an offset past the frame puts it right after",
         At(NA::INSIDE_REPLY, SIM_CMD_IDENTIFY, 1, {0x00}, 500),
         {id},
         {Cat(identify, {0x00})}},
        {"no acknowledge, no noise ahead of it",
         At(NA::BEFORE_ACK, SIM_CMD_IDENTIFY, 1, {0x00}),
         {id},
         {identify}},
    };
    for (const ROW& row : rows) {
        Noise({row.noise});
        for (size_t i = 0; i < row.requests.size(); ++i) {
            EXPECT_EQ(row.answers[i], Feed(row.requests[i])) << row.what << ", answer " << i + 1;
        }
        EXPECT_TRUE(Tick().empty()) << row.what;
    }
}

// Noise that comes by itself: out of every reset (a power-up, the vanish
// fault's return, a simulator started as a power-up) and at a moment.
TEST_F(SimCore, LineNoiseOutOfResetAndAtAMoment) {
    const Bytes banner = SIM_Banner(40, 7);
    SIM_CONFIG config;
    config.faults.noise = {At(SIM_NOISE_AT::RESET, 0, 1, banner)};
    const Bytes identify = Request(SIM_CMD_IDENTIFY);

    struct ROW {
        const char* what;
        SIM_POWER power;
        Bytes at_start; // what the first tick puts out
    };
    const ROW rows[] = {{"switched on already", SIM_POWER::ON, {}},
                        {"a power-up", SIM_POWER::POWER_UP, banner},
                        {"switched off", SIM_POWER::OFF, {}}};
    for (const ROW& row : rows) {
        config.power = row.power;
        Init(config);
        EXPECT_EQ(row.at_start, Tick()) << row.what;
        EXPECT_EQ(row.power == SIM_POWER::OFF ? Bytes{} : identify, Request(SIM_CMD_IDENTIFY))
            << row.what;
    }
    // Switched on: the banner first, then the answers; off and on again: deaf
    // while off, the flash kept.
    SIM_CorePowerOn(&core);
    EXPECT_EQ(Cat(banner, identify), Request(SIM_CMD_IDENTIFY));
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x100, {1}));
    SIM_CorePowerOff(&core);
    EXPECT_TRUE(Request(SIM_CMD_IDENTIFY).empty());
    SIM_CorePowerOn(&core);
    EXPECT_EQ(banner, Tick());
    SIM_CoreReset(&core);
    EXPECT_EQ(banner, Tick());
    EXPECT_EQ(2u, core.stats.power_cycles);
    EXPECT_EQ(3u, core.stats.noise_events);
    EXPECT_EQ(120u, core.stats.noise_bytes);

    // The vanish fault's return is a reset too, seen with or without input.
    SIM_FAULTS f = config.faults;
    f.vanish_after_blocks = 1;
    f.vanish_ms = 100;
    SIM_CoreSetFaults(&core, f, now);
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x101, {2}));
    now += 50000;
    EXPECT_TRUE(Tick().empty());
    now += 50000;
    EXPECT_EQ(banner, Tick());
    EXPECT_EQ(now, core.stats.last_fault_us);
    EXPECT_EQ(1, SIM_CoreFlashByte(&core, 0x100));

    // At a moment: once, counted from the faults' setting.
    SIM_NOISE moment = At(SIM_NOISE_AT::MOMENT, 0, 1, {0xFF, 0x00});
    moment.after_ms = 30;
    Noise({moment});
    now += 29999;
    EXPECT_TRUE(Tick().empty());
    now += 1;
    EXPECT_EQ(Cat({0xFF, 0x00}, identify), Request(SIM_CMD_IDENTIFY));
    now += 100000;
    EXPECT_TRUE(Tick().empty());
    Noise({moment});
    now += 30000;
    EXPECT_EQ((Bytes{0xFF, 0x00}), Tick());
}

TEST(SimBanner, BootTextWithTheFrameBytesButNoReplyHeader) {
    for (uint32_t length : {1u, 2u, 3u, 15u, 300u}) {
        const Bytes b = SIM_Banner(length, length);
        ASSERT_EQ(length, b.size());
        EXPECT_EQ(b, SIM_Banner(length, length)) << "the same seed, the same bytes";
        EXPECT_EQ(b.end(), std::find(b.begin(), b.end(), SIM_CTRL_REPLY)) << length;
        for (uint8_t frame_byte : {SIM_START, SIM_ACK, SIM_END}) {
            EXPECT_TRUE(length < 3 || std::find(b.begin(), b.end(), frame_byte) != b.end())
                << length << " bytes without " << int(frame_byte);
        }
    }
    EXPECT_NE(SIM_Banner(300, 1), SIM_Banner(300, 2));
}

TEST_F(SimCore, WrongCrcAndNotBlank) {
    SIM_FAULTS f;
    f.wrong_crc = true;
    f.not_blank = true;
    f.not_blank_address = 0x40081000;
    f.not_blank_value = 7;
    SIM_CoreSetFaults(&core, f);
    Request(SIM_CMD_GET_CRC);
    const Bytes ff(8, 0xFF);
    const uint16_t crc = SIM_Crc16(0xFFFF, ff.data(), ff.size()) + 1;
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_GET_CRC, Cat({0}, Le16(crc)))),
              Request(SIM_CMD_GET_CRC, Cat(Le32(0), Le32(8))));
    EXPECT_EQ(Cat({SIM_ACK}, Reply(SIM_CMD_BLANK_CHECK, Cat(Le32(0x40081000), Le32(7)))),
              Request(SIM_CMD_CLEAR));
}

TEST_F(SimCore, VanishesAfterBlocksAndComesBackResetWithFlashKept) {
    SIM_FAULTS f;
    f.vanish_after_blocks = 2;
    f.vanish_ms = 500;
    SIM_CoreSetFaults(&core, f);
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x100, {1}));
    // The acknowledge of the second block still goes; the rest of the input is lost.
    EXPECT_EQ(Bytes{SIM_ACK}, Feed(Cat(SIM_EncodeRequest(SIM_CMD_PROGRAM, Cat(Le32(0x101), {2})),
                                       SIM_EncodeRequest(SIM_CMD_IDENTIFY, {}))));
    now += 100000;
    EXPECT_TRUE(Request(SIM_CMD_IDENTIFY).empty());
    EXPECT_TRUE(Feed({0x68, 0x00}).empty()); // half a frame while away
    now += 400000;
    EXPECT_FALSE(Request(SIM_CMD_IDENTIFY).empty()); // back, and the half frame is gone
    EXPECT_EQ(1u, core.stats.power_cycles);
    EXPECT_EQ(1, SIM_CoreFlashByte(&core, 0x100));
    EXPECT_EQ(2, SIM_CoreFlashByte(&core, 0x101));
    EXPECT_EQ(Bytes{SIM_ACK}, Program(0x102, {3})); // only once
}

// The benchmarks take the line's idle time from these: a request's first
// byte, its last, and which request each answer belongs to.
TEST_F(SimCore, LogTimesEachRequestFromItsFirstByteToItsLast) {
    const Bytes a = SIM_EncodeRequest(SIM_CMD_MAKE_VALID, {});
    const Bytes b = SIM_EncodeRequest(SIM_CMD_IDENTIFY, {});
    std::vector<SIM_SEND> out;
    SIM_CoreFeed(&core, a.data(), 3, 1000, &out);
    // The rest of a, all of b and the start of a third in one piece.
    const Bytes piece = Cat(Cat(Bytes(a.begin() + 3, a.end()), b), Bytes(a.begin(), a.begin() + 2));
    SIM_CoreFeed(&core, piece.data(), piece.size(), 2000, &out);
    SIM_CoreFeed(&core, a.data() + 2, a.size() - 2, 3000, &out);
    ASSERT_EQ(3u, core.log.size());
    const uint64_t first[] = {1000, 2000, 2000};
    const uint64_t last[] = {2000, 2000, 3000};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(first[i], core.log[i].first_us) << i;
        EXPECT_EQ(last[i], core.log[i].time_us) << i;
    }
    ASSERT_EQ(3u, out.size());
    EXPECT_EQ(1u, out[1].request);
    EXPECT_EQ(2u, out[2].request);
}

// Each request's answer in its parts, timed from its arrival: at the answer
// time, a clear's and a CRC range's reply once the handheld is done, and
// requests that come meanwhile after that, in order. The faults stay with
// the bytes they act on.
TEST_F(SimCore, AnswersGoOutInPartsAtTheirPace) {
    const Bytes identify = Request(SIM_CMD_IDENTIFY);
    const Bytes ack = {SIM_ACK};
    const Bytes blank = Reply(SIM_CMD_BLANK_CHECK, {});
    const Bytes id = SIM_EncodeRequest(SIM_CMD_IDENTIFY, {});
    const Bytes clear = SIM_EncodeRequest(SIM_CMD_CLEAR, {});
    const Bytes crc = SIM_EncodeRequest(SIM_CMD_GET_CRC, {});
    const Bytes valid = SIM_EncodeRequest(SIM_CMD_MAKE_VALID, {});
    const Bytes block = SIM_EncodeRequest(SIM_CMD_PROGRAM, Cat(Le32(0x100), {1}));
    const Bytes refusal = Reply(SIM_CMD_PROGRAM, Cat(Le32(0x100), Le32(0xFFFFFF01)));
    const SIM_PACE real = SIM_RealPace();
    constexpr uint32_t ERASE_US = 3000000 + 200; // from a clear's arrival to its reply
    struct STEP {
        uint64_t after_us; // since the step before
        Bytes request;
        std::vector<PART> parts;
    };
    struct ROW {
        const char* what;
        SIM_PACE pace;
        SIM_FAULTS faults;
        std::vector<STEP> steps;
    };
    SIM_FAULTS slow;
    slow.reply_delay_ms = 25;
    SIM_FAULTS lost_ack_noisy_reply;
    lost_ack_noisy_reply.drop_ack = 1;
    lost_ack_noisy_reply.noise = {At(SIM_NOISE_AT::BEFORE_REPLY, SIM_CMD_CLEAR, 1, {0xFF}),
                                  At(SIM_NOISE_AT::BEFORE_ACK, SIM_CMD_CLEAR, 2, {0x68})};
    SIM_FAULTS refuse_second;
    refuse_second.nak_block = 2;
    const ROW rows[] = {
        {"unpaced: one piece each, at once",
         SIM_PACE(),
         {},
         {{0, clear, {{0, Cat(ack, blank)}}},
          {0, CrcRange(0x1000, 1000), {{0, Cat(ack, CrcOfErased(1000))}}}}},
        {"unpaced and slow: every answer waits",
         SIM_PACE(),
         slow,
         {{0, clear, {{25000, Cat(ack, blank)}}}, {0, id, {{25000, identify}}}}},
        {"a clear's reply after the erase, the slow fault on both parts",
         real,
         slow,
         {{0, clear, {{25200, ack}, {ERASE_US + 25000, blank}}}}},
        {"a CRC range's reply after a time that grows with the range, cut as the range is",
         real,
         {},
         {{0, crc, {{200, Cat(ack, CrcOfErased(0))}}},
          {0, CrcRange(0x1000, 1000), {{200, ack}, {1200, CrcOfErased(1000)}}},
          {2000, crc, {{200, Cat(ack, CrcOfErased(0))}}},
          {0,
           CrcRange(0, 0xFFFFFFFF),
           {{200, ack}, {200 + SIM_MAX_CRC_RANGE, CrcOfErased(SIM_MAX_CRC_RANGE)}}}}},
        {"requests behind an erase and a CRC run answered after them, in order",
         real,
         {},
         {{0, clear, {{200, ack}, {ERASE_US, blank}}},
          {1000, id, {{ERASE_US - 1000 + 200, identify}}},
          {0, valid, {{ERASE_US - 1000 + 200, ack}}},
          {1000,
           CrcRange(0x1000, 1000),
           {{ERASE_US - 2000 + 200, ack}, {ERASE_US - 800, CrcOfErased(1000)}}},
          {0, id, {{ERASE_US - 800 + 200, identify}}},
          {4000000, id, {{200, identify}}}}},
        {"a lost acknowledge leaves the reply, noise goes with its own part",
         real,
         lost_ack_noisy_reply,
         {{0, clear, {{ERASE_US, Cat({0xFF}, blank)}}},
          {4000000, clear, {{200, {0x68, SIM_ACK}}, {ERASE_US, blank}}}}},
        {"everything else at the answer time",
         real,
         refuse_second,
         {{0, SIM_EncodeRequest(SIM_CMD_BLANK_CHECK, {}), {{200, Cat(ack, blank)}}},
          {0, block, {{200, ack}}},
          {0, block, {{200, Cat(Cat(refusal, refusal), refusal)}}},
          {0, valid, {{200, ack}}},
          {0, SIM_EncodeRequest(SIM_CMD_START_APP, {}), {{200, ack}}}}},
    };
    for (const ROW& row : rows) {
        SIM_CONFIG config;
        config.pace = row.pace;
        config.faults = row.faults;
        Init(config);
        for (size_t i = 0; i < row.steps.size(); ++i) {
            now += row.steps[i].after_us;
            const std::vector<SIM_SEND> out = Sends(row.steps[i].request);
            EXPECT_EQ(row.steps[i].parts, Parts(out)) << row.what << ", request " << i + 1;
            for (const SIM_SEND& s : out) {
                EXPECT_EQ(core.log.size() - 1, s.request) << row.what << ", request " << i + 1;
            }
        }
    }
}

// The handheld resets part-way into a program request: the request is lost,
// the boot banner goes out at once, the rest of its bytes are junk to the
// boot loader just come up, and what follows is handled as usual. Fed a byte
// at a time or in one piece, the same.
TEST_F(SimCore, ResetInAProgramRequestLosesItOnce) {
    const Bytes banner = SIM_Banner(30, 3);
    const Bytes ack = {SIM_ACK};
    const Bytes opening = Cat(SIM_EncodeRequest(SIM_CMD_GET_CRC, {}), CrcRange(0x100, 4));
    const Bytes block1 = SIM_EncodeRequest(SIM_CMD_PROGRAM, Cat(Le32(0x100), {1, 2, 3}));
    const Bytes block2 = SIM_EncodeRequest(SIM_CMD_PROGRAM, Cat(Le32(0x200), {0x68, 0x68, 5}));
    const Bytes id = SIM_EncodeRequest(SIM_CMD_IDENTIFY, {});
    const Bytes input = Cat(Cat(Cat(opening, block1), block2), id);
    const Bytes identify = Request(SIM_CMD_IDENTIFY);
    SIM_CONFIG config;
    config.pace.answer_us = 200;
    config.pace.crc_ns_per_byte = 250000; // busy 1 ms over the range, not after the reset
    config.faults.noise = {At(SIM_NOISE_AT::RESET, 0, 1, banner)};
    config.faults.reset_in_block = 2;
    for (uint32_t after_bytes : {0u, 12u, UINT32_MAX}) {
        const size_t cut = std::min<size_t>(std::max<uint32_t>(after_bytes, 7), block2.size());
        for (bool bytewise : {true, false}) {
            const std::string what =
                std::to_string(after_bytes) + (bytewise ? " bytewise" : " whole");
            config.faults.reset_after_bytes = after_bytes;
            Init(config);
            std::vector<SIM_SEND> out;
            size_t banner_at = 0;
            if (bytewise) {
                for (size_t i = 0; i < input.size(); ++i) {
                    const size_t before = out.size();
                    SIM_CoreFeed(&core, &input[i], 1, now, &out);
                    for (size_t j = before; j < out.size(); ++j) {
                        banner_at = out[j].bytes == banner ? i : banner_at;
                    }
                }
                EXPECT_EQ(opening.size() + block1.size() + cut - 1, banner_at) << what;
            } else {
                out = Sends(input);
            }
            const std::vector<PART> expected = {{200, Cat(ack, CrcOfErased(0))},
                                                {200, ack},
                                                {1200, CrcOfErased(4)},
                                                {1400, ack},
                                                {0, banner},
                                                {200, identify}};
            EXPECT_EQ(expected, Parts(out)) << what;
            ASSERT_EQ(4u, core.log.size()) << what << ": the lost block is not logged";
            EXPECT_EQ(SIM_CMD_PROGRAM, core.log[2].command) << what;
            EXPECT_EQ(SIM_CMD_IDENTIFY, core.log[3].command) << what;
            EXPECT_EQ(0xFF, SIM_CoreFlashByte(&core, 0x200)) << what;
            EXPECT_EQ(0xFFFF, core.crc_reg) << what;
            // Each byte after the cut is skipped once, as junk or a false start.
            EXPECT_EQ(block2.size() - cut, core.stats.junk_bytes + core.stats.bad_frames) << what;
            EXPECT_EQ(1u, core.stats.resets) << what;
            EXPECT_EQ(now, core.stats.last_fault_us) << what;
            // Sent again, the block is the second program request once more,
            // and the fault has fired.
            EXPECT_EQ((std::vector<PART>{{200, ack}}), Parts(Sends(block2))) << what;
            EXPECT_EQ(0x68, SIM_CoreFlashByte(&core, 0x200)) << what;
        }
    }
}

// Make valid records the CRC over the declared ranges of the flash as it is
// then, 0xFF where nothing was written: what a campaign holds against the
// image's.
TEST_F(SimCore, MakeValidRecordsTheFlashCrc) {
    SIM_CONFIG config;
    config.crc_start[0] = 0x0FFE; // across a page's end
    config.crc_length[0] = 6;
    config.crc_start[1] = 0x3000;
    config.crc_length[1] = 3;
    const Bytes range0 = {1, 2, 3, 4, 5, 6};
    const Bytes range1 = {7, 8, 9};
    struct ROW {
        const char* what;
        uint32_t length1;
        bool long_form;
        bool write_range1;
        Bytes covered; // the bytes the CRC runs over
    };
    const ROW rows[] = {
        {"all written", 3, true, true, Cat(range0, range1)},
        {"range 1 never written", 3, true, false, Cat(range0, Bytes(3, 0xFF))},
        {"range 1 of length 0", 0, true, true, range0},
        {"the short form declares range 0 only", 3, false, true, range0},
    };
    for (const ROW& row : rows) {
        config.crc_length[1] = row.length1;
        config.long_form = row.long_form;
        Init(config);
        Program(0x0FFE, range0);
        if (row.write_range1) {
            Program(0x3000, range1);
        }
        Request(SIM_CMD_MAKE_VALID);
        EXPECT_TRUE(core.log.back().made_valid) << row.what;
        EXPECT_EQ(SIM_Crc16(0xFFFF, row.covered.data(), row.covered.size()),
                  core.log.back().flash_crc)
            << row.what;
    }
}

} // namespace
