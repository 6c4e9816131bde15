#include "forecast/forecast.h"

#include <sys/stat.h>

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

std::string zone_problem(const char* tz) {
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
