// What velmora-audit reads from the host besides the journal: when the
// settings file last changed, the zone /etc/localtime names, the history of
// what both said that earlier runs kept in the state directory, whether
// the daemon's unit is enabled, and whether the daemon runs now.
//
// Contract:
// - The history is one small text file in the state directory, replaced
//   whole as the ledger is (audit/ledger.h): written beside it, given to the
//   directory's owner by a run as root, and renamed over it. A file that cannot be
//   parsed in full is not used at all; one written by a later version or
//   for another settings file is neither used nor replaced. One from the
//   version before, which kept no zone, is used and written anew. A state
//   directory that is a symbolic link is not followed.
// - Nothing here decides: the audit judges with what these return.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "audit/audit.h"

namespace velmora {

inline constexpr const char kStateDirectory[] = "/var/lib/velmorad-audit";
inline constexpr const char kHistoryFile[] = "settings-history";
// The package's first install writes "MACHINE-ID SECONDS" here; upgrades
// leave it, and only a purge removes it.
inline constexpr const char kInstalledRecord[] = "/var/lib/velmorad/installed";
inline constexpr const char kMachineIdFile[] = "/etc/machine-id";
inline constexpr const char kLocaltime[] = "/etc/localtime";

// When the file at `path` last changed: the later of its modification and
// status-change times, so that a copy that keeps an old modification time
// counts as a change. For a file that is missing, the same of the nearest
// directory above it that exists, which changed when the file went.
time_t settings_changed(const char* path);

// The zone `path` names, seen at `now`: the part of its link's target
// after "zoneinfo/", else the target made absolute; no name for a file
// that is no link. It changed when the link (or file) itself last did, as
// for the settings file; missing, it is UTC, since the nearest directory
// above changed.
zone_record host_zone(time_t now, const char* path = kLocaltime);

struct kept_history {
  std::vector<settings_record> records;  // oldest first
  std::vector<zone_record> zones;        // oldest first
  std::string problem;                   // why what is kept is not used; empty when it is
  bool replaceable = false;              // this run may write the history
};

// The history kept in `dir` for the settings file `settings_path`. None at
// all in a directory that exists is no problem: it is the first run.
kept_history load_history(const char* dir, const char* settings_path);

// Writes `records` as the history of `settings_path` in `dir`; the reason
// when it cannot, else empty.
std::string save_history(const char* dir, const char* settings_path,
                         const std::vector<settings_record>& records,
                         const std::vector<zone_record>& zones);

// When velmorad could first have run on this host: the time the package's
// first install recorded, where the machine ID recorded is this host's;
// else (a host cloned from an image that held the package) this host's
// first boot, when its machine ID was made. 0 when that is not known: no
// record (an install from before records were kept), or one that cannot be
// read.
time_t first_installed(const char* record = kInstalledRecord,
                       const char* machine_id = kMachineIdFile);

// 1 when velmorad.service is enabled (a link to it in a .wants or .requires
// directory under /etc/systemd/system or /run/systemd/system, where
// systemctl enable puts it), 0 when it is not or is masked, -1 when that
// cannot be told: no /etc/systemd/system, so no systemd to start it.
int unit_enabled();

// Whether velmorad runs now, as the running system shows it, whatever the
// journal still holds: its unit's control group (below `cgroups`, in the
// unified hierarchy or in systemd's own of the older one) holds a process.
bool daemon_running(const char* cgroups = "/sys/fs/cgroup");

}  // namespace velmora
