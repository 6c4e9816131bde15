// The ledger: what runs of velmora-audit saw, kept in its state directory,
// so that what the journal loses (to a vacuum, to rotation, or with every
// restart where it is kept only in memory) the audit does not.
//
// What it holds:
// - each boot that a run saw: its ID, when it began, when it was last seen
//   up (for a boot that the journal showed ended, its last entry), whether
//   a run saw it from its start, whether it had ended, and when its
//   shutdown began; and in it velmorad's start-ups, each with the target
//   and the zone in force then, and the stops of its unit, each with
//   whether the daemon ended by itself and PID 1 restarted it (a crash);
// - each day that a run judged with the journal's full evidence (no time
//   in it pending, still to come, or not known): its verdicts and their
//   reasons;
// - the longest --days asked.
//
// Contract:
// - One text file in the state directory, "velmora-audit ledger N" first,
//   replaced whole: written beside it, given mode 0644 and, by a run as
//   root, to the directory's owner (the audit's account), and renamed over
//   it. One of a later version is neither used nor replaced; an earlier
//   one is read. One that cannot be parsed in full is not used and is
//   replaced; one kept for another settings file is neither.
// - Trusted only from the audit's own account: a file that the state
//   directory's owner does not own, or that others may write, is not used,
//   and is replaced.
// - Bounded: a boot last seen, an event or a day more than the longest
//   window asked plus kLedgerMarginDays ago goes (but for the start-up that
//   a boot still in the bound ran on from); at most kLedgerBoots boots, and
//   kLedgerEvents events in each, the newest; and no more of the newest
//   boots than fit in kLedgerMax bytes, the most a run reads.
// - The journal stays the first evidence. merge_ledger() adds to the
//   journal's view only what it no longer holds: whole boots, and the head
//   of a boot that it holds from later on; a shutdown's start where it shows
//   none. A day the journal cannot tell takes the verdicts judged (audit()).
// - merge_ledger() and record_run() are pure; the rest reads and writes the
//   state directory and decides nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "audit/audit.h"

namespace velmora {

inline constexpr const char kLedgerFile[] = "ledger";
inline constexpr int kLedgerVersion = 1;
inline constexpr int kLedgerMarginDays = 2;
inline constexpr size_t kLedgerBoots = 1000;
inline constexpr size_t kLedgerEvents = 1000;
inline constexpr size_t kLedgerMax = 1 << 20;

struct ledger_event {
  time_t at;
  bool start;                 // a start-up line; else its unit stopped
  bool target_known = false;  // a start-up: the target in force then is known,
  int32_t target = 0;         // and is this
  std::string zone = {};      // a start-up: the zone /etc/localtime named then; empty: not known
  // A stop: how the daemon ended, as daemon_event says ("stop AT exited
  // STATUS", "stop AT crashed STATUS"), so that a crash loop the journal
  // lost still reads as one.
  bool exited = false;
  bool crashed = false;
  int status = 0;
};

struct ledger_boot {
  std::string id;
  time_t first;             // its first entry
  time_t last;              // its last entry where it had ended, else when a run last saw it up
  bool head_known = false;  // a run saw it from its start
  bool ended = false;       // a run saw it ended: `last` is its end
  time_t shutdown = 0;      // when its shutdown began; 0: not known
  std::vector<ledger_event> events = {};  // in time order
};

struct ledger {
  int window = 0;                  // the longest --days asked
  std::vector<ledger_boot> boots;  // oldest first
  std::vector<day_report> days;    // oldest first
};

// A shutdown's start recorded in a boot not seen to end counts while no
// run saw the boot up more than kShutdownBound after it: else the recorder
// was stopped by hand (an upgrade, a removal), and the system stayed up.
bool shutdown_recorded(const ledger_boot& boot);

// Adds to `in`, as read_journal() left it, what `kept` holds and the journal
// no longer does: each boot of another ID (but one whose span meets a boot
// of the journal's), with its events, its shutdown's start where recorded
// and valid, and its end unseen where not (a boot seen ended stays ended);
// for a boot the journal holds from later than the ledger saw it, the
// ledger's start and head, and its events before the journal's first
// entry; a shutdown's start for a boot that has ended where the journal
// shows none. Each start-up's target and zone, where no record of the
// history is in force then, as a record of that second; journal_start
// from the earliest boot; `judged` from the days kept.
void merge_ledger(const ledger& kept, audit_input* in);

// The ledger after this run: `kept` with this run's view of `in` (merged)
// and `result`. Every boot of `in` with an ID replaces the kept one, the
// current boot with its shutdown's start as the journal shows it, else as
// kept; with `shutting_down` (the system goes down now), as the journal
// shows it or else `in.now`. Each day of `result` judged in full replaces
// the kept one; other days stay as kept. Then the bound.
ledger record_run(const ledger& kept, const audit_input& in, const audit_result& result,
                  bool shutting_down);

// The file's text (the oldest boots left out where they would make it
// larger than kLedgerMax), and back: false with the reason in `why` when `text`
// is no ledger of `settings_path` that this version reads in full;
// `replaceable` says whether it may be written over (not for a later
// version's, nor for another settings file's).
std::string ledger_text(const ledger& l, const char* settings_path);
bool parse_ledger(const std::string& text, const char* settings_path, ledger* out,
                  std::string* why, bool* replaceable);

struct kept_ledger {
  ledger entries;
  std::string problem;       // why what is kept is not used; empty when it is
  bool replaceable = false;  // this run may write the ledger
};

// The ledger kept in `dir`. None at all in a directory that exists is no
// problem: it is the first run.
kept_ledger load_ledger(const char* dir, const char* settings_path);

// Writes `l` in `dir`; the reason when it cannot, else empty.
std::string save_ledger(const char* dir, const char* settings_path, const ledger& l);

// What the ledger and the settings history share.
// The state directory, opened without following a link; -1, with the
// reason in `why`, when it cannot be.
int open_state_directory(const char* dir, std::string* why);
// Reads `name` in `dir` into `text`: not through a link, a regular file of
// at most `max` bytes, and with `owner_only` one that the directory's owner
// alone may write. What stands in the way goes to `why`; `replaceable` is
// set where this run may write the file anew (none yet, or one not trusted).
bool read_state_file(const char* dir, const char* name, size_t max, bool owner_only,
                     std::string* text, std::string* why, bool* replaceable);
// Writes `text` as `name` in `dir`, as the contract above says; the reason
// when it cannot, else empty.
std::string replace_state_file(const char* dir, const char* name, const std::string& text);
// Holds `dir` against other runs, so that no run writes over what another
// has just added (a shutdown's start recorded while the hourly run reads
// the journal); waits up to 5 seconds, then goes on without. The descriptor
// to close, or -1.
int lock_state_directory(const char* dir);

}  // namespace velmora
