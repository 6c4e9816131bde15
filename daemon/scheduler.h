// The daily decision: given the minute of day on a pass, run the reboot
// command or not.
//
// Invariants:
// - The command runs on the first pass, while armed, that sees the target
//   minute or later (signed comparison); that pass disarms.
// - Any pass that sees a lower minute of day than the pass before (midnight,
//   the clock set back, the fall-back of daylight-saving time) re-arms, and
//   the same pass may then trigger. So the command runs at most once between
//   two decreases of the minute of day.
// - A start at or after the target waits for the next decrease: no run that
//   day. Targets outside 0 to 1439 are taken as they are: above 1439 never
//   triggers, below 0 triggers on the first pass after each decrease.
// The functions are pure; the caller reads the clock and runs the command.
#pragma once

#include <cstdint>

namespace velmora {

// The daemon looks at the clock this often, in seconds.
inline constexpr unsigned kPassSeconds = 30;

struct scheduler {
  int32_t target;    // hour * 60 + minute, wrapped to 32 bits
  bool armed;
  int32_t previous;  // minute of day on the last pass; 0 before the first
};

// hour * 60 + minute in unsigned 32-bit arithmetic, taken as signed, so that
// an hour written as -1 gives a negative target.
int32_t target_minute(uint32_t hour, uint32_t minute);

// The state at start-up. `now_known` is false when the clock could not be
// read as local time: the schedule then starts disarmed.
scheduler scheduler_start(int32_t target, int32_t now, bool now_known);

// One pass at minute of day `now`; true when the command must run now.
bool scheduler_pass(scheduler* state, int32_t now);

}  // namespace velmora
