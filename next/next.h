// velmora-next: what the daemon will do with a settings file.
//
// It reads the file with the daemon's own settings code and runs the
// daemon's own scheduling decision over simulated 30-second passes, in the
// local time the daemon would use, so it cannot disagree with the daemon
// about what a line means or when a run comes. What it adds is only
// reporting: where each key was found, and warnings for lines that look
// meant for a key but are not read as it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace velmora {

inline constexpr const char* kSettingKeys[] = {
    "MOD_VELMORA_ENABLED", "MOD_VELMORA_HOUR", "MOD_VELMORA_MINUTE"};
inline constexpr time_t kNeverHorizon = 400L * 24 * 3600;
// Warnings kept for one key; any beyond are only counted, so that a file of
// millions of lines cannot take millions of strings.
inline constexpr size_t kWarningsKept = 10;

struct key_lines {
  long line = 0;                      // the line that is read; 0 for none
  std::vector<std::string> warnings;  // lines that are not read as the key
  long more = 0;                      // such lines beyond kWarningsKept
};

struct settings_scan {
  std::vector<key_lines> keys = std::vector<key_lines>(std::size(kSettingKeys));
  int read_error = 0;           // errno of a read that failed, else 0
  long error_line = 0;          // the line that read failed on
};

// Scans the whole stream, line by line as the daemon does, for each key in
// kSettingKeys: the first line read as the key, later lines shadowed by it,
// and lines that would be read as the key but for a byte-order mark or
// blanks around the name.
settings_scan scan_settings(FILE* stream);

// Why the settings at `path` cannot be read, after settings_open() gave null
// with `error` in errno: the kind of file when it is not a regular one.
std::string unreadable_reason(const char* path, int error);

// Why local time is not what TZ (or else /etc/localtime) asks for: the
// zone names a file that glibc cannot load and is no POSIX zone rule
// either, so glibc quietly computes in UTC. Empty when the zone loads.
std::string zone_problem();

// `when` in local time, formatted by strftime(); "?" when it cannot be
// converted.
std::string local_text(time_t when, const char* format);

// Reads a whole decimal number from `low` to `high`, and nothing after it.
bool parse_count(const char* text, int low, int high, int* number);

// Reads 'YYYY-MM-DD HH:MM' or 'YYYY-MM-DD HH:MM:SS' as local time.
bool parse_local_time(const char* text, time_t* when);

// The times of the passes on which a daemon started at `from` runs the
// command, at most `count` of them, all before `until`. It stops early when
// 400 days go by without a run.
std::vector<time_t> predict_runs(int32_t target, time_t from, int count,
                                 time_t until = std::numeric_limits<time_t>::max());

}  // namespace velmora
