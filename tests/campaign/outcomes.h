// What both fault campaigns hold their runs against, and how they count them:
// a clean update's record, the checks of make valid and of a success against
// the handheld's log and flash, and the table of outcomes by row.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sim/sim.h"

struct IMAGE;

// What a clean update of the carried firmware showed.
struct CAMPAIGN_REFERENCE {
    std::vector<SIM_REQUEST> blocks; // its program requests
    uint16_t crc = 0;                // the handheld's CRC after it: the image's
    uint32_t first = 0;              // the image's first address
    std::vector<uint8_t> span;       // the image from first to last, 0xFF where absent
};

// first and span from the firmware image; blocks and crc from the clean
// update that the handheld's core recorded.
void CAMPAIGN_TakeImage(IMAGE* image, CAMPAIGN_REFERENCE* ref);
void CAMPAIGN_TakeUpdate(const SIM_CORE& core, CAMPAIGN_REFERENCE* ref);

// Every make valid went out over the whole image: the handheld's flash held
// the image's CRC over the declared ranges, and every block had been
// acknowledged since the last clear before it (but blocks of only 0xFF, which
// a cleared flash holds already). Empty when that holds.
std::string CAMPAIGN_CheckMadeValid(const SIM_CORE& core, const CAMPAIGN_REFERENCE& ref);
// After a success: the flash holds the image byte for byte, made valid, with
// its CRC. Empty when that holds.
std::string CAMPAIGN_CheckSuccess(const SIM_CORE& core, const CAMPAIGN_REFERENCE& ref);

// One run as the table counts it.
struct CAMPAIGN_RESULT {
    bool success = false;
    bool cancelled = false;
    double s = 0;       // the update's time
    double past_s = 0;  // from the last fault to the update's end
    double extra_s = 0; // the campaign's own figure (a cancel's return, the cost over a clean twin)
    bool violated = false;
};

// The table's column for the campaign's own figure.
struct CAMPAIGN_COLUMN {
    const char* name;
    int width;
    int decimals;
};

// Outcomes by row: the rows named at the start (a fault kind each, then the
// campaign's own), and all runs.
class CAMPAIGN_TABLE {
  public:
    CAMPAIGN_TABLE(std::vector<std::string> names, CAMPAIGN_COLUMN extra, bool with_cancels);

    // A run into the rows given and all runs.
    void Count(const std::vector<size_t>& rows, const CAMPAIGN_RESULT& result);
    // A violation found before any run could begin.
    void CountViolation() { ++total_.violations; }
    uint32_t Violations() const { return total_.violations; }
    void Print() const;

  private:
    struct ROW {
        uint32_t runs = 0;
        uint32_t successes = 0;
        uint32_t failures = 0;
        uint32_t cancels = 0;
        double max_s = 0;
        double max_past_s = 0;
        double max_extra_s = 0;
        uint32_t violations = 0;
    };
    void PrintRow(const std::string& name, const ROW& row) const;

    std::vector<std::string> names_;
    std::vector<ROW> rows_;
    ROW total_;
    CAMPAIGN_COLUMN extra_;
    bool with_cancels_;
};
