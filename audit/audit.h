// Whether the restarts that velmorad was due to make happened, judged from
// what the system journal holds: its boots, the daemon's start-up lines and
// its unit's stops.
//
// Contract:
// - audit() is a pure function of its input and of the local-time rules (TZ
//   where set, else the host's zone): it reads no clock, file or journal.
// - Each start-up line opens a stretch in which the daemon ran, until the
//   next start-up line or stop of its unit in that boot, else the end of the
//   boot. The due times in a stretch are the passes on which the daemon's
//   own decision runs the reboot command: from its start, 30 seconds apart,
//   up to the stretch's end. Only where the boot ends (by its end, or by a
//   stop that the boot's end follows within kShutdownBound) do they reach
//   kEarlySlack past it, for the passes' drift.
// - A due time "happened" when its boot ended from kEarlySlack before it to
//   kShutdownBound after it, "missed" when the boot went on longer, and is
//   "pending" while the current boot has not yet gone on that long.
// - A day without a due time says why, for the minute the target names that
//   day: the host was down, the daemon was not running, it started during or
//   after that minute, the target is never reached, the minute is still to
//   come, or the journal does not reach back that far ("unknown").
// - The state is critical when a restart was missed, else unknown when the
//   journal cannot tell for some day, else warning when the daemon is not
//   running now, else ok: the exit codes of monitoring plugins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

namespace velmora {

// A restart's boot ends within this many seconds after the due pass: the
// reboot command starts then, and a shutdown takes its time (systemd waits
// up to 90 seconds for each service that does not stop).
inline constexpr time_t kShutdownBound = 300;
// ... or this much before it: the daemon's passes drift from the 30-second
// grid of its start by the time each pass takes, and by any suspend.
inline constexpr time_t kEarlySlack = 30;

struct boot_record {
  time_t first;  // the boot's first journal entry
  time_t last;   // its last entry; for the current boot, now
  bool current;
};

struct daemon_event {
  time_t at;
  size_t boot;  // index into audit_input::boots
  bool start;   // a start-up line; else the daemon's unit stopped
};

struct audit_input {
  std::vector<boot_record> boots;    // oldest first
  std::vector<daemon_event> events;  // in time order
  time_t journal_start;              // the journal's earliest entry
  int32_t target;                    // the daemon's target minute
  time_t now;
  int days;                          // today and the days before it
};

enum class verdict {
  happened,     // the boot ended soon after the due pass
  missed,       // the boot went on well past it
  pending,      // the current boot has not yet gone on that long
  coming,       // the due minute is still to come
  host_down,    // no boot at the due minute
  not_running,  // a boot, but no daemon running at the due minute
  not_armed,    // the daemon started during or after the due minute
  never,        // the target lies outside the day: never due
  unknown,      // the journal does not reach back that far
};

struct due_time {
  verdict what;
  time_t at;        // the due pass; for a day without one, the due minute
  time_t boot_end;  // happened, missed: when the boot ended
  time_t since;     // happened, missed, not_armed: when the daemon started;
                    // not_running: when it started later that boot, or 0
};

struct day_report {
  time_t start;                // local midnight
  std::vector<due_time> dues;  // in time order; at least one
};

enum class audit_state { ok = 0, warning = 1, critical = 2, unknown = 3 };

struct audit_result {
  std::vector<day_report> days;  // oldest first, today last
  audit_state state;
  int happened = 0;
  int missed = 0;
  time_t last_restart = 0;       // boot end of the last that happened; 0 for none
  bool running_now = false;      // a stretch of the daemon is open in the current boot
  time_t window_start = 0;       // the first day's local midnight
  time_t window_end = 0;         // the local midnight after today
};

audit_result audit(const audit_input& input);

const char* verdict_name(verdict what);

}  // namespace velmora
