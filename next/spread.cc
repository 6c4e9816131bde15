#include "next/spread.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "forecast/forecast.h"

namespace velmora {
namespace {

int32_t minute_of(time_t when) {
  struct tm t {};
  localtime_r(&when, &t);
  return t.tm_hour * 60 + t.tm_min;
}

// FNV-1a, then a finaliser that spreads its low bits, which the window's
// length picks from: the same bytes give the same number everywhere.
uint64_t mix(std::string_view text) {
  uint64_t h = 0xcbf29ce484222325u;
  for (const char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3u;
  }
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9u;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebu;
  return h ^ (h >> 31);
}

}  // namespace

std::vector<odd_night> odd_nights(int32_t target, time_t from, int days) {
  std::vector<odd_night> out;
  for (int d = 0; d < days; ++d) {
    const time_t day = local_midnight(from, d), next = local_midnight(from, d + 1);
    if (next - day == 86400) continue;  // the clock did not move that day
    // Midnight arms the daemon whenever it started, so one started just
    // before it behaves as one that ran all along.
    odd_night night{day, 0, 0};
    for (const time_t run : predict_runs(target, day - 60, 8, next)) {
      if (run < day) continue;
      ++night.runs;
      if (minute_of(run) == target) ++night.at_minute;
    }
    if (night.runs != 1 || night.at_minute != 1) out.push_back(night);
  }
  return out;
}

std::string nights_warning(int32_t target, const std::vector<odd_night>& nights) {
  std::string text;
  for (const odd_night& night : nights) {
    const char* what = night.runs == 0                            ? "not at all"
                       : night.runs > 1                           ? "twice"
                       : night.at_minute == 0                     ? "at another time"
                                                                  : "once";
    text += (text.empty() ? "" : ", ") + std::string(what) + " on " +
            local_text(night.day, "%F");
  }
  if (text.empty()) return text;
  char hhmm[16];
  std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", static_cast<int>(target / 60),
                static_cast<int>(target % 60));
  return std::string(hhmm) + " restarts the host " + text +
         ", as the clock moves; velmorad(8) says which times restart once every night";
}

bool parse_window(const char* text, int32_t* start, int32_t* length) {
  unsigned h1 = 0, m1 = 0, h2 = 0, m2 = 0;
  int used = 0;
  if (std::strlen(text) != 11 ||
      std::sscanf(text, "%2u:%2u-%2u:%2u%n", &h1, &m1, &h2, &m2, &used) != 4 || used != 11 ||
      text[0] < '0' || text[0] > '9' || text[6] < '0' || text[6] > '9' || h1 > 23 || m1 > 59 ||
      h2 > 24 || m2 > 59 || (h2 == 24 && m2 != 0)) {
    return false;
  }
  const int32_t first = static_cast<int32_t>(h1 * 60 + m1);
  const int32_t end = static_cast<int32_t>(h2 * 60 + m2);
  if (end == first) return false;
  *start = first;
  *length = end > first ? end - first : end + 1440 - first;
  return true;
}

spread_pick spread_minute(std::string_view machine_id, int32_t start, int32_t length,
                          time_t from) {
  char window[32];
  std::snprintf(window, sizeof window, " %d+%d", static_cast<int>(start),
                static_cast<int>(length));
  const uint64_t h = mix(std::string(machine_id) + window);
  const int32_t first = static_cast<int32_t>(h % static_cast<uint64_t>(length));
  for (const bool strict : {true, false}) {
    for (int32_t i = 0; i < length; ++i) {
      const int32_t target = (start + (first + i) % length) % 1440;
      bool fits = true;
      for (const odd_night& night : odd_nights(target, from, 366)) {
        if (strict || night.at_minute != 1) fits = false;
      }
      if (fits) return {target, strict};
    }
  }
  return {};
}

}  // namespace velmora
