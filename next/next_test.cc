#include "next/next.h"
#include "next/spread.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace velmora {
namespace {

// The zone velmora-next reports and judges, from what it read of TZ and of
// /etc/localtime.
TEST(JudgeZone, SaysWhereTheZoneComesFromAndWhatTheDaemonUses) {
  struct Case {
    const char* what;
    zone_reading zone;
    zone_use use;
    const char* line;
    std::vector<std::string> findings;  // "P: " for a problem, "W: " for a warning
  };
  const zone_reading berlin{false, "", "Europe/Berlin", false, "", "", false};
  zone_reading ny_tz = berlin;
  ny_tz.tz_set = true;
  ny_tz.tz = "America/New_York";
  zone_reading same_tz = ny_tz;
  same_tz.tz = "CET";
  same_tz.same = true;
  zone_reading broken = berlin;
  broken.host_problem = "/etc/localtime: not a zone file";
  zone_reading typo = ny_tz;
  typo.tz = "Europe/berlin";
  typo.tz_problem = "/usr/share/zoneinfo/Europe/berlin: No such file or directory";
  zone_reading empty = ny_tz;
  empty.tz = "";
  const Case cases[] = {
      {"the host's zone", berlin, zone_use::predict, "zone Europe/Berlin (from /etc/localtime)", {}},
      {"no /etc/localtime", {false, "", "", true, "", "", false}, zone_use::predict,
       "zone UTC (no /etc/localtime)", {}},
      {"TZ of another zone", ny_tz, zone_use::predict, "zone America/New_York (from TZ)",
       {"W: TZ=America/New_York is not /etc/localtime (Europe/Berlin), which the daemon uses "
        "when systemd starts it: the times below are in America/New_York"}},
      {"TZ of the same zone data", same_tz, zone_use::predict, "zone CET (from TZ)", {}},
      {"TZ set but empty", empty, zone_use::predict, "zone UTC (TZ is set but empty)",
       {"W: TZ is set but empty, which glibc takes for UTC: the times below are in UTC"}},
      {"--spread: the minute is chosen in TZ's zone, said so", ny_tz, zone_use::spread,
       "zone America/New_York (from TZ)",
       {"W: TZ=America/New_York is not /etc/localtime (Europe/Berlin), which the daemon uses "
        "when systemd starts it: the minute is chosen in America/New_York"}},
      {"--check: another TZ is ignored", ny_tz, zone_use::check, "",
       {"W: TZ=America/New_York is not the daemon's zone: started by systemd it uses "
        "/etc/localtime (Europe/Berlin), and so does this check"}},
      {"--check: a TZ that cannot load is no problem of the daemon's", typo, zone_use::check, "",
       {"W: TZ=Europe/berlin is not the daemon's zone: started by systemd it uses "
        "/etc/localtime (Europe/Berlin), and so does this check"}},
      {"--check: a broken /etc/localtime is a problem", broken, zone_use::check, "",
       {"P: the daemon's zone, /etc/localtime, cannot be loaded (/etc/localtime: not a zone "
        "file): glibc falls back to UTC, and the host restarts at that hour of UTC"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const zone_judgement got = judge_zone(c.zone, c.use);
    EXPECT_EQ(got.line, c.line);
    std::vector<std::string> findings;
    for (const finding& f : got.findings) findings.push_back((f.problem ? "P: " : "W: ") + f.text);
    EXPECT_EQ(findings, c.findings);
  }
}

// The nights a target restarts twice, late or not at its minute; and the
// spread's minute, which keeps to its window and avoids them.
TEST(Spread, AvoidsTheNightsTheClockMoves) {
  constexpr time_t k2027 = 1798761600;  // 2027-01-01
  struct Night {
    const char* zone;
    int32_t target;
    std::vector<std::string> nights;  // "YYYY-MM-DD runs/at the minute"
    const char* warning;              // how nights_warning() starts
  };
  const Night nights[] = {
      {"Europe/Berlin", 150, {"2027-03-28 1/0", "2027-10-31 2/2"},
       "02:30 restarts the host at another time on 2027-03-28, twice on 2027-10-31, as the clock "
       "moves"},
      {"Europe/Berlin", 90, {"2027-10-31 2/1"}, "01:30 restarts the host twice on 2027-10-31"},
      {"Europe/Berlin", 240, {}, ""},
      {"America/Santiago", 240, {"2027-04-03 2/1"}, "04:00 restarts the host twice on 2027-04-03"},
      {"UTC", 150, {}, ""},
      // Never reached on any night, said once; below 00:00 no "-1:00", and
      // just after midnight is its minute.
      {"Europe/Berlin", 1500, {"2027-03-28 0/0", "2027-10-31 0/0"},
       "target minute 1500 of the day is never reached: velmorad never restarts the host"},
      {"UTC", 1500, {}, "target minute 1500 of the day is never reached"},
      {"Europe/Berlin", -60, {"2027-10-31 2/1"},
       "target minute -60 of the day (just after midnight) restarts the host twice on 2027-10-31"},
  };
  for (const Night& n : nights) {
    SCOPED_TRACE(std::string(n.zone) + " " + std::to_string(n.target));
    setenv("TZ", n.zone, 1);
    tzset();
    std::vector<std::string> got;
    const std::vector<odd_night> odd = odd_nights(n.target, k2027, 365);
    for (const odd_night& night : odd) {
      char line[32];
      struct tm t {};
      localtime_r(&night.day, &t);
      std::snprintf(line, sizeof line, "%04d-%02d-%02d %d/%d", t.tm_year + 1900, t.tm_mon + 1,
                    t.tm_mday, night.runs, night.at_minute);
      got.push_back(line);
    }
    EXPECT_EQ(got, n.nights);
    const std::string warning = nights_warning(n.target, odd);
    EXPECT_EQ(warning.substr(0, std::strlen(n.warning)), n.warning);
    EXPECT_EQ(warning.empty(), *n.warning == '\0');
  }

  struct Window {
    const char* text;
    int32_t start, length;  // -1: refused
    const char* said;       // the problem; else the warning
  };
  const Window windows[] = {
      {"03:00-04:00", 180, 60, ""},
      {"23:30-00:30", 1410, 60, ""},
      {"20:00-08:00", 1200, 720, ""},
      {"04:00-03:00", 240, 1380,
       "the window 04:00-03:00 lasts 23 hours, more than 12 (its end lies past midnight: start "
       "and end swapped?)"},
      {"00:00-24:00", 0, 1440, "the window 00:00-24:00 lasts 24 hours, more than 12"},
      {"08:00-20:01", 480, 721, "the window 08:00-20:01 lasts 12 hours 1 minute, more than 12"},
      {"03:00-03:00", -1, 0, "the end is the start: no minute lies between"},
      {"01:+3-04:00", -1, 0, "the start's minute is not two digits"},
      {"01: 3-04:00", -1, 0, "the start's minute is not two digits"},
      {"01:30-04:-0", -1, 0, "the end's minute is not two digits"},
      {"3:00-04:00", -1, 0, "the start's hour is not two digits"},
      {"03.00-04:00", -1, 0, "no \":\" after the start's hour"},
      {"03:00", -1, 0, "no end after the start"},
      {"03:00-04:00x", -1, 0, "more after the end's minute"},
      {"24:00-01:00", -1, 0, "the start's hour is above 23"},
      {"03:00-04:60", -1, 0, "the end's minute is above 59"},
      {"03:00-24:01", -1, 0, "the end lies after 24:00"},
  };
  for (const Window& w : windows) {
    SCOPED_TRACE(w.text);
    const window got = parse_window(w.text);
    EXPECT_EQ(w.start >= 0 ? got.warning : got.problem, w.said);
    if (w.start >= 0) {
      EXPECT_EQ(got.problem, "");
      EXPECT_EQ(got.start * 10000 + got.length, w.start * 10000 + w.length);
    }
  }

  // Machine IDs as systemd makes them: random hex.
  std::vector<std::string> ids;
  uint64_t seed = 12345;
  for (int host = 0; host < 200; ++host) {
    std::string id;
    for (int i = 0; i < 32; ++i) {
      seed = seed * 6364136223846793005u + 1442695040888963407u;
      id += "0123456789abcdef"[seed >> 60];
    }
    ids.push_back(id);
  }

  // 200 hosts on their own: each on a minute of its window that restarts it
  // once every night, or failing those the fallback said, and none of those
  // minutes with much more than its share.
  struct Spread {
    const char* zone;
    const char* window;
    int32_t low, high;    // every minute within [low, high), in window order
    int fallback;
    const char* warning;  // how a fallback's warning starts
  };
  const Spread spreads[] = {
      {"UTC", "03:00-04:00", 180, 240, 0, ""},
      // Not 02:00-02:59, skipped and repeated, nor the minutes before, which
      // the fall back re-arms; their hosts not piled on the first after.
      {"Europe/Berlin", "02:00-05:00", 180, 300, 0, ""},
      {"Europe/Berlin", "01:30-04:00", 180, 240, 0, ""},
      {"Europe/Berlin", "23:30-00:30", 1410, 1440, 0, ""},
      {"America/New_York", "02:00-05:00", 180, 300, 0, ""},
      {"America/New_York", "01:30-04:00", 180, 240, 0, ""},
      {"America/New_York", "23:30-00:30", 1410, 1440, 0, ""},
      {"Pacific/Chatham", "03:00-04:00", 225, 240, 0, ""},
      // The repeated hour ends at midnight: once more on that night, said so.
      {"America/Santiago", "23:30-00:30", 1410, 1440, 2,
       "no minute in 23:30-00:30 restarts the host only once on every night of the coming year "
       "in this zone; 23:"},
      {"America/Santiago", "03:00-04:00", 180, 240, 2, "no minute in 03:00-04:00 restarts"},
      // Once every night, but late on the night the clock skips it, said so.
      {"Australia/Lord_Howe", "02:00-02:30", 120, 150, 1,
       "no minute in 02:00-02:30 restarts the host once, at its minute, on every night of the "
       "coming year in this zone; 02:"},
      // Late on one night and twice on the other: none will do.
      {"Europe/Berlin", "02:00-03:00", -1, -1, 0, ""},
  };
  for (const Spread& sp : spreads) {
    SCOPED_TRACE(std::string(sp.zone) + " " + sp.window);
    setenv("TZ", sp.zone, 1);
    tzset();
    const window w = parse_window(sp.window);
    std::map<int32_t, size_t> hosts;
    for (const std::string& id : ids) {
      const spread_pick pick = spread_minute(id, w.start, w.length, k2027);
      ++hosts[pick.target];
      if (sp.low < 0) continue;
      EXPECT_GE((pick.target - sp.low + 1440) % 1440, 0);
      EXPECT_LT((pick.target - sp.low + 1440) % 1440, (sp.high - sp.low + 1440) % 1440);
      EXPECT_EQ(pick.fallback, sp.fallback);
      EXPECT_EQ(pick.warning.substr(0, std::strlen(sp.warning)), sp.warning);
      EXPECT_EQ(pick.warning.find(", as the clock moves") != std::string::npos, sp.fallback > 0);
    }
    EXPECT_EQ(hosts.begin()->first == -1, sp.low < 0);
    // Spread, not piled up: the same answer each time, many minutes used.
    EXPECT_EQ(spread_minute(ids[0], w.start, w.length, k2027).target,
              spread_minute(ids[0], w.start, w.length, k2027).target);
    // A fair draw of 200 puts at most its share and four deviations (and
    // two) on a minute; piled on the first usable minute there were 76 to
    // 150.
    const double share = 200.0 / ((sp.high - sp.low + 1440) % 1440);
    for (const auto& [minute, count] : hosts) {
      EXPECT_LE(static_cast<double>(count), sp.low < 0 ? 200 : share + 4 * std::sqrt(share) + 2)
          << minute;
    }
  }

  // A fleet that knows its hosts: N of them evenly over the usable minutes,
  // each one usable.
  struct Fleet {
    const char* zone;
    const char* window;
    uint32_t hosts;
    std::vector<std::string> minutes;  // host 1's first; empty for a count
  };
  const Fleet fleets[] = {
      {"UTC", "03:00-04:00", 1, {"03:30"}},
      {"Europe/Berlin", "01:30-04:00", 6, {"03:05", "03:15", "03:25", "03:35", "03:45", "03:55"}},
      {"Pacific/Chatham", "03:00-04:00", 3, {"03:47", "03:52", "03:57"}},
      {"UTC", "23:30-00:30", 4, {"23:37", "23:52", "00:07", "00:22"}},
      {"America/New_York", "02:00-05:00", 300, {}},  // 2 or 3 on each of 03:00-04:59
  };
  for (const Fleet& f : fleets) {
    SCOPED_TRACE(std::string(f.zone) + " " + f.window + " " + std::to_string(f.hosts));
    setenv("TZ", f.zone, 1);
    tzset();
    const window w = parse_window(f.window);
    std::vector<std::string> got;
    std::map<int32_t, uint32_t> on;
    for (uint32_t k = 1; k <= f.hosts; ++k) {
      const spread_pick pick = place_minute(k, f.hosts, w.start, w.length, k2027);
      EXPECT_EQ(odd_nights(pick.target, k2027, 366).size(), 0u) << pick.target;
      char hhmm[32];
      std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", pick.target / 60, pick.target % 60);
      got.push_back(hhmm);
      ++on[pick.target];
    }
    if (!f.minutes.empty()) {
      EXPECT_EQ(got, f.minutes);
    } else {
      EXPECT_EQ(on.size(), 120u);
      for (const auto& [minute, count] : on) EXPECT_TRUE(count == 2 || count == 3) << minute;
    }
  }
  EXPECT_EQ(place_minute(0, 3, 180, 60, k2027).target, -1);
  EXPECT_EQ(place_minute(4, 3, 180, 60, k2027).target, -1);

  // --place: K/N in digits alone, K from 1 to N.
  const struct {
    const char* text;
    uint32_t place, hosts;  // 0: refused
  } places[] = {{"1/1", 1, 1},   {"3/7", 3, 7}, {"1000000/1000000", 1000000, 1000000},
                {"0/3", 0, 0},   {"4/3", 0, 0}, {"+1/3", 0, 0}, {"1/ 3", 0, 0},
                {"1/1000001", 0, 0}, {"1/3x", 0, 0}, {"1-3", 0, 0}, {"/3", 0, 0}};
  for (const auto& p : places) {
    uint32_t place = 0, hosts = 0;
    EXPECT_EQ(parse_place(p.text, &place, &hosts), p.hosts > 0) << p.text;
    EXPECT_EQ(place * 10000000u + hosts, p.place * 10000000u + p.hosts) << p.text;
  }
  unsetenv("TZ");
  tzset();
}

// --from takes the two forms of its manual, every field with all its digits;
// strptime() alone would take "2026-1-2 3:4" too.
TEST(FromForm, TakesOnlyTheFormsOfTheManual) {
  const struct {
    const char* text;
    bool taken;
  } cases[] = {
      {"2026-01-02 03:04", true},   {"2026-01-02 03:04:05", true}, {"2026-1-2 3:4", false},
      {"2026-01-02 3:04", false},   {"2026-01-02T03:04", false},   {" 2026-01-02 03:04", false},
      {"2026-01-02 03:04:5", false}, {"2026-01-02", false},        {"2026-01-02 03:04 ", false},
  };
  for (const auto& c : cases) EXPECT_EQ(from_form(c.text), c.taken) << c.text;
}

}  // namespace
}  // namespace velmora
