#include "next/next.h"

#include <gtest/gtest.h>

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
