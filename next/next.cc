#include "next/next.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
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
  // Most lines have none of these; they are told apart without a copy.
  const char* equals_at = std::strchr(piece, '=');
  if (std::strncmp(piece, kByteOrderMark, 3) != 0 && !is_blank(*piece) &&
      (equals_at == nullptr || equals_at == piece || !is_blank(equals_at[-1]))) {
    return "";
  }
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

settings_scan scan_settings(FILE* stream) {
  constexpr size_t kKeys = std::size(kSettingKeys);
  settings_scan scan;
  std::rewind(stream);
  char piece[kSettingsLineBuffer];
  long line = 1;
  // Warnings beyond the first few for a key are only counted.
  auto kept = [](key_lines& key) {
    if (key.warnings.size() < kWarningsKept) return true;
    ++key.more;
    return false;
  };
  while (std::fgets(piece, sizeof piece, stream) != nullptr) {
    // Nothing after a zero byte counts, so the copy stops there.
    const size_t length = std::strlen(piece) + 1;
    const std::string at = "line " + std::to_string(line) + ": ";
    for (size_t k = 0; k < kKeys; ++k) {
      char copy[kSettingsLineBuffer];
      std::memcpy(copy, piece, length);
      key_lines& key = scan.keys[k];
      if (settings_match(copy, kSettingKeys[k]) != nullptr) {
        if (key.line == 0) {
          key.line = line;
        } else if (kept(key)) {
          key.warnings.push_back(at + "a later line for " + kSettingKeys[k] +
                                 " is ignored: line " + std::to_string(key.line) +
                                 " comes first");
        }
      } else if (std::string why = near_miss(piece, kSettingKeys[k]);
                 !why.empty() && kept(key)) {
        key.warnings.push_back(at + "names " + kSettingKeys[k] + " but is not read as it: " + why);
      }
    }
    if (std::strchr(piece, '\n') != nullptr) ++line;
  }
  if (std::ferror(stream)) {
    scan.read_error = errno;
    scan.error_line = line;
  }
  return scan;
}

std::string unreadable_reason(const char* path, int error) {
  struct stat st {};
  if (stat(path, &st) != 0 || S_ISREG(st.st_mode)) return std::strerror(error);
  const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "something else";
  return std::string(kind) + ", not a regular file";
}

namespace {

// glibc's reading of a TZ value that names no zone file: a name of three
// letters or more (or one in angle brackets) and then an offset. Without
// both it computes in UTC.
bool is_zone_rule(const char* rule) {
  const char* p = rule;
  if (*p == '<') {
    while (*++p != '\0' && *p != '>') {
    }
    if (*p != '>' || p - rule < 4) return false;
    ++p;
  } else {
    while (std::isalpha(static_cast<unsigned char>(*p))) ++p;
    if (p - rule < 3) return false;
  }
  if (*p == '+' || *p == '-') ++p;
  return std::isdigit(static_cast<unsigned char>(*p));
}

// Whether `path` holds compiled zone data, as glibc would read it.
std::string zone_file_problem(const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return path + ": " + std::strerror(errno);
  char magic[4] = {};
  const bool ok = std::fread(magic, 1, sizeof magic, file) == sizeof magic &&
                  std::memcmp(magic, "TZif", 4) == 0;
  std::fclose(file);
  return ok ? "" : path + ": not a zone file";
}

}  // namespace

std::string zone_problem() {
  const char* tz = std::getenv("TZ");
  if (tz == nullptr) {
    // No /etc/localtime at all is the usual way to ask for UTC.
    struct stat st {};
    if (lstat("/etc/localtime", &st) != 0) return "";
    return zone_file_problem("/etc/localtime");
  }
  if (*tz == ':') ++tz;
  if (*tz == '\0') return "";  // glibc takes an empty TZ for UTC
  std::string path = tz;
  if (*tz != '/') {
    const char* dir = std::getenv("TZDIR");
    path = std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + tz;
  }
  std::string problem = zone_file_problem(path);
  return problem.empty() || is_zone_rule(tz) ? "" : problem;
}

std::string local_text(time_t when, const char* format) {
  struct tm local {};
  char text[64] = "?";
  if (localtime_r(&when, &local) != nullptr) strftime(text, sizeof text, format, &local);
  return text;
}

bool parse_count(const char* text, int low, int high, int* number) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < low || n > high) return false;
  *number = static_cast<int>(n);
  return true;
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

std::vector<time_t> predict_runs(int32_t target, time_t from, int count, time_t until) {
  std::vector<time_t> runs;
  int32_t now = 0;
  const bool known = minute_of_day_at(from, &now);
  scheduler state = scheduler_start(target, now, known);
  time_t last = from;
  for (time_t t = from; static_cast<int>(runs.size()) < count && t < until; t += kPassSeconds) {
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
