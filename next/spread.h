// The nights on which a target does not restart the host once at its
// minute, and a restart minute for this host within a window, stable and
// spread over a fleet, that avoids them.
//
// Contract:
// - Both are pure functions of their arguments and of the local-time rules
//   (TZ where set, else the host's zone): the nights are found by running
//   the daemon's own decision over the nights on which the clock moves.
// - spread_minute() derives its minute from the machine ID alone (and the
//   window): the same answer on every run on a host, different ones across
//   hosts, never outside the window. It takes the first minute, from the
//   derived one on, that restarts once at its minute on every night of the
//   coming year; where none does (a zone whose repeated hour ends at
//   midnight), the first that at least restarts at its minute on each.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

inline constexpr const char kMachineIdPath[] = "/etc/machine-id";

// A local night on which the target does not restart the host exactly
// once, at its minute: `runs` restarts that day, `at_minute` of them at it.
struct odd_night {
  time_t day;  // local midnight
  int runs;
  int at_minute;
};

// The odd nights of a daemon with `target` running from `from` for `days`
// days, oldest first. Only the days on which local time jumps can be odd.
std::vector<odd_night> odd_nights(int32_t target, time_t from, int days);

// The warning for a target's odd nights: what it does on each, by date;
// empty when there are none.
std::string nights_warning(int32_t target, const std::vector<odd_night>& nights);

// Reads "HH:MM-HH:MM", the end after the start or past midnight (up to
// 24:00), as its first minute of the day and its length in minutes.
bool parse_window(const char* text, int32_t* start, int32_t* length);

struct spread_pick {
  int32_t target = -1;  // minute of the day; -1: no minute in the window restarts at it
  bool once = true;     // false: the target restarts more than once on some night
};

// The minute for the host with `machine_id` within the window, judged over
// the year from `from`.
spread_pick spread_minute(std::string_view machine_id, int32_t start, int32_t length,
                          time_t from);

}  // namespace velmora
