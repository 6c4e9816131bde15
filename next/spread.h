// The nights on which a target does not restart the host once at its
// minute, and a restart minute for this host within a window, stable and
// spread evenly over a fleet, that avoids them.
//
// Contract:
// - All are pure functions of their arguments and of the local-time rules
//   (TZ where set, else the host's zone): the nights are found by running
//   the daemon's own decision over the nights on which the clock moves.
// - The minutes a window offers are its usable ones: those that restart the
//   host once, at their minute, on every night of the coming year. Where
//   there are none, those that restart it once every night, though late on
//   some; where there are none of those either (a zone whose repeated hour
//   ends at midnight), those that restart it at their minute every night and
//   once more on some. A pick from a fallback carries a warning with the
//   dates of those nights. Where no minute is of any of these kinds there is
//   no pick.
// - spread_minute() draws its minute evenly from those offered, by the
//   machine ID alone (and the window): the same answer on every run on a
//   host, no offered minute more likely than another across hosts. A host
//   whose hashed minute is offered keeps it.
// - place_minute() gives host K of a fleet of N the middle minute of the
//   K-th of N equal parts of those offered, so that the fleet lies evenly
//   over them.
// - The nights' clock readings are taken once for a whole window: the cost
//   is a few milliseconds, not a conversion of local time for each minute.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

inline constexpr const char kMachineIdPath[] = "/etc/machine-id";

// A local night on which the target does not restart the host exactly
// once, at its minute: `runs` restarts that day, `at_minute` of them at it
// (for a target below 00:00, at 00:00).
struct odd_night {
  time_t day;  // local midnight
  int runs;
  int at_minute;
};

// The odd nights of a daemon with `target` running from `from` for `days`
// days, oldest first. Only the days on which local time jumps are looked
// at: a target beyond 23:59 is odd on every night, which nights_warning()
// says.
std::vector<odd_night> odd_nights(int32_t target, time_t from, int days);

// The warning for a target's odd nights: what it does on each, by date;
// empty when there are none. A target beyond 23:59 gets one, whatever the
// nights: it is never reached.
std::string nights_warning(int32_t target, const std::vector<odd_night>& nights);

// A window "HH:MM-HH:MM", exactly so: two digits each, hours 00 to 23, the
// end up to 24:00, minutes 00 to 59. An end before the start lies past
// midnight.
struct window {
  int32_t start = 0;    // its first minute of the day
  int32_t length = 0;   // in minutes, 1 to 1440
  std::string problem;  // what is wrong with the text; empty when it is one
  std::string warning;  // for a window of more than 12 hours; else empty
};
window parse_window(const char* text);

struct spread_pick {
  int32_t target = -1;  // minute of the day; -1: no minute of the window will do
  int fallback = 0;     // 0: a usable minute; 1: one that is late on some nights;
                        // 2: one that restarts once more on some nights
  std::string warning;  // for a fallback: which, and its nights by date
};

// The minute for the host with `machine_id` within the window, judged over
// the year from `from`.
spread_pick spread_minute(std::string_view machine_id, int32_t start, int32_t length,
                          time_t from);

// Reads "K/N", host K of a fleet of N: digits alone, K from 1 to N, N at
// most kMaxHosts.
inline constexpr uint32_t kMaxHosts = 1000000;
bool parse_place(const char* text, uint32_t* place, uint32_t* hosts);

// The minute for host `place` (1 to `hosts`) of a fleet of `hosts`.
spread_pick place_minute(uint32_t place, uint32_t hosts, int32_t start, int32_t length,
                         time_t from);

}  // namespace velmora
