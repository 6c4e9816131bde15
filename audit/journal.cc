#include "audit/journal.h"

#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>
#include <systemd/sd-messages.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace velmora {
namespace {

constexpr char kStartUpLine[] = "Modul Velmora start";
// Any local account can log a line that names itself velmorad, and root in
// a container, or in another unit, is uid 0 too: only the fields journald
// adds itself, whose names begin with "_", say who wrote an entry, and the
// unit an entry came from is one of them. So the daemon's word counts only
// from its own unit, whatever user a drop-in runs it as (only root starts a
// system unit), and the service manager's only from PID 1 as root.
constexpr char kDaemonUnit[] = "_SYSTEMD_UNIT=velmorad.service";
constexpr char kUnit[] = "UNIT=velmorad.service";
constexpr char kFromManager[] = "_PID=1";
constexpr char kFromRoot[] = "_UID=0";
constexpr char kFromLogind[] = "_SYSTEMD_UNIT=systemd-logind.service";
// A boot's head is in the journal when its first entry there comes within
// this long of the boot's start. PID 1 says once a boot when its start-up
// finished, and how long user space took to get there; its own start is
// then the boot's (a container's too, whose manager starts late on the
// host's monotonic clock, and has no kernel lines). Else a kernel line from
// the kernel's first minute shows it, as the kernel stamps each line with
// its own clock. Neither journald's start nor a kernel line logged later
// proves anything: journald restarts while the host runs (on upgrades, by
// its watchdog), and the boot's first entries may have gone before.
constexpr int64_t kHeadWithin = 60 * 1000000LL;

// When a boot began to go down. logind says so the moment a reboot or
// power-off is asked of it ("System is rebooting."), but a request that
// reaches the service manager directly (no D-Bus, no logind) leaves only the
// manager's own lines: its stop of multi-user.target comes first among them
// that an administrator's stop of a single service never gives. An isolate
// to rescue or emergency mode stops that target too, and then the manager
// reaches that mode, or multi-user.target once more: the system stayed up.
// Only root's lines count, and the manager's only from PID 1.
constexpr char kTarget[] = "multi-user.target";
constexpr const char* kUpTargets[] = {kTarget, "rescue.target", "emergency.target"};

using journal_ptr = std::unique_ptr<sd_journal, decltype(&sd_journal_close)>;

// The value of `name` in the current entry; empty when it has none.
std::string field(sd_journal* j, const char* name) {
  const void* data = nullptr;
  size_t length = 0;
  if (sd_journal_get_data(j, name, &data, &length) < 0) return "";
  const size_t skip = std::strlen(name) + 1;  // "NAME="
  return length < skip ? "" : std::string(static_cast<const char*>(data) + skip, length - skip);
}

uint64_t realtime_usec(sd_journal* j) {
  uint64_t usec = 0;
  sd_journal_get_realtime_usec(j, &usec);
  return usec;
}

uint64_t monotonic_usec(sd_journal* j) {
  // Without a place for the boot ID it would refuse entries of other boots.
  uint64_t usec = 0;
  sd_id128_t boot{};
  sd_journal_get_monotonic_usec(j, &usec, &boot);
  return usec;
}

time_t seconds(int64_t usec) { return static_cast<time_t>(usec / 1000000); }

// When the current entry was written, in real time. A host without a
// battery-backed clock boots with the clock where it stopped, and is set
// right a little later: the entries before that step carry the stale time.
// The monotonic clock goes on through a step, so each entry is placed at
// the real start of its boot, as the boot's last entry gives it, plus its
// own monotonic time.
int64_t placed_usec(sd_journal* j, int64_t boot_base) {
  return boot_base + static_cast<int64_t>(monotonic_usec(j));
}

void match_only(sd_journal* j, std::initializer_list<std::string> matches) {
  sd_journal_flush_matches(j);
  for (const std::string& m : matches) sd_journal_add_match(j, m.c_str(), 0);
}

// The first sign of a shutdown in boot `id` after the system was last seen
// to come up, placed like any other entry; 0 when there is none.
time_t shutdown_began(sd_journal* j, const std::string& id, int64_t base) {
  const std::string boot = "_BOOT_ID=" + id;
  sd_journal_flush_matches(j);
  for (const std::string& m : {boot, std::string("MESSAGE_ID=") + SD_MESSAGE_SHUTDOWN_STR,
                               std::string(kFromRoot), std::string(kFromLogind)}) {
    sd_journal_add_match(j, m.c_str(), 0);
  }
  sd_journal_add_disjunction(j);
  for (const std::string& m : {boot, std::string(kFromManager), std::string(kFromRoot),
                               std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_STOPPED_STR,
                               std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_STARTED_STR}) {
    sd_journal_add_match(j, m.c_str(), 0);
  }
  for (const char* unit : kUpTargets) {
    sd_journal_add_match(j, (std::string("UNIT=") + unit).c_str(), 0);
  }
  std::vector<std::pair<int64_t, bool>> signs;  // true: going down; false: came up
  SD_JOURNAL_FOREACH(j) {
    const std::string message = field(j, "MESSAGE_ID");
    if (message == SD_MESSAGE_UNIT_STARTED_STR) {
      signs.emplace_back(placed_usec(j, base), false);
    } else if (message == SD_MESSAGE_SHUTDOWN_STR || field(j, "UNIT") == kTarget) {
      signs.emplace_back(placed_usec(j, base), true);
    }
  }
  std::stable_sort(signs.begin(), signs.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  bool going_down = false;
  int64_t began = 0;
  for (const auto& [usec, down] : signs) {
    if (down && !going_down) began = usec;
    going_down = down;
  }
  return going_down ? seconds(began) : 0;
}

}  // namespace

bool read_journal(time_t now, audit_input* in, std::string* why) {
  sd_journal* raw = nullptr;
  if (const int r = sd_journal_open(&raw, SD_JOURNAL_LOCAL_ONLY | SD_JOURNAL_SYSTEM); r < 0) {
    *why = std::string("cannot open the journal: ") + std::strerror(-r);
    return false;
  }
  const journal_ptr journal(raw, sd_journal_close);
  sd_journal* j = journal.get();
  if (sd_journal_seek_head(j) < 0 || sd_journal_next(j) <= 0) {
    // Root sees every entry there is; anyone else may be shut out of them.
    *why = geteuid() == 0
               ? std::string("the journal shows no entry: none is kept here (is it kept on disk, "
                             "in /var/log/journal?)")
               : "the journal shows no entry to uid " + std::to_string(geteuid()) +
                     ": reading the system journal takes the group systemd-journal or adm";
    return false;
  }
  in->journal_start = seconds(static_cast<int64_t>(realtime_usec(j)));

  // Every boot, by its first and last entry; the current one lasts until now.
  // Where the kernel's boot ID is not one of the journal's (a service's
  // sandbox in a container may show the host's), the journal's newest entry
  // is of the current boot.
  sd_id128_t current{};
  char kernel_id[SD_ID128_STRING_MAX] = "";
  if (sd_id128_get_boot(&current) >= 0) sd_id128_to_string(current, kernel_id);
  std::string current_id = kernel_id;
  std::vector<std::string> ids;
  if (sd_journal_query_unique(j, "_BOOT_ID") >= 0) {
    const void* data = nullptr;
    size_t length = 0;
    const size_t skip = std::strlen("_BOOT_ID=");
    SD_JOURNAL_FOREACH_UNIQUE(j, data, length) {
      if (length > skip) ids.emplace_back(static_cast<const char*>(data) + skip, length - skip);
    }
  }
  if (std::find(ids.begin(), ids.end(), current_id) == ids.end() &&
      sd_journal_seek_tail(j) >= 0 && sd_journal_previous(j) > 0) {
    current_id = field(j, "_BOOT_ID");
  }
  struct boot_info {
    boot_record record;
    std::string id;
    int64_t base;  // the boot's real start minus its entries' monotonic times
  };
  std::vector<boot_info> boots;
  for (const std::string& id : ids) {
    match_only(j, {"_BOOT_ID=" + id});
    if (sd_journal_seek_tail(j) < 0 || sd_journal_previous(j) <= 0) continue;
    const int64_t base = static_cast<int64_t>(realtime_usec(j)) -
                         static_cast<int64_t>(monotonic_usec(j));
    boot_record boot{0, seconds(static_cast<int64_t>(realtime_usec(j))), id == current_id};
    if (boot.current) boot.last = now;
    boot.id = id;
    if (sd_journal_seek_head(j) < 0 || sd_journal_next(j) <= 0) continue;
    const int64_t first = placed_usec(j, base);
    boot.first = seconds(first);
    // PID 1's start, as its word that start-up finished gives it, or the
    // kernel's first lines.
    // A container's manager says so as a user manager does, with its own
    // message id; PID 1 is what tells it from the user managers.
    match_only(j, {"_BOOT_ID=" + id, kFromManager, kFromRoot,
                   std::string("MESSAGE_ID=") + SD_MESSAGE_STARTUP_FINISHED_STR,
                   std::string("MESSAGE_ID=") + SD_MESSAGE_USER_STARTUP_FINISHED_STR});
    if (sd_journal_seek_head(j) >= 0 && sd_journal_next(j) > 0) {
      int64_t start = static_cast<int64_t>(monotonic_usec(j));
      for (const char* span : {"USERSPACE_USEC", "INITRD_USEC", "KERNEL_USEC"}) {
        start -= std::strtoll(field(j, span).c_str(), nullptr, 10);
      }
      boot.head_known = first - base - std::max<int64_t>(start, 0) <= kHeadWithin;
    }
    match_only(j, {"_BOOT_ID=" + id, "_TRANSPORT=kernel"});
    if (!boot.head_known && sd_journal_seek_head(j) >= 0 && sd_journal_next(j) > 0) {
      // Where the kernel's own stamp is missing, the time journald took the
      // line, which is later still.
      const std::string stamp = field(j, "_SOURCE_MONOTONIC_TIMESTAMP");
      const int64_t kernel_usec = stamp.empty() ? static_cast<int64_t>(monotonic_usec(j))
                                                : std::strtoll(stamp.c_str(), nullptr, 10);
      boot.head_known = kernel_usec <= kHeadWithin;
    }
    boot.shutdown_began = shutdown_began(j, id, base);
    boots.push_back({boot, id, base});
  }
  std::sort(boots.begin(), boots.end(), [](const boot_info& a, const boot_info& b) {
    return a.record.first < b.record.first;
  });
  std::map<std::string, size_t> boot_of;
  std::vector<int64_t> base_of;
  for (const boot_info& boot : boots) {
    boot_of[boot.id] = in->boots.size();
    in->boots.push_back(boot.record);
    base_of.push_back(boot.base);
  }
  // The earliest entry, as placed.
  if (!in->boots.empty()) in->journal_start = in->boots.front().first;

  // The daemon's start-up lines from its own unit; then the service
  // manager's word that the unit's main process ended, that the unit
  // stopped, or that it scheduled the unit's restart by itself. Sorted to
  // the microsecond, so that a restart's stop comes before its new start.
  enum class kind { start, stop, exit, scheduled };
  struct raw_event {
    int64_t at;
    size_t boot;
    kind what;
    int status;  // exit: its status, or minus the signal that ended it
  };
  std::vector<raw_event> found;
  match_only(j, {"SYSLOG_IDENTIFIER=velmorad", kDaemonUnit});
  SD_JOURNAL_FOREACH(j) {
    if (field(j, "MESSAGE") != kStartUpLine) continue;
    const auto boot = boot_of.find(field(j, "_BOOT_ID"));
    if (boot == boot_of.end()) continue;
    found.push_back({placed_usec(j, base_of[boot->second]), boot->second, kind::start, 0});
  }
  match_only(j, {kFromManager, kFromRoot, kUnit,
                 std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_STOPPED_STR,
                 std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_SUCCESS_STR,
                 std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_PROCESS_EXIT_STR,
                 std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_RESTART_SCHEDULED_STR});
  SD_JOURNAL_FOREACH(j) {
    const auto boot = boot_of.find(field(j, "_BOOT_ID"));
    if (boot == boot_of.end()) continue;
    const std::string message = field(j, "MESSAGE_ID");
    raw_event e{placed_usec(j, base_of[boot->second]), boot->second, kind::stop, 0};
    if (message == SD_MESSAGE_UNIT_RESTART_SCHEDULED_STR) {
      e.what = kind::scheduled;
    } else if (message == SD_MESSAGE_UNIT_PROCESS_EXIT_STR) {
      e.what = kind::exit;
      const int status = static_cast<int>(std::strtol(field(j, "EXIT_STATUS").c_str(), nullptr, 10));
      e.status = field(j, "EXIT_CODE") == "exited" ? status : -status;
    }
    found.push_back(e);
  }
  // In the same microsecond, PID 1's word comes first: a restart's stop
  // before its new start.
  std::stable_sort(found.begin(), found.end(), [](const raw_event& a, const raw_event& b) {
    return a.at != b.at ? a.at < b.at : a.what != kind::start && b.what == kind::start;
  });
  // A main process that ended, then a restart that PID 1 scheduled itself
  // (Restart=), is a crash: the daemon did not stop, it fell and was put
  // back. The unit's own stop and start that the restart job logs belong to
  // it.
  bool restarting = false;
  for (const raw_event& e : found) {
    if (!in->events.empty() && in->events.back().boot != e.boot) restarting = false;
    switch (e.what) {
      case kind::start:
        restarting = false;
        in->events.push_back({seconds(e.at), e.boot, true});
        break;
      case kind::scheduled:
        if (!in->events.empty() && in->events.back().boot == e.boot &&
            !in->events.back().start && in->events.back().exited) {
          in->events.back().crashed = true;
        }
        restarting = true;
        break;
      case kind::stop:
        if (!restarting) in->events.push_back({seconds(e.at), e.boot, false});
        break;
      case kind::exit:
        if (!restarting) {
          daemon_event stop{seconds(e.at), e.boot, false};
          stop.exited = true;
          stop.status = e.status;
          in->events.push_back(stop);
        }
        break;
    }
  }
  return true;
}

}  // namespace velmora
