// velmora-next: what the daemon will do with a settings file.
//
// It reads the file with the daemon's own settings code, and predicts with
// forecast/, which runs the daemon's own scheduling decision, so it cannot
// disagree with the daemon about what a line means or when a run comes.
// What it adds here is only reporting: where each key was found, how the
// daemon gets at the file, and warnings for lines that look meant for a key
// but are not read as it, or whose values are not plain numbers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace velmora {

inline constexpr const char* kSettingKeys[] = {
    "MOD_VELMORA_ENABLED", "MOD_VELMORA_HOUR", "MOD_VELMORA_MINUTE"};
// Warnings kept for one key; any beyond are only counted, so that a file of
// millions of lines cannot take millions of strings.
inline constexpr size_t kWarningsKept = 10;

struct key_lines {
  long line = 0;                      // the line that is read; 0 for none
  long piece_at = 0;                  // the character of that line that the piece read starts
                                      // at, where it is not the first piece of a long line; else 0
  std::string value_problem;          // why that line's value is no plain number
  std::vector<std::string> warnings;  // lines that are not read as the key
  std::vector<std::string> spellings; // lines whose name is a close spelling of it
  long more = 0;                      // such lines beyond kWarningsKept
};

struct settings_scan {
  std::vector<key_lines> keys = std::vector<key_lines>(std::size(kSettingKeys));
  int read_error = 0;           // errno of a read that failed, else 0
  long error_line = 0;          // the line that read failed on
  long bare_cr_line = 0;        // the first line with a carriage return alone in it
  bool empty = false;           // read whole, and nothing in it but blanks and line ends
};

// Scans the whole stream, piece by piece as the daemon does, for each key in
// kSettingKeys: the first piece read as the key, later lines shadowed by it,
// lines that would be read as the key but for a byte-order mark, blanks
// around the name or a word before it, and names that are a close spelling
// of it (two letters off at most). Only the piece that a line starts with
// is a line in the file; a later piece of a long line counts only where the
// daemon reads it as a key. Also the first line in which a carriage
// return stands alone: a file with old Mac line ends is one line to the
// daemon.
settings_scan scan_settings(FILE* stream);

// Why `value`, the text after the first "=" of a line as it stands in the
// file (up to a CR or LF), is not a plain number: an optional double quote,
// blanks, a decimal number below 2^32 and, after the quote, its closing
// quote; then nothing, or a blank and anything that does not start with a
// digit. Empty when it is one.
std::string value_problem(const char* value);

// Whether `text` is of the form --from takes, 'YYYY-MM-DD HH:MM' or
// 'YYYY-MM-DD HH:MM:SS', every field with all its digits. Whether the local
// clock ever shows it is parse_local_time()'s question.
bool from_form(const char* text);

// How the daemon gets at a regular file at `path`. It runs as uid 0 and gid
// 0 with no capabilities, so only the ordinary permission bits let it in:
// the owner's where uid 0 owns the file, else the group's where gid 0 does,
// else everyone's; read on the file and search on each directory above it.
// This holds whoever asks. `known` is false when the path is no regular
// file, or some directory on the way cannot be looked at by the caller.
struct daemon_view {
  bool known = false;
  bool readable = false;
  std::string detail;  // "owner 0, group 0, mode 0644", or what stops the daemon
};
daemon_view daemon_access(const char* path);
// The same for a user `uid` of group `gid` alone; kNoOne for a user that
// neither owns the file nor is in its group, so that only the bits for
// everyone count.
inline constexpr unsigned kNoOne = 0xFFFFFFFEu;
daemon_view access_for(const char* path, unsigned uid, unsigned gid);

// Why the settings at `path` cannot be read, after settings_open() gave null
// with `error` in errno: the kind of file when it is not a regular one.
std::string unreadable_reason(const char* path, int error);

// What was read of a settings file: how the daemon gets at it, and what it
// reads there as far as this caller can tell.
struct file_reading {
  std::string path;
  daemon_view view;
  daemon_view others;          // how a user that is neither owner nor group gets at it
  bool opened = false;         // this caller could open it
  int open_error = 0;          // else why not (errno)
  std::string unreadable;      // and what kind of thing stands there
  bool hidden = false;         // a directory on the way, open to the daemon, is closed to
                               // this caller: whether the daemon reads the file is unknown
  bool read = false;           // read the daemon's way: settings and scan hold it
  module_settings settings{};  // 0 for all that the daemon does not read
  settings_scan scan;
  unsigned caller = 0;         // the uid that read it
};

// Reads `path` the daemon's way. Every file it opens it closes again.
file_reading read_file(const char* path);

// What velmora-next tells of a file: a problem means the daemon will not do
// what the file says (--check fails on it), a warning does not. `count` is
// the mistakes it stands for.
struct finding {
  bool problem;
  std::string text;
  int count = 1;
};

struct file_judgement {
  std::vector<std::string> lines;  // what the daemon reads, a line each
  std::vector<finding> findings;   // in the order found
  int32_t target = 0;              // the daemon's target minute
  bool known = true;               // false: what the daemon reads is unknown here
};

// The mistakes that the problems among `findings` stand for.
int problems(const std::vector<finding>& findings);

// The zone the times are in: the caller's TZ, and the host's
// /etc/localtime, which the daemon uses when systemd starts it (with no TZ).
struct zone_reading {
  bool tz_set = false;
  std::string tz;            // its value, without a leading ":"
  std::string host;          // the zone /etc/localtime links to; empty when it is no link
  bool host_missing = false; // no /etc/localtime: UTC
  std::string tz_problem;    // why TZ's zone cannot be loaded; empty when it can
  std::string host_problem;  // the same for /etc/localtime
  bool same = false;         // TZ's zone data is /etc/localtime's, byte for byte
};
zone_reading read_zone();

struct zone_judgement {
  std::string line;               // the zone line: its name, and where it came from
  std::vector<finding> findings;
  bool utc = false;               // glibc computes in UTC: so say the times
};

// What the zone is judged for: the times predicted, the daemon (--check),
// or the minute --spread chooses.
enum class zone_use { predict, check, spread };

// Predicting, the times are in TZ's zone where it is set (a what-if
// question), said so where it is not the host's; so is the minute --spread
// chooses. With --check the file is judged for the daemon, in the host's
// zone: one that glibc cannot load is a problem, and a TZ of another zone is
// ignored, said so.
zone_judgement judge_zone(const zone_reading& zone, zone_use use);

// The judgement of what was read, the same with --check and without: only
// the zone is judged otherwise there. Reads nothing.
file_judgement judge_file(const file_reading& in);

}  // namespace velmora
