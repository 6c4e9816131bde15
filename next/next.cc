#include "next/next.h"

#include <cstring>

#include "daemon/clock.h"
#include "daemon/scheduler.h"
#include "settings/settings.h"

namespace velmora {
namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// What keeps `piece` from being read as a key that it seems to name: the
// piece with a leading byte-order mark and the blanks around the name taken
// out is read as `key`. Empty when it is not such a line.
std::string near_miss(const char* piece, const char* key) {
  std::string fixed = piece;
  std::string why;
  if (fixed.rfind(kByteOrderMark, 0) == 0) {
    fixed.erase(0, 3);
    why = "a byte-order mark stands before the name";
  }
  size_t start = 0;
  while (start < fixed.size() && is_blank(fixed[start])) ++start;
  if (start > 0) {
    fixed.erase(0, start);
    if (why.empty()) why = "blanks stand before the name";
  }
  const size_t equals = fixed.find('=');
  if (equals != std::string::npos) {
    size_t end = equals;
    while (end > 0 && is_blank(fixed[end - 1])) --end;
    if (end < equals) {
      fixed.erase(end, equals - end);
      if (why.empty()) why = "a blank stands before \"=\"";
    }
  }
  if (why.empty() || settings_match(fixed.data(), key) == nullptr) return "";
  return why;
}

}  // namespace

std::vector<key_lines> scan_settings(FILE* stream) {
  constexpr size_t kKeys = std::size(kSettingKeys);
  std::vector<key_lines> keys(kKeys);
  std::rewind(stream);
  char piece[kSettingsLineBuffer];
  int line = 1;
  while (std::fgets(piece, sizeof piece, stream) != nullptr) {
    for (size_t k = 0; k < kKeys; ++k) {
      char copy[kSettingsLineBuffer];
      std::memcpy(copy, piece, sizeof copy);
      const std::string at = "line " + std::to_string(line) + ": ";
      if (settings_match(copy, kSettingKeys[k]) != nullptr) {
        if (keys[k].line == 0) {
          keys[k].line = line;
        } else {
          keys[k].warnings.push_back(at + "a later line for " + kSettingKeys[k] +
                                     " is ignored: line " +
                                     std::to_string(keys[k].line) + " comes first");
        }
      } else if (std::string why = near_miss(piece, kSettingKeys[k]); !why.empty()) {
        keys[k].warnings.push_back(at + "names " + kSettingKeys[k] +
                                   " but is not read as it: " + why);
      }
    }
    if (std::strchr(piece, '\n') != nullptr) ++line;
  }
  return keys;
}

bool parse_local_time(const char* text, time_t* when) {
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M"}) {
    struct tm local {};
    const char* end = strptime(text, format, &local);
    if (end == nullptr || *end != '\0') continue;
    local.tm_isdst = -1;
    *when = mktime(&local);
    return *when != static_cast<time_t>(-1);
  }
  return false;
}

std::vector<time_t> predict_runs(int32_t target, time_t from, int count) {
  std::vector<time_t> runs;
  int32_t now = 0;
  const bool known = minute_of_day_at(from, &now);
  scheduler state = scheduler_start(target, now, known);
  time_t last = from;
  for (time_t t = from; static_cast<int>(runs.size()) < count; t += kPassSeconds) {
    if (t - last > kNeverHorizon) break;
    // Like the daemon, a reading that fails keeps the last good one.
    minute_of_day_at(t, &now);
    if (scheduler_pass(&state, now)) {
      runs.push_back(t);
      last = t;
    }
  }
  return runs;
}

}  // namespace velmora
