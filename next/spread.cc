#include "next/spread.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "daemon/clock.h"
#include "daemon/scheduler.h"
#include "forecast/forecast.h"

namespace velmora {
namespace {

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

std::string hhmm(int32_t minute) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(minute / 60),
                static_cast<int>(minute % 60));
  return text;
}

// The daemon's readings of the clock on one day on which local time jumps,
// a pass every 30 seconds from a minute before its midnight up to the next:
// midnight arms the daemon whenever it started, so one started just before
// it behaves as one that ran all along. Read once, they judge any target.
struct moving_night {
  time_t day;                    // local midnight
  bool known;                    // the first reading succeeded
  size_t first_of_day;           // the first reading at or after `day`
  std::vector<int32_t> minutes;  // a failed reading keeps the last, as the daemon does
  std::vector<size_t> rises;     // where each stretch of readings that never go down
                                 // starts; first_of_day starts one too
};

std::vector<moving_night> moving_nights(time_t from, int days) {
  std::vector<moving_night> out;
  time_t day = local_midnight(from, 0);
  for (int d = 0; d < days; ++d) {
    const time_t next = local_midnight(from, d + 1);
    if (next - day != 86400) {
      moving_night night{day, false, 0, {}, {}};
      int32_t now = 0;
      night.known = minute_of_day_at(day - 60, &now);
      for (time_t t = day - 60; t < next; t += kPassSeconds) {
        minute_of_day_at(t, &now);
        if (t < day) night.first_of_day = night.minutes.size() + 1;
        const size_t i = night.minutes.size();
        if (i == 0 || i == night.first_of_day || now < night.minutes.back()) night.rises.push_back(i);
        night.minutes.push_back(now);
      }
      out.push_back(std::move(night));
    }
    day = next;
  }
  return out;
}

// What the daemon does with `target` on that day. Within a stretch of
// readings that never go down only its first pass can re-arm, and only the
// first at or past the target can run the command: the passes between them
// and after change nothing but the reading the next one compares with,
// which the stretch's last pass leaves as it would. Those three passes are
// all the daemon's decision is given.
odd_night judge(const moving_night& night, int32_t target) {
  const int32_t due = target < 0 ? 0 : target;  // below 00:00: just after midnight
  const std::vector<int32_t>& minutes = night.minutes;
  scheduler state = scheduler_start(target, minutes.front(), night.known);
  odd_night out{night.day, 0, 0};
  auto pass = [&](size_t i) {
    if (scheduler_pass(&state, minutes[i]) && i >= night.first_of_day) {
      ++out.runs;
      if (minutes[i] == due) ++out.at_minute;
    }
  };
  for (size_t r = 0; r < night.rises.size(); ++r) {
    const size_t begin = night.rises[r];
    const size_t end = r + 1 < night.rises.size() ? night.rises[r + 1] : minutes.size();
    const size_t hit = static_cast<size_t>(
        std::lower_bound(minutes.begin() + static_cast<std::ptrdiff_t>(begin),
                         minutes.begin() + static_cast<std::ptrdiff_t>(end), target) -
        minutes.begin());
    pass(begin);
    if (hit > begin && hit < end) pass(hit);
    if (end - 1 > begin && end - 1 != hit) pass(end - 1);
  }
  return out;
}

bool odd(const odd_night& night) { return night.runs != 1 || night.at_minute != 1; }

std::vector<odd_night> odd_of(const std::vector<moving_night>& nights, int32_t target) {
  std::vector<odd_night> out;
  for (const moving_night& night : nights) {
    if (const odd_night judged = judge(night, target); odd(judged)) out.push_back(judged);
  }
  return out;
}

// "twice on 2026-10-25, at another time on 2027-03-28"
std::string what_on(const std::vector<odd_night>& nights) {
  std::string text;
  for (const odd_night& night : nights) {
    const char* what = night.runs == 0         ? "not at all"
                       : night.runs > 1        ? "twice"
                       : night.at_minute == 0  ? "at another time"
                                               : "once";
    text += (text.empty() ? "" : ", ") + std::string(what) + " on " +
            local_text(night.day, "%F");
  }
  return text;
}

// 0: once at its minute every night; 1: once every night, but at another
// time on some; 2: at its minute every night, and once more on some; 3:
// none of these.
int kind_of(const std::vector<moving_night>& nights, int32_t target) {
  bool once = true, at_minute = true, usable = true;
  for (const moving_night& night : nights) {
    const odd_night judged = judge(night, target);
    usable = usable && !odd(judged);
    once = once && judged.runs == 1;
    at_minute = at_minute && judged.at_minute >= 1 && judged.runs <= 2;
  }
  return usable ? 0 : once ? 1 : at_minute ? 2 : 3;
}

// The minutes the window offers, in its order, and of which kind they are.
struct offer {
  std::vector<int32_t> minutes;
  int kind = 3;
};

offer offered(const std::vector<moving_night>& nights, int32_t start, int32_t length) {
  std::vector<int32_t> of_kind[3];
  for (int32_t i = 0; i < length; ++i) {
    const int32_t target = (start + i) % 1440;
    if (const int kind = kind_of(nights, target); kind < 3) of_kind[kind].push_back(target);
  }
  for (int kind = 0; kind < 3; ++kind) {
    if (!of_kind[kind].empty()) return {std::move(of_kind[kind]), kind};
  }
  return {};
}

spread_pick picked(const std::vector<moving_night>& nights, const offer& choice, int32_t target,
                   int32_t start, int32_t length) {
  spread_pick pick{target, choice.kind, ""};
  if (choice.kind == 0) return pick;
  const int32_t end = start + length;
  const std::string window = hhmm(start) + "-" + (end == 1440 ? "24:00" : hhmm(end % 1440));
  const std::string nights_text = what_on(odd_of(nights, target));
  pick.warning = choice.kind == 1
                     ? "no minute in " + window + " restarts the host once, at its minute, on "
                       "every night of the coming year in this zone; " + hhmm(target) +
                       " restarts it once every night, but " + nights_text
                     : "no minute in " + window + " restarts the host only once on every night "
                       "of the coming year in this zone; " + hhmm(target) +
                       " restarts it at its minute every night, but " + nights_text;
  pick.warning += ", as the clock moves";
  return pick;
}

}  // namespace

std::vector<odd_night> odd_nights(int32_t target, time_t from, int days) {
  return odd_of(moving_nights(from, days), target);
}

std::string nights_warning(int32_t target, const std::vector<odd_night>& nights) {
  if (target >= 1440) {
    return "target minute " + std::to_string(target) +
           " of the day is never reached: velmorad never restarts the host";
  }
  if (nights.empty()) return "";
  const std::string name = target < 0 ? "target minute " + std::to_string(target) +
                                            " of the day (just after midnight)"
                                      : hhmm(target);
  return name + " restarts the host " + what_on(nights) +
         ", as the clock moves; velmorad(8) says which times restart once every night";
}

window parse_window(const char* text) {
  window w;
  // The form, a character each: digits of the start's hour and minute, ":",
  // "-", and the end's; what a wrong one at each place is called.
  constexpr const char form[] = "00:00-00:00";
  constexpr const char* names[] = {
      "the start's hour is not two digits", "the start's hour is not two digits",
      "no \":\" after the start's hour",    "the start's minute is not two digits",
      "the start's minute is not two digits", "no \"-\" after the start",
      "the end's hour is not two digits",   "the end's hour is not two digits",
      "no \":\" after the end's hour",      "the end's minute is not two digits",
      "the end's minute is not two digits"};
  int32_t value[4] = {};
  for (size_t i = 0; i < sizeof form - 1; ++i) {
    const char c = text[i];
    const bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
    if (c == '\0') {
      w.problem = i == 5 ? "no end after the start" : names[i];
      return w;
    }
    if (form[i] == '0' ? !digit : c != form[i]) {
      w.problem = names[i];
      return w;
    }
    if (digit) value[i / 3] = value[i / 3] * 10 + (c - '0');
  }
  if (text[sizeof form - 1] != '\0') {
    w.problem = "more after the end's minute";
  } else if (value[0] > 23) {
    w.problem = "the start's hour is above 23";
  } else if (value[1] > 59) {
    w.problem = "the start's minute is above 59";
  } else if (value[2] > 24) {
    w.problem = "the end's hour is above 24";
  } else if (value[3] > 59) {
    w.problem = "the end's minute is above 59";
  } else if (value[2] == 24 && value[3] > 0) {
    w.problem = "the end lies after 24:00";
  } else if (value[0] * 60 + value[1] == value[2] * 60 + value[3]) {
    w.problem = "the end is the start: no minute lies between";
  }
  if (!w.problem.empty()) return w;
  w.start = value[0] * 60 + value[1];
  const int32_t end = value[2] * 60 + value[3];
  w.length = end > w.start ? end - w.start : end + 1440 - w.start;
  if (w.length > 720) {
    const int32_t hours = w.length / 60, minutes = w.length % 60;
    w.warning = "the window " + std::string(text) + " lasts " + std::to_string(hours) +
                " hours" +
                (minutes == 0 ? ""
                              : " " + std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes")) +
                ", more than 12" + (end < w.start ? " (its end lies past midnight: start and end "
                                                   "swapped?)"
                                                 : "");
  }
  return w;
}

bool parse_place(const char* text, uint32_t* place, uint32_t* hosts) {
  // Digits alone, seven at most: no sign, no blank.
  auto number = [](const char*& p, uint32_t* n) {
    const char* digits = p;
    for (*n = 0; std::isdigit(static_cast<unsigned char>(*p)) && p - digits < 7; ++p) {
      *n = *n * 10 + static_cast<uint32_t>(*p - '0');
    }
    return p > digits && std::isdigit(static_cast<unsigned char>(*p)) == 0;
  };
  const char* p = text;
  uint32_t k = 0, n = 0;
  if (!number(p, &k) || *p++ != '/' || !number(p, &n) || *p != '\0') return false;
  if (k < 1 || k > n || n > kMaxHosts) return false;
  *place = k;
  *hosts = n;
  return true;
}

spread_pick spread_minute(std::string_view machine_id, int32_t start, int32_t length,
                          time_t from) {
  const std::vector<moving_night> nights = moving_nights(from, 366);
  const offer choice = offered(nights, start, length);
  if (choice.minutes.empty()) return {};
  char window[32];
  std::snprintf(window, sizeof window, " %d+%d", static_cast<int>(start),
                static_cast<int>(length));
  const uint64_t h = mix(std::string(machine_id) + window);
  const uint64_t n = static_cast<uint64_t>(length);
  // The hashed minute where it is offered; else an offered one, drawn with
  // the hash's other bits: each offered minute is as likely as another.
  const int32_t hashed = static_cast<int32_t>((static_cast<uint64_t>(start) + h % n) % 1440);
  const bool kept = std::find(choice.minutes.begin(), choice.minutes.end(), hashed) != choice.minutes.end();
  return picked(nights, choice,
                kept ? hashed : choice.minutes[(h / n) % choice.minutes.size()], start, length);
}

spread_pick place_minute(uint32_t place, uint32_t hosts, int32_t start, int32_t length,
                         time_t from) {
  if (place < 1 || place > hosts) return {};
  const std::vector<moving_night> nights = moving_nights(from, 366);
  const offer choice = offered(nights, start, length);
  if (choice.minutes.empty()) return {};
  const uint64_t at = (2 * uint64_t{place} - 1) * choice.minutes.size() / (2 * uint64_t{hosts});
  return picked(nights, choice, choice.minutes[at], start, length);
}

}  // namespace velmora
