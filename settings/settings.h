// The module settings file: lines of NAME=VALUE, read with stdio.
//
// Contract:
// - settings_open() opens a regular file for reading (`mode` is the stdio
//   read mode, "r"), without ever blocking; anything else (FIFO, device,
//   socket, directory) gives null, like a file that cannot be opened.
// - settings_find() scans from the stream's current position, one fgets()
//   piece (at most 16383 characters) at a time. Each piece is cut at its first
//   CR, then its first LF, then its last double quote; the text before the
//   first "=" must equal the key ignoring ASCII case, with no trimming. The
//   value starts after the "=", skipping one double quote that stands right
//   there. The first matching piece wins.
// - The returned value points into one static line buffer: it stays valid only
//   until the next lookup, and lookups are not reentrant. Nothing allocates.
// - settings_get_uint() rewinds, looks the key up and converts the value with
//   sscanf("%u"); anything that is not exactly one converted item reads as 0,
//   and so does a null stream.
// - load_module_settings() fills all three fields, each 0 when missing; a
//   file that settings_open() refuses gives 0 everywhere. It never reports
//   anything.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/paths.h"

namespace velmora {

inline constexpr int kSettingsLineBuffer = 16384;

struct module_settings {
  uint32_t enabled;  // read, but the schedule does not depend on it
  uint32_t hour;
  uint32_t minute;
};

FILE* settings_open(const char* path, const char* mode);
void settings_close(FILE* stream);
char* settings_find(FILE* stream, const char* key);
// The rules for one piece, applied in place (the piece is cut): the value
// text when the piece is a line for `key`, else null.
char* settings_match(char* piece, const char* key);
uint32_t settings_get_uint(FILE* stream, const char* key);

// The shared line buffer that found values point into.
const char* settings_line_buffer();

// The daemon always reads kSettingsPath; other callers may name another file.
void load_module_settings(module_settings* settings,
                          const char* path = kSettingsPath);

}  // namespace velmora
