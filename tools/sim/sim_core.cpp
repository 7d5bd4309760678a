// The simulated boot loader's logic: request parser, command handlers, flash
// model and faults. No platform calls, so it also builds natively.
#include "tools/sim/sim.h"

#include <algorithm>
#include <cstdio>

#include "target/le.h" // the byte codec only; frames and CRC stay the simulator's own

namespace {

struct CrcTable {
    uint16_t entry[256];
    CrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t reg = i << 8;
            for (int bit = 0; bit < 8; ++bit) {
                reg = (reg & 0x8000) ? ((reg << 1) ^ 0x1021) : (reg << 1);
            }
            entry[i] = static_cast<uint16_t>(reg);
        }
    }
};

const CrcTable& Table() {
    static const CrcTable table;
    return table;
}

void PutLe32(std::vector<uint8_t>* out, uint32_t value) {
    uint8_t bytes[4];
    LE_Write32(bytes, value);
    out->insert(out->end(), bytes, bytes + sizeof bytes);
}

bool InRange(uint32_t seq, uint32_t first, uint32_t count) {
    return first != 0 && seq >= first && seq - first < count;
}

void WriteFlash(SIM_CORE* core, uint32_t address, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count;) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        const uint32_t base = a - a % SIM_PAGE_SIZE;
        auto it = core->flash.find(base);
        if (it == core->flash.end()) {
            it = core->flash.emplace(base, std::array<uint8_t, SIM_PAGE_SIZE>()).first;
            it->second.fill(0xFF);
        }
        const size_t run = std::min<size_t>(count - i, SIM_PAGE_SIZE - (a - base));
        std::copy(bytes + i, bytes + i + run, it->second.begin() + (a - base));
        i += run;
    }
    core->stats.bytes_programmed += count;
}

uint32_t FlashWord(const SIM_CORE* core, uint32_t address) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(SIM_CoreFlashByte(core, address + i)) << (8 * i);
    }
    return value;
}

uint16_t CrcOverFlash(const SIM_CORE* core, uint16_t reg, uint32_t start, uint32_t length) {
    static const std::array<uint8_t, SIM_PAGE_SIZE> erased = [] {
        std::array<uint8_t, SIM_PAGE_SIZE> a;
        a.fill(0xFF);
        return a;
    }();
    length = std::min(length, SIM_MAX_CRC_RANGE);
    uint32_t a = start;
    while (length > 0) {
        const uint32_t base = a - a % SIM_PAGE_SIZE;
        const uint32_t run = std::min<uint32_t>(length, SIM_PAGE_SIZE - (a - base));
        const auto it = core->flash.find(base);
        const uint8_t* p = it == core->flash.end() ? erased.data() : it->second.data() + (a - base);
        reg = SIM_Crc16(reg, p, run);
        a += run;
        length -= run;
    }
    return reg;
}

// The CRC over the ranges the handheld declares, as the updater asks for them
// (range 1 only in the long form and where its length is not 0).
uint16_t CrcOverRanges(const SIM_CORE* core) {
    const SIM_CONFIG& c = core->config;
    uint16_t reg = CrcOverFlash(core, 0xFFFF, c.crc_start[0], c.crc_length[0]);
    if (c.long_form && c.crc_length[1] != 0) {
        reg = CrcOverFlash(core, reg, c.crc_start[1], c.crc_length[1]);
    }
    return reg;
}

// A fault acted on the line at now_us (a clock that starts at 0 still counts).
void Fault(SIM_CORE* core, uint64_t now_us) {
    core->stats.last_fault_us = now_us == 0 ? 1 : now_us;
}

void PutNoise(SIM_CORE* core, const SIM_NOISE& noise, std::vector<uint8_t>* out, size_t at) {
    out->insert(out->begin() + static_cast<std::ptrdiff_t>(at), noise.bytes.begin(),
                noise.bytes.end());
    ++core->stats.noise_events;
    core->stats.noise_bytes += static_cast<uint32_t>(noise.bytes.size());
}

// One answer being put together: acknowledges and frames with the faults
// applied, in parts that go out at their own times.
struct Answer {
    SIM_CORE* core;
    uint64_t now_us;
    uint8_t command;     // of the request being answered
    uint32_t seq;        // its number among the requests of that command
    uint64_t at_us = 0;  // when the part being put together goes out, from now_us
    uint32_t frames = 0; // reply frames put together so far
    std::vector<uint8_t> bytes;
    std::vector<SIM_SEND> parts;

    Answer(SIM_CORE* c, uint64_t now, uint8_t cmd, uint32_t n)
        : core(c), now_us(now), command(cmd), seq(n) {}

    bool Hits(const SIM_NOISE& n, SIM_NOISE_AT at) const {
        return n.at == at && n.command == command && n.nth == seq;
    }

    // What follows goes out us after what came before; at no wait it stays
    // in the same part, so an unpaced answer is one piece as it always was.
    void Wait(uint64_t us) {
        if (us != 0) {
            EndPart();
            at_us += us;
        }
    }

    void EndPart() {
        if (bytes.empty()) {
            return;
        }
        SIM_SEND send;
        send.delay_us = static_cast<uint32_t>(std::min<uint64_t>(at_us, UINT32_MAX));
        send.bytes = std::move(bytes);
        send.request = core->log.size() - 1;
        parts.push_back(std::move(send));
        bytes.clear();
    }

    void Ack() {
        const uint32_t seq_all = ++core->ack_seq;
        if (InRange(seq_all, core->config.faults.drop_ack, core->config.faults.drop_ack_count)) {
            ++core->stats.acks_dropped;
            Fault(core, now_us);
            return;
        }
        for (const SIM_NOISE& n : core->config.faults.noise) {
            if (Hits(n, SIM_NOISE_AT::BEFORE_ACK)) {
                PutNoise(core, n, &bytes, bytes.size());
                Fault(core, now_us);
            }
        }
        bytes.push_back(SIM_ACK);
        ++core->stats.acks_sent;
        core->log.back().acknowledged = true;
        for (const SIM_NOISE& n : core->config.faults.noise) {
            if (Hits(n, SIM_NOISE_AT::AFTER_ACK)) {
                PutNoise(core, n, &bytes, bytes.size());
                Fault(core, now_us);
            }
        }
    }

    void Frame(uint8_t reply_command, const std::vector<uint8_t>& payload, bool trim_end = false) {
        const SIM_FAULTS& f = core->config.faults;
        const uint32_t seq_all = ++core->reply_seq;
        if (f.garbage_every || (f.garbage_reply != 0 && seq_all == f.garbage_reply)) {
            bytes.insert(bytes.end(), f.garbage_count, f.garbage_byte);
            Fault(core, now_us);
        }
        std::vector<uint8_t> frame =
            SIM_EncodeFrame(SIM_CTRL_REPLY, reply_command, payload.data(), payload.size());
        if (f.bad_checksum_every ||
            (f.bad_checksum_reply != 0 && seq_all == f.bad_checksum_reply)) {
            frame[frame.size() - 2] ^= 0x01;
            Fault(core, now_us);
        }
        if (trim_end) {
            frame.pop_back();
        }
        // Noise goes with the first frame of an answer: the reply, or the
        // first of a refusal's error frames.
        for (const SIM_NOISE& n : f.noise) {
            if (frames == 0 && Hits(n, SIM_NOISE_AT::BEFORE_REPLY)) {
                PutNoise(core, n, &bytes, bytes.size());
                Fault(core, now_us);
            } else if (frames == 0 && Hits(n, SIM_NOISE_AT::INSIDE_REPLY)) {
                PutNoise(core, n, &frame, std::min<size_t>(n.offset, frame.size()));
                Fault(core, now_us);
            }
        }
        ++frames;
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        ++core->stats.replies_sent;
    }
};

std::vector<uint8_t> IdentifyPayload(const SIM_CONFIG& c) {
    // Texts are cut so that the reply fits in one frame.
    const size_t len1 = std::min<size_t>(c.text1.size(), 100);
    const size_t len2 = std::min<size_t>(c.text2.size(), 255 - 23 - len1);
    std::vector<uint8_t> p;
    p.push_back(c.status);
    PutLe32(&p, c.target_value);
    p.push_back(static_cast<uint8_t>(len1));
    p.insert(p.end(), c.text1.begin(), c.text1.begin() + len1);
    p.push_back(static_cast<uint8_t>(len2));
    p.insert(p.end(), c.text2.begin(), c.text2.begin() + len2);
    PutLe32(&p, c.crc_start[0]);
    PutLe32(&p, c.crc_length[0]);
    if (c.long_form) {
        PutLe32(&p, c.crc_start[1]);
        PutLe32(&p, c.crc_length[1]);
    }
    return p;
}

std::vector<uint8_t> BlankReply(SIM_CORE* core, uint64_t now_us) {
    std::vector<uint8_t> p;
    const SIM_FAULTS& f = core->config.faults;
    if (f.not_blank) {
        Fault(core, now_us);
        PutLe32(&p, f.not_blank_address);
        PutLe32(&p, f.not_blank_value);
        return p;
    }
    for (const auto& page : core->flash) {
        for (uint32_t i = 0; i < SIM_PAGE_SIZE; ++i) {
            if (page.second[i] != 0xFF) {
                PutLe32(&p, page.first + i);
                PutLe32(&p, FlashWord(core, page.first + i));
                return p;
            }
        }
    }
    return p;
}

void CrcReply(SIM_CORE* core, Answer* answer) {
    uint16_t crc = core->crc_reg;
    if (core->config.faults.wrong_crc) {
        crc = static_cast<uint16_t>(crc + 1);
    }
    core->stats.last_crc = crc;
    uint8_t bytes[2];
    LE_Write16(bytes, crc);
    if (core->config.faults.wrong_crc) {
        Fault(core, answer->now_us);
    }
    answer->Frame(SIM_CMD_GET_CRC, {0x00, bytes[0], bytes[1]});
}

// Returns false when the request put the target out of reach (vanish fault).
// The state changes at once; only the answers wait for the pace.
bool Handle(SIM_CORE* core, uint8_t command, const uint8_t* data, size_t length, uint64_t now_us,
            uint64_t first_us, std::vector<SIM_SEND>* out) {
    SIM_REQUEST request;
    request.command = command;
    request.data.assign(data, data + length);
    request.time_us = now_us;
    request.first_us = first_us;
    core->log.push_back(std::move(request));
    ++core->stats.requests;
    const uint32_t seq = command < core->request_seq.size() ? ++core->request_seq[command] : 0;

    const SIM_FAULTS& f = core->config.faults;
    if (f.silent || core->in_application) {
        return true;
    }
    // A request that came while the handheld was erasing or computing is
    // taken up once it is done. The slow fault delays every answer alike
    // but keeps the handheld no busier.
    const SIM_PACE& pace = core->config.pace;
    const uint64_t start = std::max(now_us, core->busy_until_us);
    Answer answer(core, now_us, command, seq);
    answer.at_us = start - now_us + pace.answer_us + static_cast<uint64_t>(f.reply_delay_ms) * 1000;
    uint64_t work_us = 0; // from the acknowledge to the reply, busy meanwhile
    bool reachable = true;
    switch (command) {
    case SIM_CMD_IDENTIFY:
        answer.Frame(SIM_CMD_IDENTIFY, IdentifyPayload(core->config));
        break;
    case SIM_CMD_CLEAR:
        ++core->stats.clears;
        SIM_CoreErase(core);
        answer.Ack();
        work_us = static_cast<uint64_t>(pace.erase_ms) * 1000;
        answer.Wait(work_us);
        answer.Frame(SIM_CMD_BLANK_CHECK, BlankReply(core, now_us));
        break;
    case SIM_CMD_BLANK_CHECK:
        answer.Ack();
        answer.Frame(SIM_CMD_BLANK_CHECK, BlankReply(core, now_us));
        break;
    case SIM_CMD_PROGRAM: {
        ++core->stats.program_requests;
        const uint32_t block = ++core->program_seq;
        if (length < 4 || InRange(block, f.nak_block, f.nak_count)) {
            // Refused: error frames instead of the acknowledge, each naming
            // the block's address and the flash word found there.
            ++core->stats.naks;
            Fault(core, now_us);
            const uint32_t address = length >= 4 ? LE_Read32(data) : 0;
            std::vector<uint8_t> p;
            PutLe32(&p, f.nak_address_set ? f.nak_address : address);
            PutLe32(&p, f.nak_value_set ? f.nak_value : FlashWord(core, address));
            for (uint32_t i = 0; i < f.nak_frames; ++i) {
                answer.Frame(SIM_CMD_PROGRAM, p, f.nak_trim_end && i + 1 == f.nak_frames);
            }
            break;
        }
        WriteFlash(core, LE_Read32(data), data + 4, length - 4);
        answer.Ack();
        if (!core->vanish_done && f.vanish_after_blocks != 0 && block >= f.vanish_after_blocks) {
            Fault(core, now_us);
            core->vanish_done = true;
            core->vanished = true;
            core->vanish_until_us = now_us + static_cast<uint64_t>(f.vanish_ms) * 1000;
            reachable = false;
        }
        break;
    }
    case SIM_CMD_MAKE_VALID:
        ++core->stats.made_valid;
        core->log.back().made_valid = true;
        core->log.back().flash_crc = CrcOverRanges(core);
        answer.Ack();
        break;
    case SIM_CMD_GET_CRC:
        if (f.crc_refused_before_valid && core->stats.made_valid == 0) {
            Fault(core, now_us);
            answer.Frame(SIM_CMD_GET_CRC, {});
            break;
        }
        if (length == 0) {
            core->crc_reg = 0xFFFF;
        } else if (length == 8) {
            const uint32_t range = std::min(LE_Read32(data + 4), SIM_MAX_CRC_RANGE);
            core->crc_reg = CrcOverFlash(core, core->crc_reg, LE_Read32(data), range);
            work_us = static_cast<uint64_t>(pace.crc_ns_per_byte) * range / 1000;
        } else {
            ++core->stats.unknown;
            break;
        }
        answer.Ack();
        answer.Wait(work_us);
        CrcReply(core, &answer);
        break;
    case SIM_CMD_START_APP:
        ++core->stats.started_app;
        answer.Ack();
        core->in_application = f.silent_after_start;
        break;
    default:
        ++core->stats.unknown;
        break;
    }
    if (work_us != 0) {
        core->busy_until_us = start + pace.answer_us + work_us;
    }
    answer.EndPart();
    for (SIM_SEND& part : answer.parts) {
        out->push_back(std::move(part));
    }
    return reachable;
}

// Out of reset: the line and CRC state as after power-up, back in the boot
// loader, no longer busy; the RESET noise is due on the line.
void Restart(SIM_CORE* core, uint64_t now_us) {
    core->crc_reg = 0xFFFF;
    core->in_application = false;
    core->busy_until_us = now_us;
    for (const SIM_NOISE& n : core->config.faults.noise) {
        if (n.at == SIM_NOISE_AT::RESET) {
            PutNoise(core, n, &core->unsolicited, core->unsolicited.size());
        }
    }
}

// What is due on the line unasked goes out now.
void SendUnsolicited(SIM_CORE* core, uint64_t now_us, std::vector<SIM_SEND>* out) {
    if (!core->unsolicited.empty()) {
        Fault(core, now_us);
        SIM_SEND send;
        send.bytes.swap(core->unsolicited);
        out->push_back(std::move(send));
    }
}

// The reset fault: the number of bytes of the request at f (a valid header,
// avail bytes held from it) that the handheld takes in before it resets, or 0
// while it does not. A request's number is known only once it is handled, so
// the one being taken in is the one after the last handled.
size_t ResetCut(const SIM_CORE* core, const uint8_t* f, size_t avail) {
    const SIM_FAULTS& faults = core->config.faults;
    if (core->reset_done || faults.reset_in_block == 0 ||
        core->program_seq + 1 != faults.reset_in_block || avail < 7 || f[4] != 0x00 ||
        f[5] != 0x00 || f[6] != SIM_CMD_PROGRAM) {
        return 0;
    }
    const size_t cut =
        std::min<size_t>(std::max<uint32_t>(faults.reset_after_bytes, 7), f[1] + size_t{9});
    return avail >= cut ? cut : 0;
}

} // namespace

uint16_t SIM_Crc16(uint16_t reg, const uint8_t* bytes, size_t count) {
    const CrcTable& t = Table();
    for (size_t i = 0; i < count; ++i) {
        reg = static_cast<uint16_t>(((reg << 8) | bytes[i]) ^ t.entry[reg >> 8]);
    }
    return reg;
}

std::vector<uint8_t> SIM_EncodeFrame(uint8_t control, uint8_t command, const uint8_t* data,
                                     size_t length) {
    length = std::min<size_t>(length, 255);
    std::vector<uint8_t> f = {SIM_START,
                              static_cast<uint8_t>(length),
                              static_cast<uint8_t>(length),
                              SIM_START,
                              control,
                              0x00,
                              command};
    uint32_t sum = control + command;
    for (size_t i = 0; i < length; ++i) {
        f.push_back(data[i]);
        sum += data[i];
    }
    f.push_back(static_cast<uint8_t>(sum));
    f.push_back(SIM_END);
    return f;
}

std::vector<uint8_t> SIM_EncodeRequest(uint8_t command, const std::vector<uint8_t>& data) {
    return SIM_EncodeFrame(0x00, command, data.data(), data.size());
}

std::vector<uint8_t> SIM_Banner(uint32_t length, uint32_t seed) {
    static const char* const kLines[] = {
        "Tidewell boot loader 2.4\r\n", "hw rev C, flash 2048k\r\n", "checking flash... ", "ok\r\n",
        "hold button for menu\r\n",     "ch 0 115200 8O1\r\n",
    };
    // Glitches among the text; never 0x80.
    static const uint8_t kGlitches[] = {SIM_ACK, SIM_END, 0x00, 0xFF};
    uint32_t state = seed == 0 ? 0x9E3779B9u : seed;
    auto next = [&state] { // xorshift32: the same on every platform
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    // From three bytes on, the three frame bytes go in at chosen places.
    const uint32_t text_length = length >= 3 ? length - 3 : length;
    std::vector<uint8_t> banner;
    const char* line = kLines[next() % 6];
    while (banner.size() < text_length) {
        if (*line == '\0') {
            line = kLines[next() % 6];
        }
        const uint8_t c = static_cast<uint8_t>(*line++);
        banner.push_back(next() % 12 == 0 ? kGlitches[next() % 4] : c);
    }
    if (length >= 3) {
        for (uint8_t b : {SIM_START, SIM_ACK, SIM_END}) {
            const size_t at = next() % (banner.size() + 1);
            banner.insert(banner.begin() + static_cast<std::ptrdiff_t>(at), b);
        }
    }
    return banner;
}

SIM_PACE SIM_RealPace() {
    SIM_PACE pace;
    pace.answer_us = 200;
    pace.erase_ms = 3000;
    pace.crc_ns_per_byte = 1000;
    return pace;
}

void SIM_CoreInit(SIM_CORE* core, const SIM_CONFIG& config) {
    *core = SIM_CORE();
    SIM_CoreSetFaults(core, config.faults);
    core->config = config;
    if (config.power == SIM_POWER::POWER_UP) {
        SIM_CoreReset(core);
    } else if (config.power == SIM_POWER::OFF) {
        SIM_CorePowerOff(core);
    }
}

void SIM_CoreErase(SIM_CORE* core) {
    core->flash.clear();
}

void SIM_CoreSetFaults(SIM_CORE* core, const SIM_FAULTS& faults, uint64_t now_us) {
    core->config.faults = faults;
    core->ack_seq = 0;
    core->reply_seq = 0;
    core->program_seq = 0;
    core->request_seq.fill(0);
    core->faults_set_us = now_us;
    core->noise_done.assign(faults.noise.size(), false);
    core->vanish_done = false;
    core->reset_done = false;
    // A switched-off handheld stays off; one gone for a time is back.
    core->vanished = core->switched_off;
}

void SIM_CoreReset(SIM_CORE* core) {
    core->rx.clear();
    Restart(core, 0);
}

void SIM_CorePowerOff(SIM_CORE* core) {
    core->vanished = true;
    core->switched_off = true;
    core->rx.clear();
    core->unsolicited.clear();
}

void SIM_CorePowerOn(SIM_CORE* core) {
    core->vanished = false;
    core->switched_off = false;
    SIM_CoreReset(core);
    ++core->stats.power_cycles;
}

void SIM_CoreTick(SIM_CORE* core, uint64_t now_us, std::vector<SIM_SEND>* out) {
    if (core->vanished && !core->switched_off && now_us >= core->vanish_until_us) {
        SIM_CorePowerOn(core);
        Fault(core, now_us);
    }
    if (core->vanished) {
        return; // nobody there to put anything on the line
    }
    const std::vector<SIM_NOISE>& noise = core->config.faults.noise;
    for (size_t i = 0; i < noise.size(); ++i) {
        const uint64_t due = core->faults_set_us + static_cast<uint64_t>(noise[i].after_ms) * 1000;
        if (noise[i].at == SIM_NOISE_AT::MOMENT && !core->noise_done[i] && now_us >= due) {
            core->noise_done[i] = true;
            PutNoise(core, noise[i], &core->unsolicited, core->unsolicited.size());
        }
    }
    SendUnsolicited(core, now_us, out);
}

uint8_t SIM_CoreFlashByte(const SIM_CORE* core, uint32_t address) {
    const uint32_t base = address - address % SIM_PAGE_SIZE;
    const auto it = core->flash.find(base);
    return it == core->flash.end() ? 0xFF : it->second[address - base];
}

void SIM_CoreFeed(SIM_CORE* core, const uint8_t* bytes, size_t count, uint64_t now_us,
                  std::vector<SIM_SEND>* out) {
    SIM_CoreTick(core, now_us, out);
    if (core->vanished) {
        return; // nobody there: the bytes are lost
    }
    // Bytes held from earlier feeds came at rx_first_us, the new ones now.
    const size_t held = core->rx.size();
    if (held == 0) {
        core->rx_first_us = now_us;
    }
    core->rx.insert(core->rx.end(), bytes, bytes + count);
    std::vector<uint8_t>& rx = core->rx;
    size_t pos = 0;
    while (pos < rx.size()) {
        const size_t avail = rx.size() - pos;
        if (rx[pos] != SIM_START) {
            ++core->stats.junk_bytes;
            ++pos;
            continue;
        }
        if (avail < 4) {
            break;
        }
        if (rx[pos + 1] != rx[pos + 2] || rx[pos + 3] != SIM_START) {
            ++core->stats.bad_frames;
            ++pos;
            continue;
        }
        const size_t cut = ResetCut(core, &rx[pos], avail);
        if (cut != 0) {
            // The request is lost; what follows it reaches a boot loader
            // that has just come up, and its banner goes out now.
            pos += cut;
            core->reset_done = true;
            ++core->stats.resets;
            Fault(core, now_us);
            Restart(core, now_us);
            SendUnsolicited(core, now_us, out);
            continue;
        }
        const size_t length = rx[pos + 1];
        if (avail < length + 9) {
            break;
        }
        const uint8_t* f = &rx[pos];
        if (f[length + 8] != SIM_END) {
            ++core->stats.bad_frames;
            ++pos; // not a frame after all: look for the next start
            continue;
        }
        uint32_t sum = f[4] + f[6];
        for (size_t i = 0; i < length; ++i) {
            sum += f[7 + i];
        }
        const bool valid =
            f[4] == 0x00 && f[5] == 0x00 && static_cast<uint8_t>(sum) == f[7 + length];
        if (!valid) {
            ++core->stats.bad_frames;
            pos += length + 9;
            continue;
        }
        const uint64_t first_us = pos < held ? core->rx_first_us : now_us;
        const bool reachable = Handle(core, f[6], f + 7, length, now_us, first_us, out);
        pos += length + 9;
        if (!reachable) {
            rx.clear();
            return;
        }
    }
    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(pos));
    if (pos >= held) {
        core->rx_first_us = now_us;
    }
}

bool SIM_WriteFlashSrec(const SIM_CORE* core, const char* path) {
    FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        return false;
    }
    for (const auto& page : core->flash) {
        for (uint32_t line = 0; line < SIM_PAGE_SIZE; line += 16) {
            const uint8_t* d = page.second.data() + line;
            if (std::all_of(d, d + 16, [](uint8_t b) { return b == 0xFF; })) {
                continue;
            }
            const uint32_t a = page.first + line;
            uint32_t sum = 21 + (a >> 24) + ((a >> 16) & 0xFF) + ((a >> 8) & 0xFF) + (a & 0xFF);
            std::fprintf(file, "S315%08X", static_cast<unsigned>(a));
            for (int i = 0; i < 16; ++i) {
                std::fprintf(file, "%02X", d[i]);
                sum += d[i];
            }
            std::fprintf(file, "%02X\n", static_cast<unsigned>(~sum & 0xFF));
        }
    }
    std::fprintf(file, "S70500000000FA\n");
    return std::fclose(file) == 0;
}

std::string SIM_Summary(const SIM_CORE* core) {
    uint32_t per_command[256] = {};
    for (const SIM_REQUEST& r : core->log) {
        ++per_command[r.command];
    }
    const SIM_STATS& s = core->stats;
    char text[1024];
    std::snprintf(text, sizeof text,
                  "requests %u: identify %u, clear %u, program %u, make valid %u, blank check %u, "
                  "get CRC %u, start application %u, unknown %u\n"
                  "bad frames %u, junk bytes %u, acks sent %u, acks dropped %u, replies %u, "
                  "refused blocks %u, power cycles %u, resets %u, noise %u (%u bytes)\n"
                  "bytes programmed %llu, flash pages %u, last CRC 0x%04X\n",
                  s.requests, per_command[0], per_command[1], per_command[2], per_command[3],
                  per_command[4], per_command[5], per_command[7], s.unknown, s.bad_frames,
                  s.junk_bytes, s.acks_sent, s.acks_dropped, s.replies_sent, s.naks, s.power_cycles,
                  s.resets, s.noise_events, s.noise_bytes,
                  static_cast<unsigned long long>(s.bytes_programmed),
                  static_cast<unsigned>(core->flash.size()), s.last_crc);
    return text;
}
