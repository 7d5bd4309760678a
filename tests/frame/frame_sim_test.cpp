// The link layer against the simulated boot loader on the far end of a
// virtual cable: each side has its own frame code, so these cases catch a
// fault on either side. Also the simulator's line behaviour (faults, pacing)
// and its standalone program.
#include "com/com.h"
#include "target/frame.h"
#include "tests/support/bytes.h"
#include "tests/support/testbench.h"
#include "tools/sim/sim.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int UPDATER_PORT = 11;
constexpr int SIM_PORT = 12;

void Drain() {
    uint8_t junk[512];
    while (COM_Read(junk, sizeof junk, 50) != 0) {
    }
}

class FrameSim : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ASSERT_TRUE(TESTBENCH_UpdaterCable(UPDATER_PORT, SIM_PORT)); }
    static void TearDownTestSuite() {
        COM_Close();
        TESTBENCH_Reset();
    }
    void TearDown() override {
        SIM_Destroy(sim);
        sim = nullptr;
        Drain();
    }
    void Start(const SIM_CONFIG& config = SIM_CONFIG()) {
        Drain();
        sim = SIM_Create(config);
        ASSERT_TRUE(SIM_Start(sim, TESTBENCH_PortPath(SIM_PORT).c_str()));
    }
    void Faults(const SIM_FAULTS& f) { SIM_SetFaults(sim, f); }
    // A program request sent once, as the programming job sends it; its acknowledge read.
    static int32_t SendBlock(const Bytes& block) {
        FRAME_Send(static_cast<uint8_t>(block.size()), block.data(), SIM_CMD_PROGRAM);
        uint8_t byte = 0;
        return FRAME_ReadAck(&byte);
    }

    SIM* sim = nullptr;
    uint8_t buffer[500] = {};
};

TEST_F(FrameSim, IdentifyProgramAndCrcRoundTrips) {
    SIM_CONFIG c;
    c.text1 = "BL";
    c.text2 = "Handheld";
    c.crc_start[0] = 0x40080000;
    c.crc_length[0] = 300;
    c.crc_start[1] = 0x40090000;
    c.crc_length[1] = 8;
    Start(c);

    uint32_t length = 0;
    ASSERT_EQ(0, FRAME_Exchange(0, nullptr, SIM_CMD_IDENTIFY, buffer, 200, &length));
    EXPECT_EQ(2u + 8 + 23, length);
    EXPECT_EQ(0, buffer[7]);
    EXPECT_EQ("BL", std::string(reinterpret_cast<char*>(buffer) + 13, 2));
    EXPECT_EQ("Handheld", std::string(reinterpret_cast<char*>(buffer) + 16, 8));
    EXPECT_EQ(0x40080000u, GetLe32(buffer + 24));
    EXPECT_EQ(8u, GetLe32(buffer + 36));

    // A program-sized request: address, then 236 bytes.
    Bytes block = Le32(0x40080000);
    for (int i = 0; i < 236; ++i) {
        block.push_back(static_cast<uint8_t>(i * 7));
    }
    ASSERT_EQ(0, FRAME_Command(240, block.data(), SIM_CMD_PROGRAM));
    ASSERT_EQ(0, FRAME_Command(0, nullptr, SIM_CMD_MAKE_VALID));
    const std::vector<SIM_REQUEST> log = SIM_GetRequests(sim);
    ASSERT_EQ(3u, log.size());
    EXPECT_EQ(SIM_CMD_PROGRAM, log[1].command);
    EXPECT_EQ(block, log[1].data);
    EXPECT_EQ(1u, SIM_GetStats(sim).made_valid);
    EXPECT_EQ(7 * 235 % 256, SIM_ReadFlash(sim, 0x40080000 + 235));
    EXPECT_EQ(0xFF, SIM_ReadFlash(sim, 0x40080000 + 236));

    // Get CRC as the worker asks for it: opening request, then each range.
    Bytes expected(block.begin() + 4, block.end());
    expected.resize(300, 0xFF);
    expected.resize(308, 0xFF);
    const uint16_t crc = SIM_Crc16(0xFFFF, expected.data(), expected.size());
    ASSERT_EQ(0, FRAME_Command(0, nullptr, SIM_CMD_GET_CRC));
    ASSERT_EQ(0, FRAME_Receive(buffer, 1000, nullptr));
    for (int r = 0; r < 2; ++r) {
        const Bytes range = Cat(Le32(c.crc_start[r]), Le32(c.crc_length[r]));
        ASSERT_EQ(0, FRAME_Command(8, range.data(), SIM_CMD_GET_CRC));
        ASSERT_EQ(0, FRAME_Receive(buffer, 1000, &length));
    }
    EXPECT_EQ(SIM_CMD_GET_CRC, buffer[6]);
    EXPECT_EQ(crc, GetLe16(buffer + 8));
}

TEST_F(FrameSim, LostAcknowledgeMakesTheCommandSendAgain) {
    SIM_CONFIG c;
    c.faults.drop_ack = 1;
    Start(c);
    const uint32_t t0 = GetTickCount();
    EXPECT_EQ(0, FRAME_Command(0, nullptr, SIM_CMD_START_APP));
    EXPECT_GE(GetTickCount() - t0, 900u);
    EXPECT_EQ(2u, SIM_CountRequests(sim, 7));
    EXPECT_EQ(2u, SIM_GetStats(sim).started_app);
}

TEST_F(FrameSim, SilentTargetGetsTwoIdentifyRequests) {
    SIM_CONFIG c;
    c.faults.silent = true;
    Start(c);
    EXPECT_EQ(1, FRAME_Exchange(0, nullptr, SIM_CMD_IDENTIFY, buffer, 50, nullptr));
    Sleep(100);
    EXPECT_EQ(2u, SIM_CountRequests(sim, 0));
}

TEST_F(FrameSim, GarbageAndBadChecksumCostARead) {
    SIM_CONFIG c;
    c.faults.garbage_reply = 1;
    c.faults.garbage_count = 7;
    Start(c);
    // The garbage is skipped on the way to the reply: one send.
    EXPECT_EQ(0, FRAME_Exchange(0, nullptr, SIM_CMD_IDENTIFY, buffer, 200, nullptr));
    EXPECT_EQ(1u, SIM_CountRequests(sim, 0));

    SIM_FAULTS f;
    f.bad_checksum_reply = 1;
    Faults(f);
    SIM_ClearRequests(sim);
    EXPECT_EQ(0, FRAME_Exchange(0, nullptr, SIM_CMD_IDENTIFY, buffer, 200, nullptr));
    EXPECT_EQ(2u, SIM_CountRequests(sim, 0));
}

// The refusal as the programming job reads it: the acknowledge read takes two
// error frames, one more is read without its start byte taken first.
TEST_F(FrameSim, RefusedBlockGivesTheProgrammingJobAnAddressAndValue) {
    SIM_CONFIG c;
    c.faults.nak_block = 1;
    c.faults.nak_value_set = true;
    c.faults.nak_value = 0x3C;
    Start(c);
    const Bytes block = Cat(Le32(0x40080010), Bytes(16, 0x11));
    EXPECT_EQ(1, SendBlock(block));
    FRAME_ReceiveRest(buffer, 1000);
    EXPECT_EQ(0x40080010u, GetLe32(buffer + 7));
    EXPECT_EQ(0x3C, buffer[11]);
    // The last frame's end byte is still on the line: noise ahead of the
    // acknowledge of the job's final send of the same block.
    EXPECT_EQ(0, SendBlock(block));
    EXPECT_EQ(0x11, SIM_ReadFlash(sim, 0x40080010));
    Drain();

    // Without that end byte the line is clean and the resend is acknowledged.
    c.faults.nak_trim_end = true;
    Faults(c.faults);
    EXPECT_EQ(1, SendBlock(block));
    std::memset(buffer, 0, sizeof buffer);
    FRAME_ReceiveRest(buffer, 1000);
    EXPECT_EQ(0x40080010u, GetLe32(buffer + 7));
    EXPECT_EQ(0, SendBlock(block));
}

TEST_F(FrameSim, VanishedTargetComesBackAfterItsTime) {
    SIM_CONFIG c;
    c.faults.vanish_after_blocks = 1;
    c.faults.vanish_ms = 4500;
    Start(c);
    const Bytes block = Cat(Le32(0x100), Bytes(4, 0x22));
    const uint32_t t0 = GetTickCount();
    EXPECT_EQ(0, FRAME_Command(8, block.data(), SIM_CMD_PROGRAM));
    EXPECT_EQ(1, FRAME_Command(8, block.data(), SIM_CMD_PROGRAM)); // three sends into nothing
    while (GetTickCount() - t0 < 4700) {
        Sleep(50);
    }
    EXPECT_EQ(0, FRAME_Exchange(0, nullptr, SIM_CMD_IDENTIFY, buffer, 200, nullptr));
    EXPECT_EQ(1u, SIM_GetStats(sim).power_cycles);
    EXPECT_EQ(0x22, SIM_ReadFlash(sim, 0x103));
}

TEST_F(FrameSim, SlowAndPacedAnswersTakeTheirTime) {
    SIM_CONFIG c;
    c.faults.reply_delay_ms = 250;
    Start(c);
    uint32_t t0 = GetTickCount();
    EXPECT_EQ(0, FRAME_Command(0, nullptr, SIM_CMD_MAKE_VALID));
    EXPECT_GE(GetTickCount() - t0, 240u);
    SIM_Destroy(sim);
    sim = nullptr;

    // 249 bytes in and one out at 11 bits a byte: at least 23.9 ms.
    c = SIM_CONFIG();
    c.baud_rate = 115200;
    Start(c);
    const Bytes block = Cat(Le32(0), Bytes(236, 0x5A));
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    EXPECT_EQ(0, FRAME_Command(240, block.data(), SIM_CMD_PROGRAM));
    QueryPerformanceCounter(&b);
    EXPECT_GE((b.QuadPart - a.QuadPart) * 1000000 / f.QuadPart, 23000);
}

#ifdef TW_SIM_EXE
TEST_F(FrameSim, StandaloneProgramAnswersAndReports) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string summary = std::string(dir) + "tw_sim_summary.txt";
    const std::string flash = std::string(dir) + "tw_sim_flash.s19";
    DeleteFileA(summary.c_str());
    std::string exe = TW_SIM_EXE;
    for (char& ch : exe) {
        ch = ch == '/' ? '\\' : ch;
    }
    std::string cmd = "\"" + exe + "\" --port COM" + std::to_string(SIM_PORT) +
                      " --text2 Standalone --exit-on-start --max-time 20000" + " --summary \"" +
                      summary + "\" --flash \"" + flash + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(
        CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    // It answers once it has opened the port.
    uint32_t length = 0;
    int tries = 0;
    while (FRAME_Exchange(0, nullptr, SIM_CMD_IDENTIFY, buffer, 100, &length) != 0 &&
           ++tries < 50) {
    }
    EXPECT_EQ("Standalone",
              std::string(reinterpret_cast<char*>(buffer) + 7 + 5 + 1 + buffer[12] + 1, 10));
    const Bytes block = Cat(Le32(0x40080000), {0xDE, 0xAD, 0xBE, 0xEF});
    EXPECT_EQ(0, FRAME_Command(8, block.data(), SIM_CMD_PROGRAM));
    EXPECT_EQ(0, FRAME_Command(0, nullptr, SIM_CMD_START_APP));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(pi.hProcess, 10000));
    DWORD code = 99;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    std::ifstream in(summary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(std::string::npos, text.str().find("program 1, make valid 0")) << text.str();
    EXPECT_NE(std::string::npos, text.str().find("start application 1")) << text.str();
    std::ifstream s19(flash);
    std::string line;
    std::getline(s19, line);
    EXPECT_EQ(0u, line.find("S31540080000DEADBEEFFFFF")) << line;
}
#endif

} // namespace
