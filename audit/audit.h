// Whether the restarts that velmorad was due to make happened, judged from
// what the system journal holds (its boots, the daemon's start-up lines and
// its unit's stops) and from what the settings file was seen to say over
// time, since each daemon keeps the target it read at its start.
//
// Contract:
// - audit() is a pure function of its input and of the local-time rules (TZ
//   where set, else the host's zone): it reads no clock, file or journal.
//   Only while it predicts the passes of a daemon that ran in another zone
//   does it set TZ to that zone, and it restores it.
// - Each start-up line opens a stretch in which the daemon ran, until the
//   next start-up line or stop of its unit in that boot, else the end of the
//   boot. A stretch that a crash ended (PID 1 restarted the unit by itself)
//   goes on in the next, which keeps its target and zone: a daemon that
//   keeps falling never lets go of its minute, and its due passes run from
//   its first start. The due times in a stretch are the passes on which
//   the daemon's own decision runs the reboot command: from its start, 30
//   seconds apart, up to the stretch's end. Only where the boot ends do they reach
//   kEarlySlack past it, for the passes' drift: at the boot's end, or at a
//   stop that is the shutdown's own. In a boot whose shutdown's start is
//   known (shutdown_began), that is a stop at or after that start, however
//   long the shutdown then took, and any earlier stop is an administrator's;
//   in a boot without it, a stop that the boot's end follows within
//   kShutdownBound. Each stretch has the target in force at its start
//   (target_in_force), and is judged in the zone /etc/localtime named then
//   (zone_in_force), since the daemon keeps both until it restarts; a
//   stretch whose target or zone is not known has no due times, and the
//   days it covers read as not known.
// - A due time "happened" when its boot's shutdown began, or the boot ended,
//   from kEarlySlack before it to kShutdownBound after it: a shutdown begun
//   on time is the restart, however long it then takes. It is "missed" when
//   neither did, and "pending" while the current boot has not yet gone on
//   kShutdownBound past it.
// - A day without a due time says why, for the minute that the target and
//   zone of the last daemon that ran into the day name (else the target in
//   force at the day's start, in the audit's zone): velmorad was not yet on
//   this host (before `installed`, where that is known: nothing was due
//   then), the host was down, the daemon was not running, it started during
//   or after that minute, the target is never reached, the minute is still
//   to come, or it cannot be told: the journal does not reach back that
//   far, or the target or zone of the daemon then running is not known. A journal that reaches back to `installed` holds every start-up
//   line there was, so its oldest boot needs no head of its own.
// - A boot whose end no record tells (end_seen false, from the ledger) was no
//   restart: a due time in it is missed when the boot was seen up
//   kShutdownBound past it, else not known (end_unknown), and so is a minute
//   after it was last seen, before the next boot began.
// - A day that holds a time that cannot be told takes the verdicts that an
//   earlier run gave it with the journal's full evidence (judged), where
//   there are any; a day that the journal still tells is judged anew.
//   velmorad runs now when a stretch of it is open in the current boot, or
//   when the running system shows its process (running).
// - The state, with the exit codes of monitoring plugins: ok when restarts
//   are turned off (the daemon is neither running nor enabled), whatever the
//   days say; else critical while the last restart due that was decided was
//   missed (a later one that happened mends it); else warning while PID 1
//   restarted the daemon after a crash more than kCrashesTolerated times
//   within the window, or the running daemon keeps a target other than the
//   file's, or a zone other than the host's; else unknown when some day cannot be told; else
//   warning when the daemon is not running now; else ok.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace velmora {

// A restart's shutdown begins within this many seconds after the due pass,
// and where the journal does not show when it began, its boot ends within
// it: the reboot command starts then, and a shutdown takes its time
// (systemd waits up to 90 seconds for each service that does not stop, and
// longer where a unit asks for it).
inline constexpr time_t kShutdownBound = 300;
// ... or this much before it: the daemon's passes drift from the 30-second
// grid of its start by the time each pass takes, and by any suspend.
inline constexpr time_t kEarlySlack = 30;

struct boot_record {
  time_t first;  // the boot's first journal entry
  time_t last;   // its last entry; for the current boot, now
  bool current;
  bool head_known = false;  // the journal holds the boot from its start
  time_t shutdown_began = 0;  // when the system began to go down; 0: not seen
  std::string id = {};        // its boot ID; empty: not known
  // It ended at `last`, or its shutdown began at shutdown_began. False for a
  // boot that the ledger saw up at `last` and whose end no record tells: a
  // power cut, a crash, a shutdown that was not recorded.
  bool end_seen = true;
};

struct daemon_event {
  time_t at;
  size_t boot;  // index into audit_input::boots
  bool start;   // a start-up line; else the daemon's unit stopped
  // A stop: the main process ended by itself, with `status` (its exit
  // status, or minus the signal that ended it); crashed: and PID 1 then
  // restarted the unit by itself, so the daemon did not stop but fell.
  bool exited = false;
  bool crashed = false;
  int status = 0;
};

// What the settings file said: from `changed` on it gave `target`, and it
// was last seen to give it at `seen`. A later change that was never seen
// may lie between `seen` and the next record's `changed`.
struct settings_record {
  time_t changed;
  time_t seen;
  int32_t target;  // the daemon's target minute
};

// Records the file as it reads now into `history` (oldest first): a new
// record when it changed since the last, else the last seen again. Records
// that a clock set back would put out of order go; at most kHistoryKept
// are kept, the newest.
inline constexpr size_t kHistoryKept = 100;
void record_settings(std::vector<settings_record>* history, settings_record now);

// The record in force at `when`: the last that changed at or before it,
// provided no unseen change may lie between it and `when`. Null when none
// is known to be.
const settings_record* target_in_force(const std::vector<settings_record>& history,
                                       time_t when);

// What /etc/localtime named: from `changed` on it named `name`, and it was
// last seen to name it at `seen`. The name is a zone below the zone
// directory, or the path the link points to; empty for a copy of a zone's
// file, which names none.
struct zone_record {
  time_t changed;
  time_t seen;
  std::string name;
};

// As record_settings, for the zone: a record that names the zone the last
// names is that one seen again.
void record_zone(std::vector<zone_record>* history, const zone_record& now);

// As target_in_force, for the zone.
const zone_record* zone_in_force(const std::vector<zone_record>& history, time_t when);

struct day_report;

struct audit_input {
  std::vector<boot_record> boots;    // oldest first
  std::vector<daemon_event> events;  // in time order
  time_t journal_start;              // the journal's earliest entry
  // What the settings file said, oldest first; the last is the file as it
  // reads now, whose target a daemon started now would keep.
  std::vector<settings_record> settings;
  // What /etc/localtime named, oldest first; the last is the zone the audit
  // itself runs in. Empty: every daemon ran in the audit's zone (TZ is set).
  std::vector<zone_record> zones;
  int enabled = -1;                  // the daemon's unit: 1 enabled, 0 not, -1 not known
  time_t installed = 0;              // velmorad could first have run then; 0: not known
  time_t now;
  int days;                          // today and the days before it
  // The days that earlier runs judged in full, from the ledger: a day that
  // the journal can no longer tell keeps their verdicts.
  std::vector<day_report> judged;
  bool running = false;  // the running system shows a process of velmorad's unit
};

enum class verdict {
  happened,     // the shutdown began, or the boot ended, soon after the due pass
  missed,       // the boot went on well past it, without a shutdown begun
  pending,      // the current boot has not yet gone on that long
  coming,       // the due minute is still to come
  host_down,    // no boot at the due minute
  not_running,  // a boot, but no daemon running at the due minute
  not_armed,    // the daemon started during or after the due minute
  never,        // the target lies outside the day: never due
  not_installed,  // before velmorad came to this host
  unknown,      // the journal does not reach back that far
  unrecorded,   // the target of the daemon then running is not known
  zone_unrecorded,  // the zone the daemon then running read is not known
  end_unknown,  // its boot was last seen up before the bound, and no record tells its end
};

struct due_time {
  verdict what;
  time_t at;        // the due pass; for a day without one, the due minute
  time_t boot_end;  // happened, missed: when the boot ended
  time_t since;     // happened, missed, not_armed, unrecorded, zone_unrecorded: when the daemon
                    // started; not_running: when it started later that boot, or 0
  time_t shutdown_began = 0;  // happened, missed: when the boot's shutdown began, or 0
  // happened, missed, pending: how often PID 1 started the daemon again
  // after a crash from `since` to the due pass, and how the last crash ended
  int restarts = 0;
  int status = 0;
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
  bool turned_off = false;       // not running, and the unit is not enabled
  // The running daemon started before the file's last change and keeps
  // another target, or one that is not known; or before /etc/localtime's,
  // and keeps another zone, or one that is not known. pending: either.
  bool pending = false;
  bool target_pending = false;
  bool zone_pending = false;
  bool kept_known = false;       // the running daemon's target is known:
  int32_t kept_target = 0;       // it is this
  const zone_record* kept_zone = nullptr;  // zone_pending: the zone it keeps; null: not known
  time_t unrecorded_since = 0;   // the earliest start of a daemon whose target is not known
  time_t zone_unrecorded_since = 0;  // ... whose zone is not known
  time_t window_start = 0;       // the first day's local midnight
  time_t window_end = 0;         // the local midnight after today
  // velmorad came to this host within the window: the restarts due were
  // due since `installed`.
  bool installed_within = false;
  // PID 1 restarted the daemon after a crash this often within the window,
  // the first and the last time, the last after an end with this status;
  // more than kCrashesTolerated reads as a fault even when nothing was due.
  int crashes = 0;
  time_t first_crash = 0;
  time_t last_crash = 0;
  int crash_status = 0;
  // The running daemon's next pass after now that runs the command, by the
  // target and in the zone it keeps; 0 when it does not run, they are not
  // known, or no pass comes within kNextHorizon.
  time_t next_restart = 0;
};

// A daemon that crashes now and then is worth a look, not an alarm; one
// that keeps crashing may miss its minute, or already has.
inline constexpr int kCrashesTolerated = 3;

// How far ahead next_restart is looked for: a daily restart comes within a
// day and the hour the clock falls back.
inline constexpr time_t kNextHorizon = 2 * 86400;

audit_result audit(const audit_input& input);

const char* verdict_name(verdict what);

}  // namespace velmora
