#include "next/next.h"
#include "next/spread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
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
    bool checking;
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
      {"the host's zone", berlin, false, "zone Europe/Berlin (from /etc/localtime)", {}},
      {"no /etc/localtime", {false, "", "", true, "", "", false}, false,
       "zone UTC (no /etc/localtime)", {}},
      {"TZ of another zone", ny_tz, false, "zone America/New_York (from TZ)",
       {"W: TZ=America/New_York is not /etc/localtime (Europe/Berlin), which the daemon uses "
        "when systemd starts it: the times below are in America/New_York"}},
      {"TZ of the same zone data", same_tz, false, "zone CET (from TZ)", {}},
      {"TZ set but empty", empty, false, "zone UTC (TZ is set but empty)",
       {"W: TZ is set but empty, which glibc takes for UTC: the times below are in UTC"}},
      {"--check: another TZ is ignored", ny_tz, true, "",
       {"W: TZ=America/New_York is not the daemon's zone: started by systemd it uses "
        "/etc/localtime (Europe/Berlin), and so does this check"}},
      {"--check: a TZ that cannot load is no problem of the daemon's", typo, true, "",
       {"W: TZ=Europe/berlin is not the daemon's zone: started by systemd it uses "
        "/etc/localtime (Europe/Berlin), and so does this check"}},
      {"--check: a broken /etc/localtime is a problem", broken, true, "",
       {"P: the daemon's zone, /etc/localtime, cannot be loaded (/etc/localtime: not a zone "
        "file): glibc falls back to UTC, and the host restarts at that hour of UTC"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const zone_judgement got = judge_zone(c.zone, c.checking);
    EXPECT_EQ(got.line, c.line);
    std::vector<std::string> findings;
    for (const finding& f : got.findings) findings.push_back((f.problem ? "P: " : "W: ") + f.text);
    EXPECT_EQ(findings, c.findings);
  }
}

// The nights a target restarts twice, late or not at its minute; and the
// spread's minute, which keeps to its window and avoids them.
TEST(Spread, AvoidsTheNightsTheClockMoves) {
  struct Night {
    const char* zone;
    int32_t target;
    std::vector<std::string> nights;  // "YYYY-MM-DD runs/at the minute"
  };
  const Night nights[] = {
      {"Europe/Berlin", 150, {"2027-03-28 1/0", "2027-10-31 2/2"}},
      {"Europe/Berlin", 90, {"2027-10-31 2/1"}},
      {"Europe/Berlin", 240, {}},
      {"America/Santiago", 240, {"2027-04-03 2/1"}},
      {"UTC", 150, {}},
  };
  for (const Night& n : nights) {
    SCOPED_TRACE(std::string(n.zone) + " " + std::to_string(n.target));
    setenv("TZ", n.zone, 1);
    tzset();
    std::vector<std::string> got;
    for (const odd_night& night : odd_nights(n.target, 1798761600 /* 2027-01-01 */, 365)) {
      char line[32];
      struct tm t {};
      localtime_r(&night.day, &t);
      std::snprintf(line, sizeof line, "%04d-%02d-%02d %d/%d", t.tm_year + 1900, t.tm_mon + 1,
                    t.tm_mday, night.runs, night.at_minute);
      got.push_back(line);
    }
    EXPECT_EQ(got, n.nights);
  }

  struct Window {
    const char* text;
    int32_t start, length;  // -1: refused
  };
  const Window windows[] = {{"03:00-04:00", 180, 60}, {"23:30-00:30", 1410, 60},
                            {"00:00-24:00", 0, 1440}, {"03:00-03:00", -1, 0},
                            {"3:00-04:00", -1, 0},    {"03:00-24:01", -1, 0},
                            {"03:00-04:00x", -1, 0}};
  for (const Window& w : windows) {
    int32_t start = -1, length = 0;
    EXPECT_EQ(parse_window(w.text, &start, &length), w.start >= 0) << w.text;
    if (w.start >= 0) {
      EXPECT_EQ(start * 10000 + length, w.start * 10000 + w.length) << w.text;
    }
  }

  struct Spread {
    const char* zone;
    int32_t start, length;
    int32_t low, high;  // every minute within [low, high)
    bool once;
  };
  const Spread spreads[] = {
      {"UTC", 180, 60, 180, 240, true},
      {"Europe/Berlin", 120, 120, 180, 240, true},  // not 02:00-02:59
      {"UTC", 1410, 60, 0, 1440, true},             // past midnight
      {"America/Santiago", 180, 60, 180, 240, false},
  };
  for (const Spread& sp : spreads) {
    SCOPED_TRACE(sp.zone);
    setenv("TZ", sp.zone, 1);
    tzset();
    std::set<int32_t> seen;
    for (unsigned host = 0; host < 40; ++host) {
      char id[40];
      std::snprintf(id, sizeof id, "%08x0123456789abcdef%08x", host * 2654435761u, host);
      const spread_pick pick = spread_minute(id, sp.start, sp.length, 1798761600);
      EXPECT_EQ(spread_minute(id, sp.start, sp.length, 1798761600).target, pick.target);
      EXPECT_GE(pick.target, sp.low);
      EXPECT_LT(pick.target, sp.high);
      EXPECT_EQ((pick.target - sp.start + 1440) % 1440 < sp.length, true);
      EXPECT_EQ(pick.once, sp.once);
      seen.insert(pick.target);
    }
    EXPECT_GE(seen.size(), 15u);  // spread, not clustered
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
