// What both tools know of the daemon's future and of local time: the
// passes on which a daemon started at a given time runs the reboot command,
// found by running the daemon's own scheduling decision over simulated
// 30-second passes in the local time the daemon would use, and the reading
// and writing of local times. velmora-next predicts with it, velmora-audit
// judges the journal with it; neither depends on the other.
#pragma once

#include <cstdint>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace velmora {

// A prediction gives up after this long without a run.
inline constexpr time_t kNeverHorizon = 400L * 24 * 3600;

// Why local time is not what TZ (or else /etc/localtime) asks for: the
// zone names a file that glibc cannot load and is no POSIX zone rule
// either, so glibc quietly computes in UTC. Empty when the zone loads.
std::string zone_problem();
// The same for a TZ of `tz`; null for none, so /etc/localtime.
std::string zone_problem(const char* tz);

// The file glibc loads for a TZ of `tz` that names a zone: a path as it
// stands, else a name under TZDIR or /usr/share/zoneinfo.
std::string zone_file(const char* tz);

// Local midnight `days_later` days after the day of `when`.
time_t local_midnight(time_t when, int days_later);

// `when` in local time, formatted by strftime(); "?" when it cannot be
// converted.
std::string local_text(time_t when, const char* format);

// Reads a whole decimal number from `low` to `high`, and nothing after it.
bool parse_count(const char* text, int low, int high, int* number);

// Reads 'YYYY-MM-DD HH:MM' or 'YYYY-MM-DD HH:MM:SS' as local time. False
// also for a time that the local clock never shows: a date that does not
// exist, or a time in the hour skipped when summer time begins. In the hour
// repeated when it ends, the first is taken and `twice` set.
bool parse_local_time(const char* text, time_t* when, bool* twice = nullptr);

// The times of the passes on which a daemon started at `from` runs the
// command, at most `count` of them, all before `until`. It stops early when
// 400 days go by without a run.
std::vector<time_t> predict_runs(int32_t target, time_t from, int count,
                                 time_t until = std::numeric_limits<time_t>::max());

}  // namespace velmora
