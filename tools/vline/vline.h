// A serial line in virtual time between the updater's own target and image
// layers and the simulated handheld's core, on one thread and deterministic:
// the updater's reads, writes and sleeps move a clock that the line and the
// handheld share, so an update at a real boot loader's pace and a real line's
// speed (minutes) runs in milliseconds, and the same seed gives the same run.
//
// The line: 115200 baud, 11 bits a byte. Each direction carries one byte at
// a time; a piece of output leaves back to back from when it is released or
// the line is free, whichever is later, and a byte reaches the far end when
// its time on the line is over. On the way to the updater an adapter may hold
// bytes back as a USB adapter's latency timer does; on a slow link every
// piece each way is released 30 to 100 ms late, never ahead of the one before.
//
// The dialog and the worker thread are stand-ins here: a pump of the job
// runner runs one worker cycle, a stop ends the worker at once, and a sleep
// lets the clock run.
#pragma once

#include <cstdint>

#include "tools/sim/sim.h"

struct VLINE_CONFIG {
    SIM_CONFIG target;            // the handheld, with its pace and faults
    bool adapter_latency = false; // a USB adapter's 16 ms latency timer on the way back
    bool slow_link = false;       // a Bluetooth serial port's delays, both ways
    uint32_t seed = 1;            // the slow link's delays
};

// What the line carried since it was opened.
struct VLINE_COUNTS {
    uint32_t writes;      // the updater's COM_Write calls
    uint64_t bytes_out;   // bytes the updater wrote
    uint32_t sends;       // pieces of output of the handheld
    uint64_t bytes_back;  // bytes the handheld put on the line
    uint64_t bytes_in;    // bytes the updater read
    uint32_t reads;       // the updater's COM_Read calls...
    uint32_t reads_short; // ...that ended by their time-out short of their count
    uint32_t handovers;   // the adapter's hand-ons of held bytes
    uint32_t feeds;       // SIM_CoreFeed calls
    uint32_t found;       // the worker's notices: the target answered a poll...
    uint32_t lost;        // ...or was lost
};

// Thrown out of the updater's waits when the clock would pass the limit set:
// a run that does not end is cut off in virtual time.
struct VLINE_OVERRUN {};

// A new handheld (SIM_CoreInit, its faults counted from now) on an empty
// line; the clock goes on from where it was.
void VLINE_Open(const VLINE_CONFIG& config);
const SIM_CORE& VLINE_Core();
uint64_t VLINE_NowUs();
// Lets the line run for this long.
void VLINE_Wait(uint64_t us);
// As SIM_CoreSetFaults, from now.
void VLINE_SetFaults(const SIM_FAULTS& faults);
// Switches on a handheld that was off; its reset noise goes out now.
void VLINE_PowerOn();
// The slow link's delays from here on, as from this seed.
void VLINE_Reseed(uint32_t seed);
// Past this moment the updater's waits throw VLINE_OVERRUN; 0: no limit.
void VLINE_SetLimit(uint64_t at_us);
const VLINE_COUNTS& VLINE_Counts();

// The updater's side. APP_Image from the carried firmware (once); false when
// it does not load.
bool VLINE_LoadFirmware();
// A fresh start against a new handheld: the line opened anew, the worker
// stopped and started, the frame layer's held bytes drained, the link's pace
// forgotten, the program block and the target record emptied.
void VLINE_FreshStart(const VLINE_CONFIG& config);
// Worker cycles (polls, while no job is stored) for this long.
void VLINE_Poll(uint64_t for_us);
// Worker cycles until the target is connected; false when it was not within the time.
bool VLINE_PollUntilConnected(uint64_t within_us);
