#include "forecast/forecast.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "daemon/clock.h"
#include "daemon/scheduler.h"

namespace velmora {
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

std::string zone_problem() { return zone_problem(std::getenv("TZ")); }

std::string zone_file(const char* tz) {
  if (*tz == ':') ++tz;
  if (*tz == '/') return tz;
  const char* dir = std::getenv("TZDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + tz;
}

std::string zone_problem(const char* tz) {
  if (tz == nullptr) {
    // No /etc/localtime at all is the usual way to ask for UTC.
    struct stat st {};
    if (lstat("/etc/localtime", &st) != 0) return "";
    return zone_file_problem("/etc/localtime");
  }
  if (*tz == ':') ++tz;
  if (*tz == '\0') return "";  // glibc takes an empty TZ for UTC
  std::string problem = zone_file_problem(zone_file(tz));
  return problem.empty() || is_zone_rule(tz) ? "" : problem;
}

time_t local_midnight(time_t when, int days_later) {
  struct tm t {};
  localtime_r(&when, &t);
  t.tm_mday += days_later;
  t.tm_hour = t.tm_min = t.tm_sec = 0;
  t.tm_isdst = -1;
  return mktime(&t);
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

bool parse_local_time(const char* text, time_t* when, bool* twice) {
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M"}) {
    struct tm asked {};
    const char* end = strptime(text, format, &asked);
    if (end == nullptr || *end != '\0') continue;
    // Each reading, in standard and in summer time, that the local clock
    // shows as asked: none for a date that does not exist or a time in the
    // skipped hour, two in the repeated hour.
    std::vector<time_t> found;
    for (int dst : {0, 1}) {
      struct tm t = asked;
      t.tm_isdst = dst;
      const time_t at = mktime(&t);
      struct tm shown {};
      if (at == static_cast<time_t>(-1) || localtime_r(&at, &shown) == nullptr) continue;
      if (shown.tm_year == asked.tm_year && shown.tm_mon == asked.tm_mon &&
          shown.tm_mday == asked.tm_mday && shown.tm_hour == asked.tm_hour &&
          shown.tm_min == asked.tm_min && shown.tm_sec == asked.tm_sec &&
          std::find(found.begin(), found.end(), at) == found.end()) {
        found.push_back(at);
      }
    }
    if (found.empty()) return false;
    *when = *std::min_element(found.begin(), found.end());
    if (twice != nullptr) *twice = found.size() > 1;
    return true;
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
