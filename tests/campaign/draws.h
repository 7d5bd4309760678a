// What both fault campaigns draw alike: a run's kinds, and the faults and
// noise of the kinds they share, each with the text that describes it. A seed
// replays its runs only while these draws keep their order and their ranges.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tools/sim/sim.h"

// A real boot loader's pace: an erase and a CRC over the whole image.
constexpr uint32_t CAMPAIGN_ERASE_MIN_MS = 1000;
constexpr uint32_t CAMPAIGN_ERASE_MAX_MS = 4000;
constexpr uint32_t CAMPAIGN_CRC_MIN_MS = 1000;
constexpr uint32_t CAMPAIGN_CRC_MAX_MS = 2000;
// Bytes that noise on its own may be: a break, an idle line, and the frame's
// start, end and acknowledge bytes.
constexpr uint8_t CAMPAIGN_STRAY_BYTES[] = {0x00, 0xFF, 0x68, 0x16, 0x90};
constexpr uint32_t CAMPAIGN_STRAY_COUNT = sizeof CAMPAIGN_STRAY_BYTES;

template <class... ARGS> std::string CAMPAIGN_Format(const char* format, ARGS... args) {
    char text[160];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// SIM_RealPace with the erase and the CRC over image_bytes taking as long as drawn.
inline SIM_PACE CAMPAIGN_RealPace(uint32_t erase_ms, uint32_t crc_ms, uint32_t image_bytes) {
    SIM_PACE pace = SIM_RealPace();
    pace.erase_ms = erase_ms;
    pace.crc_ns_per_byte = static_cast<uint32_t>(uint64_t{crc_ms} * 1000000 / image_bytes);
    return pace;
}

class CAMPAIGN_DRAW {
  public:
    explicit CAMPAIGN_DRAW(std::mt19937& rng) : rng_(rng) {}

    // Uniform over lo to hi, both included.
    uint32_t Pick(uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_);
    }
    uint32_t Raw() { return rng_(); }
    // Boot text of lo to hi bytes. Its seed is drawn before its length, as a
    // seed's runs were first drawn.
    std::vector<uint8_t> Banner(uint32_t lo, uint32_t hi) {
        const uint32_t seed = Raw();
        const uint32_t length = Pick(lo, hi);
        return SIM_Banner(length, seed);
    }

    // No fault in none_percent of the runs (the one kind none), otherwise one
    // or two different kinds below none, each kept only where
    // fits(kinds so far, kind) holds.
    template <class KIND, class FITS>
    std::vector<KIND> Kinds(uint32_t none_percent, KIND none, FITS fits) {
        std::vector<KIND> kinds;
        if (Pick(1, 100) <= none_percent) {
            kinds.push_back(none);
            return kinds;
        }
        const uint32_t count = Pick(1, 2);
        while (kinds.size() < count) {
            const auto k = static_cast<KIND>(Pick(0, none - 1));
            if (std::find(kinds.begin(), kinds.end(), k) == kinds.end() && fits(kinds, k)) {
                kinds.push_back(k);
            }
        }
        return kinds;
    }

    // The handheld's faults, over an update of blocks blocks and acks acknowledges.
    std::string Nak(uint32_t blocks, SIM_FAULTS* f) {
        f->nak_block = Pick(1, blocks);
        f->nak_count = Pick(1, 2);
        f->nak_frames = Pick(1, 3);
        return CAMPAIGN_Format("nak block %u x%u (%u frames)", f->nak_block, f->nak_count,
                               f->nak_frames);
    }
    std::string LostAck(uint32_t acks, SIM_FAULTS* f) {
        f->drop_ack = Pick(1, acks);
        f->drop_ack_count = Pick(1, 2);
        return CAMPAIGN_Format("drop ack %u x%u", f->drop_ack, f->drop_ack_count);
    }
    std::string Vanish(uint32_t blocks, SIM_FAULTS* f) {
        f->vanish_after_blocks = Pick(1, blocks);
        f->vanish_ms = Pick(20, 2500);
        return CAMPAIGN_Format("vanish after block %u for %u ms", f->vanish_after_blocks,
                               f->vanish_ms);
    }
    std::string WrongCrc(SIM_FAULTS* f) {
        f->wrong_crc = true;
        return "wrong crc";
    }

    // Noise out of the power-up that ends a reset; a glitch's byte is drawn
    // before its count, as a seed's runs were first drawn.
    std::string Glitch(SIM_NOISE* n) {
        const uint8_t byte = Pick(0, 1) == 0 ? 0x00 : 0xFF;
        n->bytes.assign(Pick(1, 3), byte);
        return CAMPAIGN_Format("glitch %zu x %02X at power-up", n->bytes.size(), n->bytes[0]);
    }
    std::string PowerUpBanner(SIM_NOISE* n) {
        n->bytes = Banner(3, 300);
        return CAMPAIGN_Format("banner of %zu at power-up", n->bytes.size());
    }
    // A banner while the target is polled: ahead of a poll's reply or at a moment.
    std::string PollBanner(SIM_NOISE* n) {
        n->bytes = Banner(3, 300);
        if (Pick(0, 1) == 0) {
            n->at = SIM_NOISE_AT::BEFORE_REPLY;
            n->command = SIM_CMD_IDENTIFY;
            n->nth = Pick(1, 100);
            return CAMPAIGN_Format("banner of %zu before poll reply %u", n->bytes.size(), n->nth);
        }
        n->at = SIM_NOISE_AT::MOMENT;
        n->after_ms = Pick(0, 1500);
        return CAMPAIGN_Format("banner of %zu %u ms into polling", n->bytes.size(), n->after_ms);
    }
    // A burst inside a poll's reply of reply_bytes.
    std::string InsidePoll(uint32_t reply_bytes, SIM_NOISE* n) {
        n->at = SIM_NOISE_AT::INSIDE_REPLY;
        n->command = SIM_CMD_IDENTIFY;
        n->nth = Pick(1, 100);
        n->offset = Pick(1, reply_bytes - 1);
        n->bytes = Banner(1, 40);
        return CAMPAIGN_Format("burst of %zu inside poll reply %u after %u", n->bytes.size(),
                               n->nth, n->offset);
    }
    // byte() ahead of one block's acknowledge; byte draws after the block.
    template <class BYTE> std::string AheadOfAck(uint32_t blocks, BYTE byte, SIM_NOISE* n) {
        n->at = SIM_NOISE_AT::BEFORE_ACK;
        n->command = SIM_CMD_PROGRAM;
        n->nth = Pick(1, blocks);
        n->bytes = {byte()};
        return CAMPAIGN_Format("%02X before ack of block %u", n->bytes[0], n->nth);
    }
    // The clear's reply, or one of an update's crc_requests CRC replies.
    void JobReply(uint32_t crc_requests, SIM_NOISE* n) {
        n->command = Pick(0, 1) == 0 ? SIM_CMD_CLEAR : SIM_CMD_GET_CRC;
        n->nth = n->command == SIM_CMD_CLEAR ? 1 : Pick(1, crc_requests);
    }
    // The acknowledge byte opening (1) or closing (2) the bytes, or neither (0).
    uint32_t AckAtAnEnd(std::vector<uint8_t>* bytes) {
        const uint32_t end = Pick(0, 2);
        if (end == 1) {
            bytes->insert(bytes->begin(), SIM_ACK);
        } else if (end == 2) {
            bytes->push_back(SIM_ACK);
        }
        return end;
    }

  private:
    std::mt19937& rng_;
};
