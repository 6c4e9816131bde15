#include "daemon/scheduler.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "daemon/clock.h"

namespace velmora {
namespace {

void UseZone(const char* zone) {
  setenv("TZ", zone, 1);
  tzset();  // the daemon never reloads the rules; the test must
}

time_t Local(const std::string& text) {
  struct tm t {};
  EXPECT_TRUE(strptime(text.c_str(), "%Y-%m-%d %H:%M", &t)) << text;
  t.tm_isdst = -1;
  return mktime(&t);
}

std::string Show(time_t when) {
  struct tm t {};
  localtime_r(&when, &t);
  char text[64];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M %Z", &t);
  return text;
}

// The wall clock is set from `from` to `to` when it first reaches `from`.
struct Jump {
  const char* from;
  const char* to;
};

struct Day {
  const char* what;
  const char* zone;
  uint32_t hour, minute;
  const char* start;
  int hours;  // how long the simulated daemon runs
  std::vector<Jump> jumps;
  std::vector<std::string> runs;  // local time of each run of the command
};

// Passes 30 seconds apart from `start`, the first at once, through the real
// local-time rules of the zone, as the daemon's loop makes them.
std::vector<std::string> Simulate(const Day& day) {
  UseZone(day.zone);
  time_t now = Local(day.start);
  const time_t end = now + day.hours * 3600;
  size_t next_jump = 0;
  int32_t minute = 0;
  const bool known = minute_of_day_at(now, &minute);
  scheduler state =
      scheduler_start(target_minute(day.hour, day.minute), minute, known);
  std::vector<std::string> runs;
  while (now < end) {
    EXPECT_TRUE(minute_of_day_at(now, &minute));
    if (scheduler_pass(&state, minute)) runs.push_back(Show(now));
    now += kPassSeconds;
    if (next_jump < day.jumps.size() &&
        now >= Local(day.jumps[next_jump].from)) {
      now = Local(day.jumps[next_jump].to) +
            (now - Local(day.jumps[next_jump].from));
      ++next_jump;
    }
  }
  return runs;
}

TEST(Scheduler, SimulatedDays) {
  const uint32_t minus_one = 4294967295U;
  const Day days[] = {
      {"start just before", "UTC", 3, 0, "2026-06-01 02:59", 36, {},
       {"2026-06-01 03:00 UTC", "2026-06-02 03:00 UTC"}},
      {"start on the minute", "UTC", 3, 0, "2026-06-01 03:00", 36, {},
       {"2026-06-02 03:00 UTC"}},
      {"start just after", "UTC", 3, 0, "2026-06-01 03:01", 36, {},
       {"2026-06-02 03:00 UTC"}},
      {"midnight target", "UTC", 0, 0, "2026-06-01 12:00", 36, {},
       {"2026-06-02 00:00 UTC"}},
      {"midnight target, start at midnight", "UTC", 0, 0, "2026-06-01 00:00",
       36, {}, {"2026-06-02 00:00 UTC"}},
      {"hour 24 never comes", "UTC", 24, 0, "2026-06-01 12:00", 72, {}, {}},
      {"minute 90 adds up", "UTC", 0, 90, "2026-06-01 00:00", 36, {},
       {"2026-06-01 01:30 UTC", "2026-06-02 01:30 UTC"}},
      {"hour -1 runs after each midnight", "UTC", minus_one, 30,
       "2026-06-01 12:00", 48, {},
       {"2026-06-02 00:00 UTC", "2026-06-03 00:00 UTC"}},
      {"clock jumps past the target", "UTC", 3, 0, "2026-06-01 01:00", 24,
       {{"2026-06-01 02:50", "2026-06-01 03:40"}}, {"2026-06-01 03:40 UTC"}},
      {"set back before the target", "UTC", 3, 0, "2026-06-01 01:00", 12,
       {{"2026-06-01 05:00", "2026-06-01 02:00"}},
       {"2026-06-01 03:00 UTC", "2026-06-01 03:00 UTC"}},
      {"set back after the target", "UTC", 3, 0, "2026-06-01 01:00", 12,
       {{"2026-06-01 05:00", "2026-06-01 04:00"}},
       {"2026-06-01 03:00 UTC", "2026-06-01 04:00 UTC"}},
      {"spring forward skips the target", "Europe/Berlin", 2, 30,
       "2026-03-28 12:00", 24, {}, {"2026-03-29 03:00 CEST"}},
      {"fall back repeats 02:30", "Europe/Berlin", 2, 30, "2026-10-24 12:00",
       24, {}, {"2026-10-25 02:30 CEST", "2026-10-25 02:30 CET"}},
      {"fall back repeats 01:00 at once", "Europe/Berlin", 1, 0,
       "2026-10-24 12:00", 24, {},
       {"2026-10-25 01:00 CEST", "2026-10-25 02:00 CET"}},
      {"fall back leaves 03:00 alone", "Europe/Berlin", 3, 0,
       "2026-10-24 12:00", 24, {}, {"2026-10-25 03:00 CET"}},
      {"half-hour zone", "Asia/Kolkata", 3, 0, "2026-06-01 02:59", 12, {},
       {"2026-06-01 03:00 IST"}},
  };
  for (const Day& day : days) {
    SCOPED_TRACE(day.what);
    EXPECT_EQ(Simulate(day), day.runs);
  }
}

// Where the start-up reading and the first pass see different minutes.
TEST(Scheduler, StartThenPasses) {
  struct {
    const char* what;
    int32_t target, start;
    bool start_known;
    std::vector<int32_t> passes;
    std::vector<bool> runs;
  } const cases[] = {
      // The previous minute starts at 0, not at the start-up reading, so
      // midnight between the two is not seen as a fall.
      {"00:00 target, started 23:59, first pass 00:00", 0, 1439, true, {0, 1439, 0},
       {false, false, true}},
      {"clock unreadable at start", 180, 0, false, {200, 180}, {false, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    scheduler state = scheduler_start(c.target, c.start, c.start_known);
    std::vector<bool> runs;
    for (int32_t now : c.passes) runs.push_back(scheduler_pass(&state, now));
    EXPECT_EQ(runs, c.runs);
  }
}

TEST(Clock, MinuteOfDayFollowsTheZone) {
  UseZone("Europe/Berlin");
  int32_t minute = -1;
  ASSERT_TRUE(minute_of_day_at(Local("2026-06-01 23:59"), &minute));
  EXPECT_EQ(minute, 1439);
  ASSERT_TRUE(minute_of_day_at(0, &minute));  // 1970-01-01 01:00 CET
  EXPECT_EQ(minute, 60);
  minute = 7;
  EXPECT_FALSE(
      minute_of_day_at(std::numeric_limits<time_t>::max(), &minute));
  EXPECT_EQ(minute, 7);
}

}  // namespace
}  // namespace velmora
