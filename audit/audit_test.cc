#include "audit/audit.h"

#include <gtest/gtest.h>

#include "audit/ledger.h"

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace velmora {
namespace {

// "YYYY-MM-DD HH:MM:SS +HHMM": unambiguous also in the repeated hour.
time_t At(const char* text) {
  struct tm t {};
  EXPECT_NE(strptime(text, "%Y-%m-%d %H:%M:%S %z", &t), nullptr) << text;
  const long offset = t.tm_gmtoff;
  return timegm(&t) - offset;
}

struct Boot {
  const char* first;
  const char* last;  // nullptr: the current boot, up to now
  bool head_known = false;
};

// The settings file gave `target` from `changed` on, last seen at `seen`
// (nullptr: now).
struct Record {
  const char* changed;
  const char* seen;
  int32_t target;
};

// /etc/localtime named `name` from `changed` on, last seen so at `seen`
// (nullptr: now).
struct Zone {
  const char* changed;
  const char* seen;
  const char* name;
};

struct Event {
  const char* at;
  size_t boot;
  bool start = true;  // else the unit stopped
  int crash = 0;      // a stop: the daemon ended with this status, and PID 1 restarted it
};

struct Case {
  const char* what;
  const char* zone;
  int32_t target;
  const char* now;
  int days;
  std::vector<Boot> boots;  // the journal starts with the first
  std::vector<Event> events;
  std::vector<std::string> days_seen;  // "MM-DD verdict[,verdict]"
  audit_state state;
  std::vector<Record> history = {};  // none: the file gave `target` all along
  int enabled = -1;
  bool pending = false;
  const char* installed = nullptr;  // when velmorad came to the host; nullptr: not known
  std::vector<Zone> zones = {};  // none: TZ is set, every daemon ran in `zone`
  const char* next = nullptr;    // the next restart, "none", or nullptr: not checked
  const char* kept = nullptr;    // the zone the running daemon keeps, where not the host's
};

std::vector<std::string> Days(const audit_result& result) {
  std::vector<std::string> out;
  for (const day_report& day : result.days) {
    struct tm t {};
    localtime_r(&day.start, &t);
    char date[8];
    strftime(date, sizeof date, "%m-%d", &t);
    std::string line = std::string(date) + " ";
    for (size_t i = 0; i < day.dues.size(); ++i) {
      line += (i > 0 ? "," : "") + std::string(verdict_name(day.dues[i].what));
    }
    out.push_back(line);
  }
  return out;
}

TEST(Audit, JudgesEachDayFromTheJournal) {
  // A daemon started in Berlin keeps its 03:00 (02:00 UTC) after the zone
  // is set west to New York; the one after its restart runs at New York's.
  const std::vector<Boot> west_boots = {
      {"2026-12-06 19:00:00 +0000", "2026-12-07 02:00:20 +0000", true},
      {"2026-12-07 02:01:00 +0000", "2026-12-08 02:00:20 +0000"},
      {"2026-12-08 02:01:00 +0000", nullptr}};
  const std::vector<Event> west_events = {{"2026-12-06 19:00:30 +0000", 0},
                                          {"2026-12-07 02:01:30 +0000", 1},
                                          {"2026-12-08 02:01:30 +0000", 2}};
  // A daemon started in New York, running when the zone is set east.
  const std::vector<Boot> east_boots = {{"2026-12-07 08:01:00 +0000", nullptr, true}};
  const std::vector<Event> east_events = {{"2026-12-07 08:01:30 +0000", 0}};
  const int32_t at3 = 180;
  const Case cases[] = {
      {"restart happened", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 03:00:40 +0000"},
        {"2026-06-02 03:01:10 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}, {"2026-06-02 03:01:40 +0000", 1}},
       {"06-02 happened"}, audit_state::ok},
      {"missed: the host stayed up", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}},
       {"06-02 missed"}, audit_state::critical},
      {"missed: restarted by hand an hour later", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 04:00:00 +0000"},
        {"2026-06-02 04:01:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}, {"2026-06-02 04:01:30 +0000", 1}},
       {"06-02 missed"}, audit_state::critical},
      {"pending: due two minutes ago", "UTC", at3, "2026-06-02 03:02:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}},
       {"06-02 pending"}, audit_state::ok, {}, -1, false, nullptr, {},
       "2026-06-03 03:00:00 +0000"},
      {"the host was down at the due time", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 01:00:00 +0000"},
        {"2026-06-02 05:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}, {"2026-06-02 05:00:30 +0000", 1}},
       {"06-02 host down"}, audit_state::ok},
      {"the daemon started after the due time", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-05-31 20:00:00 +0000", "2026-06-01 19:00:00 +0000"},
        {"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-02 10:00:00 +0000", 1}},
       {"06-02 not running"}, audit_state::ok},
      {"the daemon started during the due minute", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-05-31 20:00:00 +0000", "2026-06-01 19:00:00 +0000"},
        {"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-02 03:00:20 +0000", 1}},
       {"06-02 not armed"}, audit_state::ok},
      {"the oldest boot may hide a start", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-02 10:00:00 +0000", 0}},
       {"06-02 unknown"}, audit_state::unknown},
      {"stopped before the due time: not running now", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}, {"2026-06-02 01:00:00 +0000", 0, false}},
       {"06-02 not running"}, audit_state::warning, {}, -1, false, nullptr, {}, "none"},
      {"stopped ten seconds before the due pass, the host stayed up", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:15 +0000", 0}, {"2026-06-02 02:59:50 +0000", 0, false}},
       {"06-02 not running"}, audit_state::warning},
      {"stopped just before the minute, started again during it", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:15 +0000", 0}, {"2026-06-02 02:59:58 +0000", 0, false},
        {"2026-06-02 03:00:20 +0000", 0}},
       {"06-02 not armed"}, audit_state::ok},
      {"the restart's shutdown stops the unit before the pass its start gives", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 03:00:23 +0000"},
        {"2026-06-02 03:01:00 +0000", nullptr}},
       {{"2026-06-01 20:00:25 +0000", 0}, {"2026-06-02 03:00:21 +0000", 0, false},
        {"2026-06-02 03:01:30 +0000", 1}},
       {"06-02 happened"}, audit_state::ok},
      // A crash: the main process ended, PID 1 put it back 10 s later.
      {"a crash just before the minute, back during it: missed", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:15 +0000", 0}, {"2026-06-02 02:59:55 +0000", 0, false, -11},
        {"2026-06-02 03:00:05 +0000", 0}},
       {"06-02 missed"}, audit_state::critical},
      {"a crash loop that ended before the minute: not running, a fault", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:15 +0000", 0}, {"2026-06-02 01:00:02 +0000", 0, false, -9},
        {"2026-06-02 01:00:12 +0000", 0}, {"2026-06-02 01:00:14 +0000", 0, false, -9},
        {"2026-06-02 01:00:24 +0000", 0}, {"2026-06-02 01:00:26 +0000", 0, false, 1},
        {"2026-06-02 01:00:36 +0000", 0}, {"2026-06-02 01:00:38 +0000", 0, false, 1},
        {"2026-06-02 01:00:48 +0000", 0}, {"2026-06-02 01:01:00 +0000", 0, false}},
       {"06-02 not running"}, audit_state::warning},
      {"a crash in the night, a restart by hand in the minute: not armed", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:15 +0000", 0}, {"2026-06-02 01:00:02 +0000", 0, false, -11},
        {"2026-06-02 01:00:12 +0000", 0}, {"2026-06-02 02:59:58 +0000", 0, false},
        {"2026-06-02 03:00:20 +0000", 0}},
       {"06-02 not armed"}, audit_state::ok},
      {"the due minute is still to come", "UTC", at3, "2026-06-02 02:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}},
       {"06-02 coming"}, audit_state::ok},
      {"hour 24: never due", "UTC", 24 * 60, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}},
       {"06-02 never"}, audit_state::ok},
      {"two restarts on the night the clock falls back", "Europe/Berlin", 150,
       "2026-10-25 12:00:00 +0100", 1,
       {{"2026-10-24 20:00:00 +0200", "2026-10-25 02:30:40 +0200"},
        {"2026-10-25 02:31:30 +0200", "2026-10-25 02:30:50 +0100"},
        {"2026-10-25 02:32:00 +0100", nullptr}},
       {{"2026-10-24 20:00:00 +0200", 0},
        {"2026-10-25 02:32:00 +0200", 1},
        {"2026-10-25 02:32:30 +0100", 2}},
       {"10-25 happened,happened"}, audit_state::ok},
      {"the boot ended kEarlySlack before the due pass: happened", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 02:59:30 +0000"},
        {"2026-06-02 03:01:00 +0000", nullptr}},
       {{"2026-06-01 20:00:00 +0000", 0}, {"2026-06-02 03:01:30 +0000", 1}},
       {"06-02 happened"}, audit_state::ok},
      {"a second earlier: the host was down at the due minute", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 02:59:29 +0000"},
        {"2026-06-02 03:01:00 +0000", nullptr}},
       {{"2026-06-01 20:00:00 +0000", 0}, {"2026-06-02 03:01:30 +0000", 1}},
       {"06-02 host down"}, audit_state::ok},
      {"the boot ended kShutdownBound after the due pass: happened", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 03:05:00 +0000"},
        {"2026-06-02 03:06:00 +0000", nullptr}},
       {{"2026-06-01 20:00:00 +0000", 0}, {"2026-06-02 03:06:30 +0000", 1}},
       {"06-02 happened"}, audit_state::ok},
      {"a second later: missed", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", "2026-06-02 03:05:01 +0000"},
        {"2026-06-02 03:06:00 +0000", nullptr}},
       {{"2026-06-01 20:00:00 +0000", 0}, {"2026-06-02 03:06:30 +0000", 1}},
       {"06-02 missed"}, audit_state::critical},
      {"a miss mended by the next night's restart", "UTC", at3, "2026-06-03 12:00:00 +0000", 2,
       {{"2026-06-01 20:00:00 +0000", "2026-06-03 03:00:40 +0000"},
        {"2026-06-03 03:01:10 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}, {"2026-06-03 03:01:40 +0000", 1}},
       {"06-02 missed", "06-03 happened"}, audit_state::ok},
      {"retimed at noon: each night judged by the target its daemon read", "UTC", 240,
       "2026-12-08 12:00:00 +0000", 3,
       {{"2026-12-05 03:01:00 +0000", "2026-12-06 03:00:20 +0000"},
        {"2026-12-06 03:01:00 +0000", "2026-12-07 03:00:20 +0000"},
        {"2026-12-07 03:01:00 +0000", "2026-12-08 03:00:20 +0000"},
        {"2026-12-08 03:01:00 +0000", "2026-12-08 04:00:20 +0000"},
        {"2026-12-08 04:01:00 +0000", nullptr}},
       {{"2026-12-05 03:01:30 +0000", 0}, {"2026-12-06 03:01:30 +0000", 1},
        {"2026-12-07 03:01:30 +0000", 2}, {"2026-12-08 03:01:30 +0000", 3},
        {"2026-12-08 04:01:30 +0000", 4}},
       {"12-06 happened", "12-07 happened", "12-08 happened,happened"}, audit_state::ok,
       {{"2026-01-05 09:00:00 +0000", "2026-12-07 11:00:00 +0000", 180},
        {"2026-12-07 12:00:03 +0000", nullptr, 240}}},
      {"retimed, not yet applied: the running daemon keeps 03:00", "UTC", 240,
       "2026-12-07 18:00:00 +0000", 2,
       {{"2026-12-05 03:01:00 +0000", "2026-12-06 03:00:20 +0000"},
        {"2026-12-06 03:01:00 +0000", "2026-12-07 03:00:20 +0000"},
        {"2026-12-07 03:01:00 +0000", nullptr}},
       {{"2026-12-05 03:01:30 +0000", 0}, {"2026-12-06 03:01:30 +0000", 1},
        {"2026-12-07 03:01:30 +0000", 2}},
       {"12-06 happened", "12-07 happened"}, audit_state::warning,
       {{"2026-01-05 09:00:00 +0000", "2026-12-07 11:00:00 +0000", 180},
        {"2026-12-07 12:00:03 +0000", nullptr, 240}}, -1, true, nullptr, {},
       "2026-12-08 03:00:00 +0000"},
      {"retimed before anything was recorded: not known, never missed", "UTC", 240,
       "2026-12-07 18:00:00 +0000", 2,
       {{"2026-12-05 03:01:00 +0000", "2026-12-06 03:00:20 +0000"},
        {"2026-12-06 03:01:00 +0000", "2026-12-07 03:00:20 +0000"},
        {"2026-12-07 03:01:00 +0000", nullptr}},
       {{"2026-12-05 03:01:30 +0000", 0}, {"2026-12-06 03:01:30 +0000", 1},
        {"2026-12-07 03:01:30 +0000", 2}},
       {"12-06 unrecorded", "12-07 unrecorded"}, audit_state::warning,
       {{"2026-12-07 12:00:03 +0000", nullptr, 240}}, -1, true},
      {"a change that may have gone unseen between two runs", "UTC", 240,
       "2026-12-08 12:00:00 +0000", 1,
       {{"2026-12-07 03:01:00 +0000", "2026-12-07 11:29:50 +0000"},
        {"2026-12-07 11:30:00 +0000", nullptr}},
       {{"2026-12-07 03:01:30 +0000", 0}, {"2026-12-07 11:30:30 +0000", 1}},
       {"12-08 unrecorded"}, audit_state::warning,
       {{"2026-01-05 09:00:00 +0000", "2026-12-07 11:00:00 +0000", 180},
        {"2026-12-07 12:00:03 +0000", nullptr, 240}}, -1, true},
      {"first enabled on a host up for weeks, its boot whole in the journal", "UTC", at3,
       "2026-12-08 12:00:00 +0000", 7,
       {{"2026-11-08 10:00:00 +0000", "2026-12-06 03:00:20 +0000", true},
        {"2026-12-06 03:01:00 +0000", "2026-12-07 03:00:20 +0000"},
        {"2026-12-07 03:01:00 +0000", "2026-12-08 03:00:20 +0000"},
        {"2026-12-08 03:01:00 +0000", nullptr}},
       {{"2026-12-05 15:00:00 +0000", 0}, {"2026-12-06 03:01:30 +0000", 1},
        {"2026-12-07 03:01:30 +0000", 2}, {"2026-12-08 03:01:30 +0000", 3}},
       {"12-02 not running", "12-03 not running", "12-04 not running", "12-05 not running",
        "12-06 happened", "12-07 happened", "12-08 happened"},
       audit_state::ok},
      {"turned off: neither enabled nor running", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}, {"2026-06-02 01:00:00 +0000", 0, false}},
       {"06-02 not running"}, audit_state::ok, {}, 0},
      {"enabled but not running", "UTC", at3, "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}, {"2026-06-02 01:00:00 +0000", 0, false}},
       {"06-02 not running"}, audit_state::warning, {}, 1},
      {"a journal that starts mid-window", "UTC", at3, "2026-06-03 12:00:00 +0000", 3,
       {{"2026-06-02 10:00:00 +0000", "2026-06-03 03:00:40 +0000"},
        {"2026-06-03 03:01:10 +0000", nullptr}},
       {{"2026-06-02 10:00:30 +0000", 0}, {"2026-06-03 03:01:40 +0000", 1}},
       {"06-01 unknown", "06-02 unknown", "06-03 happened"}, audit_state::unknown},
      {"a new host: nothing was due before velmorad came to it", "UTC", at3,
       "2026-12-08 12:00:00 +0000", 7,
       {{"2026-12-07 01:00:00 +0000", "2026-12-08 03:00:20 +0000"},
        {"2026-12-08 03:01:00 +0000", nullptr}},
       {{"2026-12-07 10:10:00 +0000", 0}, {"2026-12-08 03:01:30 +0000", 1}},
       {"12-02 not installed", "12-03 not installed", "12-04 not installed",
        "12-05 not installed", "12-06 not installed", "12-07 not running", "12-08 happened"},
       audit_state::ok, {}, -1, false, "2026-12-07 02:00:00 +0000"},
      {"installed long before a journal that lost its start: not known", "UTC", at3,
       "2026-12-08 12:00:00 +0000", 3,
       {{"2026-12-07 01:00:00 +0000", "2026-12-08 03:00:20 +0000"},
        {"2026-12-08 03:01:00 +0000", nullptr}},
       {{"2026-12-07 10:10:00 +0000", 0}, {"2026-12-08 03:01:30 +0000", 1}},
       {"12-06 unknown", "12-07 unknown", "12-08 happened"}, audit_state::unknown,
       {}, -1, false, "2026-12-01 10:00:00 +0000"},
      {"a missed restart outweighs a short journal", "UTC", at3, "2026-06-03 12:00:00 +0000", 2,
       {{"2026-06-02 10:00:00 +0000", nullptr}},
       {{"2026-06-02 10:00:30 +0000", 0}},
       {"06-02 unknown", "06-03 missed"}, audit_state::critical},
      {"a miss outweighs a change not yet applied", "UTC", 240, "2026-12-08 12:00:00 +0000", 1,
       {{"2026-12-07 03:01:00 +0000", nullptr}},
       {{"2026-12-07 03:01:30 +0000", 0}},
       {"12-08 missed"}, audit_state::critical,
       {{"2026-01-05 09:00:00 +0000", "2026-12-08 11:00:00 +0000", 180},
        {"2026-12-08 11:30:00 +0000", nullptr, 240}}, -1, true},
      {"running though its unit is disabled: not turned off", "UTC", at3,
       "2026-06-02 12:00:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}},
       {"06-02 missed"}, audit_state::critical, {}, 0},
      {"a day before the first record: the file's target, not midnight", "UTC", at3,
       "2026-12-08 12:00:00 +0000", 2,
       {{"2026-12-07 02:00:00 +0000", "2026-12-08 03:00:20 +0000", true},
        {"2026-12-08 03:01:00 +0000", nullptr}},
       {{"2026-12-07 10:00:00 +0000", 0}, {"2026-12-08 03:01:30 +0000", 1}},
       {"12-07 not running", "12-08 happened"}, audit_state::ok,
       {{"2026-12-07 09:00:00 +0000", nullptr, at3}}},
      {"the file touched, its target the same: nothing to apply", "UTC", at3,
       "2026-12-07 18:00:00 +0000", 1,
       {{"2026-12-06 20:00:00 +0000", "2026-12-07 03:00:40 +0000"},
        {"2026-12-07 03:01:10 +0000", nullptr}},
       {{"2026-12-06 20:00:30 +0000", 0}, {"2026-12-07 03:01:40 +0000", 1}},
       {"12-07 happened"}, audit_state::ok,
       {{"2026-01-05 09:00:00 +0000", "2026-12-07 11:00:00 +0000", at3},
        {"2026-12-07 12:00:03 +0000", nullptr, at3}}},
      {"up kShutdownBound past the due pass: still pending", "UTC", at3,
       "2026-06-02 03:05:00 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}},
       {"06-02 pending"}, audit_state::ok},
      {"a second more: missed", "UTC", at3, "2026-06-02 03:05:01 +0000", 1,
       {{"2026-06-01 20:00:00 +0000", nullptr}},
       {{"2026-06-01 20:00:30 +0000", 0}},
       {"06-02 missed"}, audit_state::critical},
      // The zone set west, Berlin to New York, on 12-07 at 10:00 UTC.
      {"a zone set west: each daemon in the zone it started in", "America/New_York", at3,
       "2026-12-08 07:00:00 +0000", 2,
       west_boots, west_events,
       {"12-07 happened", "12-08 coming"}, audit_state::ok, {}, -1, false, nullptr,
       {{"2020-01-01 00:00:00 +0000", "2026-12-07 09:00:00 +0000", "Europe/Berlin"},
        {"2026-12-07 10:00:00 +0000", nullptr, "America/New_York"}}},
      {"... the old zone not recorded: not known, never missed", "America/New_York", at3,
       "2026-12-08 07:00:00 +0000", 2,
       west_boots, west_events,
       {"12-07 zone unrecorded", "12-08 coming"}, audit_state::unknown, {}, -1, false, nullptr,
       {{"2026-12-07 10:00:00 +0000", nullptr, "America/New_York"}}},
      // Set east, New York to Tokyo, at 12:00 UTC; an hour after Tokyo's
      // 03:00 the running daemon's minute, New York's, is still to come.
      {"a zone set east under the running daemon: not yet applied", "Asia/Tokyo", at3,
       "2026-12-07 19:00:00 +0000", 1,
       east_boots, east_events,
       {"12-08 coming"}, audit_state::warning, {}, -1, true, nullptr,
       {{"2020-01-01 00:00:00 +0000", "2026-12-07 11:00:00 +0000", "America/New_York"},
        {"2026-12-07 12:00:00 +0000", nullptr, "Asia/Tokyo"}},
       "2026-12-08 08:00:00 +0000", "America/New_York"},
      {"... set a minute after the daemon's start, no zone recorded before", "Asia/Tokyo", at3,
       "2026-12-07 19:00:00 +0000", 1,
       east_boots, east_events,
       {"12-08 zone unrecorded"}, audit_state::warning, {}, -1, true, nullptr,
       {{"2026-12-07 08:02:30 +0000", nullptr, "Asia/Tokyo"}}, "none"},
      {"... the old zone not recorded", "Asia/Tokyo", at3, "2026-12-07 19:00:00 +0000", 1,
       east_boots, east_events,
       {"12-08 zone unrecorded"}, audit_state::warning, {}, -1, true, nullptr,
       {{"2026-12-07 12:00:00 +0000", nullptr, "Asia/Tokyo"}}, "none"},
      {"a copy, not a link, changed under the running daemon", "Asia/Tokyo", at3,
       "2026-12-07 19:00:00 +0000", 1,
       east_boots, east_events,
       {"12-08 zone unrecorded"}, audit_state::warning, {}, -1, true, nullptr,
       {{"2020-01-01 00:00:00 +0000", "2026-12-07 11:00:00 +0000", ""},
        {"2026-12-07 12:00:00 +0000", nullptr, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    setenv("TZ", c.zone, 1);
    tzset();
    audit_input in{};
    in.now = At(c.now);
    in.days = c.days;
    in.enabled = c.enabled;
    if (c.installed != nullptr) in.installed = At(c.installed);
    in.settings.push_back({0, in.now, c.target});
    if (!c.history.empty()) in.settings.clear();
    for (const Record& r : c.history) {
      in.settings.push_back({At(r.changed), r.seen ? At(r.seen) : in.now, r.target});
    }
    in.journal_start = At(c.boots.front().first);
    for (const Boot& b : c.boots) {
      in.boots.push_back({At(b.first), b.last ? At(b.last) : in.now, b.last == nullptr,
                          b.head_known});
    }
    for (const Event& e : c.events) {
      in.events.push_back({At(e.at), e.boot, e.start, e.crash != 0, e.crash != 0, e.crash});
    }
    for (const Zone& z : c.zones) {
      in.zones.push_back({At(z.changed), z.seen ? At(z.seen) : in.now, z.name});
    }
    const audit_result result = audit(in);
    EXPECT_STREQ(std::getenv("TZ"), c.zone);
    EXPECT_EQ(Days(result), c.days_seen);
    EXPECT_EQ(result.state, c.state);
    EXPECT_EQ(result.pending, c.pending);
    if (c.next != nullptr) {
      EXPECT_EQ(result.next_restart, std::string(c.next) == "none" ? 0 : At(c.next));
    }
    EXPECT_EQ(result.kept_zone != nullptr ? result.kept_zone->name : "",
              std::string(c.kept != nullptr ? c.kept : ""));
  }
}

// The night of a restart, a row each: the daemon started on 06-01 at
// 20:00:`second`, so that its pass falls at 03:00:`second`; its unit
// stopped at `stop`, the shutdown began at `began` (nullptr: not in the
// journal), and the boot ended at `end`, the next beginning 40 s later;
// times of 06-02, UTC. A stop is the shutdown's own from the shutdown's
// start on, or, where that is not known, when the boot ends within
// kShutdownBound of it; its passes then reach kEarlySlack past it. A
// shutdown begun on time is the restart, however long it took.
TEST(Audit, JudgesTheNightOfARestart) {
  struct Row {
    const char* what;
    int second;
    const char *stop, *began, *end, *day;
    audit_state state;
  };
  const audit_state ok = audit_state::ok, critical = audit_state::critical;
  const Row rows[] = {
      {"the boot ended kShutdownBound after the stop: the shutdown's", 25, "03:00:21", nullptr,
       "03:05:21", "happened", ok},
      {"a second later: a stop of its own", 25, "03:00:21", nullptr, "03:05:22", "not running", ok},
      {"the shutdown's stop kEarlySlack before the pass: it ran", 25, "02:59:55", nullptr,
       "03:00:40", "happened", ok},
      {"a second earlier: stopped before its pass", 25, "02:59:54", nullptr, "03:00:40",
       "not running", ok},
      {"a slow shutdown begun at the pass, down 7 minutes later", 25, "03:00:21", "03:00:21",
       "03:07:21", "happened", ok},
      {"... down 20 minutes later", 25, "03:00:21", "03:00:21", "03:20:21", "happened", ok},
      {"stopped by hand before its pass, a shutdown begun by hand later", 15, "02:59:50",
       "03:03:00", "03:03:30", "not running", ok},
      {"the shutdown began kEarlySlack before the pass", 15, "02:59:47", "02:59:45", "03:06:45",
       "happened", ok},
      {"a second earlier: missed", 15, "02:59:47", "02:59:44", "03:06:44", "missed", critical},
      {"the shutdown began kShutdownBound after the pass", 15, "03:05:15", "03:05:15",
       "03:12:15", "happened", ok},
      {"a second later: missed", 15, "03:05:16", "03:05:16", "03:12:16", "missed", critical},
  };
  setenv("TZ", "UTC", 1);
  tzset();
  const auto at = [](const char* time) {
    return At(("2026-06-02 " + std::string(time) + " +0000").c_str());
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    audit_input in{};
    in.now = at("12:00:00");
    in.days = 1;
    in.settings.push_back({0, in.now, 180});
    in.journal_start = At("2026-06-01 20:00:00 +0000");
    const time_t end = at(r.end);
    in.boots.push_back({in.journal_start, end, false, false, r.began ? at(r.began) : 0});
    in.boots.push_back({end + 40, in.now, true});
    in.events.push_back({in.journal_start + r.second, 0, true});
    if (r.stop != nullptr) in.events.push_back({at(r.stop), 0, false});
    in.events.push_back({end + 70, 1, true});
    const audit_result result = audit(in);
    EXPECT_EQ(Days(result), std::vector<std::string>{std::string("06-02 ") + r.day});
    EXPECT_EQ(result.state, r.state);
  }
}

// What each run adds to the history: (changed, seen, target) triples.
TEST(Audit, RecordsWhatTheSettingsFileSaid) {
  using R = settings_record;
  struct Row {
    const char* what;
    std::vector<R> before;
    R now;
    std::vector<R> after;
  };
  const Row rows[] = {
      {"the first run", {}, {100, 500, 180}, {{100, 500, 180}}},
      {"unchanged, seen again", {{100, 200, 180}}, {100, 500, 180}, {{100, 500, 180}}},
      {"changed", {{100, 200, 180}}, {300, 500, 240}, {{100, 200, 180}, {300, 500, 240}}},
      {"touched, the same target", {{100, 200, 180}}, {300, 500, 180},
       {{100, 200, 180}, {300, 500, 180}}},
      {"two versions within a second: the later", {{100, 200, 180}, {300, 300, 240}},
       {300, 500, 60}, {{100, 200, 180}, {300, 500, 60}}},
      {"records from a clock since set back go", {{100, 200, 180}, {900, 950, 240}},
       {300, 500, 60}, {{100, 200, 180}, {300, 500, 60}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<R> history = row.before;
    record_settings(&history, row.now);
    ASSERT_EQ(history.size(), row.after.size());
    for (size_t i = 0; i < history.size(); ++i) {
      EXPECT_EQ(history[i].changed, row.after[i].changed);
      EXPECT_EQ(history[i].seen, row.after[i].seen);
      EXPECT_EQ(history[i].target, row.after[i].target);
    }
  }
  // The zone: its name tells it, however often the link is made anew; a
  // copy's only its time.
  std::vector<zone_record> zones;
  for (const zone_record& z : std::vector<zone_record>{{100, 200, "Europe/Berlin"},
                                                      {300, 400, "Europe/Berlin"},
                                                      {500, 600, ""},
                                                      {700, 800, ""}}) {
    record_zone(&zones, z);
  }
  ASSERT_EQ(zones.size(), 3u);
  EXPECT_EQ(zones[0].changed, 100);
  EXPECT_EQ(zones[0].seen, 400);
  EXPECT_EQ(zones[2].changed, 700);
  std::vector<R> full;
  for (time_t t = 1; t <= static_cast<time_t>(kHistoryKept); ++t) full.push_back({t, t, 0});
  record_settings(&full, {1000, 1000, 60});
  EXPECT_EQ(full.size(), kHistoryKept);
  EXPECT_EQ(full.front().changed, 2);
  EXPECT_EQ(full.back().changed, 1000);
}

// Times of 2026 in UTC, "MM-DD HH:MM:SS".
time_t U(const char* text) { return At(("2026-" + std::string(text) + " +0000").c_str()); }

constexpr char kB1[] = "b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1";
constexpr char kB2[] = "b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2";
constexpr char kB9[] = "b9b9b9b9b9b9b9b9b9b9b9b9b9b9b9b9";

// A boot as the journal shows it (last nullptr: the current one, up to now).
struct JournalBoot {
  const char* id;
  const char* first;
  const char* last;
  bool head_known = true;
  const char* shutdown = nullptr;
};

// What the ledger kept: a start-up with its target (-1: not known) and
// zone, or a stop (crashed: the daemon fell, PID 1 restarted it); a boot;
// a day judged with one verdict at 03:00:30.
struct KeptEvent {
  const char* at;
  bool start = true;
  int32_t target = 180;
  const char* zone = "";
  bool crashed = false;
};
struct KeptBoot {
  const char* id;
  const char* first;
  const char* last;
  bool ended;
  const char* shutdown;
  std::vector<KeptEvent> events;
  bool head_known = true;
};
struct KeptDay {
  const char* start;
  verdict what;
};

struct LedgerCase {
  const char* what;
  std::vector<JournalBoot> journal;
  std::vector<Event> events;
  std::vector<KeptBoot> kept;
  std::vector<KeptDay> judged;
  std::vector<std::string> days_seen;
  audit_state state;
  bool running;
  std::vector<Record> history = {};
  const char* zone = "UTC";
  std::vector<Zone> zones = {};
  int window = 1;
  bool shutting_down = false;
  std::vector<std::string> recorded = {};  // lines of what the run leaves, "!LINE": none such;
                                           // "{MM-DD HH:MM:SS}" stands for its seconds
};

ledger Kept(const LedgerCase& c) {
  ledger l;
  l.window = c.window;
  for (const KeptBoot& b : c.kept) {
    ledger_boot boot{b.id, U(b.first), U(b.last), b.head_known, b.ended,
                     b.shutdown != nullptr ? U(b.shutdown) : 0};
    for (const KeptEvent& e : b.events) {
      boot.events.push_back({U(e.at), e.start, e.target >= 0, e.target, e.zone, e.crashed,
                             e.crashed, e.crashed ? -11 : 0});
    }
    l.boots.push_back(boot);
  }
  for (const KeptDay& d : c.judged) {
    const time_t due = U(d.start) + 3 * 3600 + 30;
    l.days.push_back({U(d.start), {{d.what, due, due + 20, U(d.start) - 4 * 3600}}});
  }
  return l;
}

audit_input Journal(const LedgerCase& c, time_t now) {
  audit_input in{};
  in.now = now;
  in.days = 1;
  in.settings.push_back({0, now, 180});
  if (!c.history.empty()) in.settings.clear();
  for (const Record& r : c.history) {
    in.settings.push_back({At(r.changed), r.seen ? At(r.seen) : now, r.target});
  }
  for (const Zone& z : c.zones) in.zones.push_back({At(z.changed), z.seen ? At(z.seen) : now, z.name});
  for (const JournalBoot& b : c.journal) {
    boot_record boot{U(b.first), b.last ? U(b.last) : now, b.last == nullptr, b.head_known,
                     b.shutdown ? U(b.shutdown) : 0};
    boot.id = b.id;
    in.boots.push_back(boot);
  }
  in.journal_start = in.boots.front().first;
  for (const Event& e : c.events) in.events.push_back({U(e.at), e.boot, e.start});
  return in;
}

// "{MM-DD HH:MM:SS}" in `line` as its seconds.
std::string Seconds(std::string line) {
  for (size_t open; (open = line.find('{')) != std::string::npos;) {
    const size_t close = line.find('}', open);
    line.replace(open, close - open + 1,
                 std::to_string(U(line.substr(open + 1, close - open - 1).c_str())));
  }
  return line;
}

// What earlier runs saw, merged into what the journal holds now (06-02
// 12:00 UTC, one day), judged, and recorded for the runs after it; its
// text read back as it was written.
TEST(Ledger, FillsInWhatTheJournalLost) {
  const time_t now = U("06-02 12:00:00");
  // The night of 06-02 as the ledger kept it: the daemon from 20:00:30,
  // due at 03:00:30; the boot after it in the journal.
  const std::vector<JournalBoot> after = {{kB2, "06-02 03:01:00", nullptr}};
  const std::vector<Event> after_start = {{"06-02 03:01:30", 0}};
  const std::vector<KeptEvent> start = {{"06-01 20:00:30"}};
  const audit_state ok = audit_state::ok, critical = audit_state::critical,
                    unknown = audit_state::unknown, warning = audit_state::warning;
  const LedgerCase cases[] = {
      {"a boot the journal lost, its shutdown's start recorded: happened", after, after_start,
       {{kB1, "06-01 20:00:00", "06-02 03:00:33", false, "06-02 03:00:31", start}}, {},
       {"06-02 happened"}, ok, true, {}, "UTC", {}, 1, false,
       {"boot b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1 {06-01 20:00:00} {06-02 03:00:33} 1 1 {06-02 03:00:31}",
        "start {06-01 20:00:30} 180", "due {06-02 00:00:00} happened {06-02 03:00:00} {06-02 03:00:33} {06-01 20:00:30} {06-02 03:00:31}",
        "boot b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2 {06-02 03:01:00} {06-02 12:00:00} 1 0 0"}},
      {"... none recorded, last seen before the due time: no restart, not known", after,
       after_start, {{kB1, "06-01 20:00:00", "06-02 02:00:00", false, nullptr, start}}, {},
       {"06-02 end unknown"}, unknown, true, {}, "UTC", {}, 1, false,
       {"boot b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1 {06-01 20:00:00} {06-02 02:00:00} 1 0 0",
        "!due .*"}},
      {"... last seen at the due time: not known", after, after_start,
       {{kB1, "06-01 20:00:00", "06-02 03:00:40", false, nullptr, start}}, {},
       {"06-02 end unknown"}, unknown, true},
      {"... seen up past the bound: missed", {{kB2, "06-02 04:01:00", nullptr}},
       {{"06-02 04:01:30", 0}}, {{kB1, "06-01 20:00:00", "06-02 04:00:00", false, nullptr, start}},
       {}, {"06-02 missed"}, critical, true},
      {"a shutdown's start recorded, then the boot seen up: a stop by hand, missed",
       {{kB2, "06-02 05:01:00", nullptr}}, {{"06-02 05:01:30", 0}},
       {{kB1, "06-01 20:00:00", "06-02 05:00:00", false, "06-02 03:00:31", start}}, {},
       {"06-02 missed"}, critical, true},
      {"a boot the journal holds, with no shutdown's start in it: the one recorded",
       {{kB1, "06-01 20:00:00", "06-02 03:07:00"}, {kB2, "06-02 03:08:00", nullptr}},
       {{"06-01 20:00:30", 0}, {"06-02 03:08:30", 1}},
       {{kB1, "06-01 20:00:00", "06-02 03:00:33", false, "06-02 03:00:31", start}}, {},
       {"06-02 happened"}, ok, true},
      {"the journal lost the head of this boot: its start-ups from the ledger",
       {{kB1, "06-02 10:00:00", nullptr, false}}, {},
       {{kB1, "06-01 20:00:00", "06-02 09:00:00", false, nullptr, start}}, {},
       {"06-02 missed"}, critical, true, {}, "UTC", {}, 1, false,
       {"boot b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1 {06-01 20:00:00} {06-02 12:00:00} 1 0 0",
        "start {06-01 20:00:30} 180"}},
      {"a crash loop through the minute that the journal lost: still one, missed",
       {{kB2, "06-02 04:00:00", nullptr}}, {{"06-02 04:00:30", 0}},
       {{kB1, "06-01 20:00:00", "06-02 03:59:00", false, nullptr,
         {{"06-01 20:00:30"}, {"06-02 02:59:55", false, 0, "", true}, {"06-02 03:00:05"},
          {"06-02 03:00:20", false, 0, "", true}, {"06-02 03:00:30"},
          {"06-02 03:00:45", false, 0, "", true}, {"06-02 03:00:55"},
          {"06-02 03:01:10", false, 0, "", true}, {"06-02 03:01:20"}}}},
       {}, {"06-02 missed"}, critical, true, {}, "UTC", {}, 1, false,
       {"stop {06-02 02:59:55} crashed -11"}},
      {"a day judged in full, the journal no longer tells it: the verdict kept",
       {{kB1, "06-02 10:00:00", nullptr, false}}, {{"06-02 10:00:30", 0}}, {},
       {{"06-02 00:00:00", verdict::missed}}, {"06-02 missed"}, critical, true},
      {"a judged day that the journal tells otherwise: the journal's",
       {{kB1, "06-01 20:00:00", "06-02 03:00:40"}, {kB2, "06-02 03:01:10", nullptr}},
       {{"06-01 20:00:30", 0}, {"06-02 03:01:40", 1}}, {},
       {{"06-02 00:00:00", verdict::missed}}, {"06-02 happened"}, ok, true, {}, "UTC", {}, 1,
       false, {"due {06-02 00:00:00} happened {06-02 03:00:00} {06-02 03:00:40} {06-01 20:00:30} 0"}},
      {"... the next boot's first entry in the second the kept one was last seen: used",
       {{kB2, "06-02 03:00:33", nullptr}}, after_start,
       {{kB1, "06-01 20:00:00", "06-02 03:00:33", false, "06-02 03:00:31", start}}, {},
       {"06-02 happened"}, ok, true},
      {"a kept boot that meets one of the journal's: not used",
       {{kB2, "06-01 20:00:00", nullptr}}, {{"06-01 20:00:30", 0}},
       {{kB9, "06-02 02:00:00", "06-02 03:00:33", true, "06-02 03:00:31", {{"06-02 02:00:30"}}}},
       {}, {"06-02 missed"}, critical, true, {}, "UTC", {}, 1, false, {"!boot b9.*"}},
      {"a start-up whose target the history no longer holds: the ledger's",
       {{kB1, "06-01 20:00:00", "06-02 03:00:40"}, {kB2, "06-02 03:01:10", nullptr}},
       {{"06-01 20:00:30", 0}, {"06-02 03:01:40", 1}},
       {{kB1, "06-01 20:00:00", "06-02 03:00:40", true, nullptr, start},
        {kB2, "06-02 03:01:10", "06-02 04:00:00", false, nullptr, {{"06-02 03:01:40"}}}},
       {}, {"06-02 happened"}, warning, true, {{"2026-06-02 05:00:00 +0000", nullptr, 240}}},
      {"... and the zone it started in", after, after_start,
       {{kB1, "06-01 20:00:00", "06-02 03:00:40", true, nullptr,
         {{"06-01 20:00:30", true, 180, "Asia/Tokyo"}}},
        {kB2, "06-02 03:01:00", "06-02 04:00:00", false, nullptr,
         {{"06-02 03:01:30", true, 180, "UTC"}}}},
       {}, {"06-02 not running"}, ok, true, {}, "UTC", {{"2026-06-02 05:00:00 +0000", nullptr, "UTC"}}},
      {"shutting down: this boot's shutdown began now", {{kB1, "06-01 20:00:00", nullptr}},
       {{"06-01 20:00:30", 0}}, {}, {}, {"06-02 missed"}, critical, true, {}, "UTC", {}, 1, true,
       {"boot b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1 {06-01 20:00:00} {06-02 12:00:00} 1 0 {06-02 12:00:00}"}},
      {"... a start recorded before it kept through later runs",
       {{kB1, "06-01 20:00:00", nullptr}}, {{"06-01 20:00:30", 0}},
       {{kB1, "06-01 20:00:00", "06-02 11:00:00", false, "06-02 11:00:00", start}}, {},
       {"06-02 missed"}, critical, true, {}, "UTC", {}, 1, false,
       {"boot b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1 {06-01 20:00:00} {06-02 12:00:00} 1 0 {06-02 11:00:00}"}},
      {"the bound: the longest window asked, and 2 days", {{kB1, "06-01 20:00:00", nullptr}},
       {{"06-01 20:00:30", 0}},
       {{kB2, "05-03 10:00:00", "05-03 11:00:00", true, nullptr, {}},
        {kB9, "05-25 10:00:00", "05-25 11:00:00", true, nullptr, {}}},
       {{"05-03 00:00:00", verdict::host_down}, {"05-25 00:00:00", verdict::host_down}},
       {"06-02 missed"}, critical, true, {}, "UTC", {}, 7, false,
       {"window 7", "!boot b2.*",
        "boot b9b9b9b9b9b9b9b9b9b9b9b9b9b9b9b9 {05-25 10:00:00} {05-25 11:00:00} 1 1 0",
        "!due {05-03 00:00:00} .*", "due {05-25 00:00:00} host-down .*"}},
      {"... of the events of a boot up since, the start-up that runs on into it",
       {{kB1, "05-01 10:00:00", nullptr}},
       {{"05-01 10:00:30", 0}, {"05-01 11:00:00", 0, false}, {"05-01 12:00:00", 0}}, {}, {},
       {"06-02 missed"}, critical, true, {}, "UTC", {}, 1, false,
       {"window 1", "start {05-01 12:00:00} 180", "!stop .*", "!start {05-01 10:00:30} 180"}},
  };
  for (const LedgerCase& c : cases) {
    SCOPED_TRACE(c.what);
    setenv("TZ", c.zone, 1);
    tzset();
    const ledger kept = Kept(c);
    audit_input in = Journal(c, now);
    merge_ledger(kept, &in);
    const audit_result result = audit(in);
    EXPECT_EQ(Days(result), c.days_seen);
    EXPECT_EQ(result.state, c.state);
    EXPECT_EQ(result.running_now, c.running);
    const std::string text = ledger_text(record_run(kept, in, result, c.shutting_down), "/s");
    for (const std::string& line : c.recorded) {
      const bool none = line[0] == '!';
      const std::regex re(Seconds(line.substr(none ? 1 : 0)));
      bool found = false;
      for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        found = found || std::regex_match(text.substr(at, end - at), re);
      }
      EXPECT_EQ(found, !none) << line << "\n" << text;
    }
    ledger back;
    std::string why;
    bool replaceable = false;
    EXPECT_TRUE(parse_ledger(text, "/s", &back, &why, &replaceable)) << why << "\n" << text;
    EXPECT_EQ(ledger_text(back, "/s"), text);
  }
  // A crash loop on each of a hundred boots, as full as the bounds allow:
  // the file stays one that the next run reads, with the newest boots.
  ledger full{7, {}, {}};
  for (int b = 0; b < 100; ++b) {
    char id[33];
    std::snprintf(id, sizeof id, "%032x", b + 1);
    ledger_boot boot{id, b * 3600, b * 3600 + 3599, true, true, 0, {}};
    for (int e = 0; e < static_cast<int>(kLedgerEvents); ++e) {
      boot.events.push_back({b * 3600 + e, e % 2 == 0, true, 180, "America/Argentina/Buenos_Aires",
                             e % 2 == 1, e % 2 == 1, -11});
    }
    full.boots.push_back(boot);
  }
  const std::string text = ledger_text(full, "/s");
  ledger back;
  std::string why;
  bool replaceable = false;
  EXPECT_LE(text.size(), kLedgerMax);
  ASSERT_TRUE(parse_ledger(text, "/s", &back, &why, &replaceable)) << why;
  ASSERT_FALSE(back.boots.empty());
  EXPECT_EQ(back.boots.back().id, full.boots.back().id);
}

}  // namespace
}  // namespace velmora
