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

namespace velmora {

inline constexpr const char* kSettingKeys[] = {
    "MOD_VELMORA_ENABLED", "MOD_VELMORA_HOUR", "MOD_VELMORA_MINUTE"};
// Warnings kept for one key; any beyond are only counted, so that a file of
// millions of lines cannot take millions of strings.
inline constexpr size_t kWarningsKept = 10;

struct key_lines {
  long line = 0;                      // the line that is read; 0 for none
  std::string value_problem;          // why that line's value is no plain number
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

// Why `value`, the text after "=" as the daemon converts it, is not a plain
// number: blanks, then a decimal number below 2^32, then nothing or a blank
// and anything. Empty when it is one.
std::string value_problem(const char* value);

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

// Why the settings at `path` cannot be read, after settings_open() gave null
// with `error` in errno: the kind of file when it is not a regular one.
std::string unreadable_reason(const char* path, int error);

}  // namespace velmora
