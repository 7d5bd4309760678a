#include "tests/campaign/outcomes.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "image/image.h"
#include "tests/campaign/draws.h"
#include "tests/support/bytes.h"

void CAMPAIGN_TakeImage(IMAGE* image, CAMPAIGN_REFERENCE* ref) {
    ref->first = IMAGE_GetFirstAddr(image);
    ref->span.clear();
    IMAGE_LOCK_SCOPE lock(image); // one lock over the walk
    for (uint32_t a = ref->first; a <= IMAGE_GetLastAddr(image); ++a) {
        const int32_t v = IMAGE_ReadByte(image, a);
        ref->span.push_back(static_cast<uint8_t>(v < 0 ? 0xFF : v));
    }
}

void CAMPAIGN_TakeUpdate(const SIM_CORE& core, CAMPAIGN_REFERENCE* ref) {
    ref->blocks.clear();
    for (const SIM_REQUEST& r : core.log) {
        if (r.command == SIM_CMD_PROGRAM) {
            ref->blocks.push_back(r);
        }
    }
    // The update succeeded, so the handheld's CRC is the image's.
    ref->crc = core.stats.last_crc;
}

std::string CAMPAIGN_CheckMadeValid(const SIM_CORE& core, const CAMPAIGN_REFERENCE& ref) {
    std::map<uint32_t, const std::vector<uint8_t>*> acked; // by base address
    for (const SIM_REQUEST& r : core.log) {
        if (r.command == SIM_CMD_CLEAR) {
            acked.clear();
        } else if (r.command == SIM_CMD_PROGRAM && r.acknowledged && r.data.size() >= 4) {
            acked[GetLe32(r.data)] = &r.data;
        } else if (r.command != SIM_CMD_MAKE_VALID || !r.made_valid) {
            continue; // a make valid that a silent handheld never took in made nothing valid
        } else if (r.flash_crc != ref.crc) {
            return CAMPAIGN_Format("made valid over a flash of CRC %04X, the image's is %04X",
                                   r.flash_crc, ref.crc);
        } else {
            for (const SIM_REQUEST& block : ref.blocks) {
                const auto it = acked.find(GetLe32(block.data));
                const bool erased = std::all_of(block.data.begin() + 4, block.data.end(),
                                                [](uint8_t b) { return b == 0xFF; });
                if (!erased && (it == acked.end() || *it->second != block.data)) {
                    return CAMPAIGN_Format("made valid with block %08X not acknowledged",
                                           GetLe32(block.data));
                }
            }
        }
    }
    return "";
}

std::string CAMPAIGN_CheckSuccess(const SIM_CORE& core, const CAMPAIGN_REFERENCE& ref) {
    const uint32_t last = ref.first + static_cast<uint32_t>(ref.span.size()) - 1;
    for (uint32_t a = ref.first; a <= last;) {
        const uint32_t base = a - a % SIM_PAGE_SIZE;
        const uint32_t run = std::min(base + SIM_PAGE_SIZE - a, last - a + 1);
        const auto page = core.flash.find(base);
        const uint8_t* want = ref.span.data() + (a - ref.first);
        for (uint32_t i = 0; i < run; ++i) {
            if ((page == core.flash.end() ? 0xFF : page->second[a - base + i]) != want[i]) {
                return CAMPAIGN_Format("success with the flash differing at %08X", a + i);
            }
        }
        a += run;
    }
    return core.stats.made_valid == 0 || core.stats.last_crc != ref.crc
               ? "success without the image made valid and its CRC matching"
               : "";
}

CAMPAIGN_TABLE::CAMPAIGN_TABLE(std::vector<std::string> names, CAMPAIGN_COLUMN extra,
                               bool with_cancels)
    : names_(std::move(names)), rows_(names_.size()), extra_(extra), with_cancels_(with_cancels) {}

void CAMPAIGN_TABLE::Count(const std::vector<size_t>& rows, const CAMPAIGN_RESULT& result) {
    std::vector<ROW*> touched = {&total_};
    for (size_t row : rows) {
        touched.push_back(&rows_.at(row));
    }
    for (ROW* row : touched) {
        ++row->runs;
        row->successes += result.success ? 1 : 0;
        row->cancels += result.cancelled ? 1 : 0;
        row->failures += !result.success && !result.cancelled ? 1 : 0;
        row->max_s = std::max(row->max_s, result.s);
        row->max_past_s = std::max(row->max_past_s, result.past_s);
        row->max_extra_s = std::max(row->max_extra_s, result.extra_s);
        row->violations += result.violated ? 1 : 0;
    }
}

void CAMPAIGN_TABLE::PrintRow(const std::string& name, const ROW& row) const {
    std::printf("%-13s %5u %8u %7u", name.c_str(), row.runs, row.successes, row.failures);
    if (with_cancels_) {
        std::printf(" %9u", row.cancels);
    }
    std::printf(" %8.2f %8.2f %*.*f %10u\n", row.max_s, row.max_past_s, extra_.width,
                extra_.decimals, row.max_extra_s, row.violations);
}

void CAMPAIGN_TABLE::Print() const {
    std::printf("\n%-13s %5s %8s %7s", "fault", "runs", "success", "failed");
    if (with_cancels_) {
        std::printf(" %9s", "cancelled");
    }
    std::printf(" %8s %8s %*s %10s\n", "max s", "past s", extra_.width, extra_.name, "violations");
    for (size_t i = 0; i < rows_.size(); ++i) {
        PrintRow(names_[i], rows_[i]);
    }
    PrintRow("all runs", total_);
}
