// velmora-audit [--days N] [--settings PATH] [--state DIR] [--prometheus FILE]
// velmora-audit --record-shutdown [--settings PATH] [--state DIR]
// velmora-audit --help | --version
//
// Tells, from the system journal, whether the restarts that velmorad was due
// to make happened. The first line is a monitoring plugin's status line, the
// exit code its state (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN); one line a
// day follows. Optionally writes the same as metrics for Prometheus's
// textfile collector. What each run saw it keeps in a ledger, so that what
// the journal loses it does not; --record-shutdown adds that this boot's
// shutdown has begun, at the stop of velmorad-audit-shutdown.service.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audit/audit.h"
#include "audit/host.h"
#include "audit/journal.h"
#include "audit/ledger.h"
#include "common/paths.h"
#include "daemon/scheduler.h"
#include "forecast/forecast.h"
#include "settings/settings.h"

namespace {

using namespace velmora;

constexpr int kMaxDays = 366;
constexpr const char* kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
constexpr char kUsage[] =
    "usage: velmora-audit [--days N] [--settings PATH] [--state DIR] [--prometheus FILE]\n"
    "       velmora-audit --record-shutdown [--settings PATH] [--state DIR]\n";
constexpr char kApply[] = "systemctl restart velmorad.service";

// The monitoring plugin's answer when the audit cannot tell: the status line
// says why; the usage follows only when the options were wrong.
int unknown(const std::string& why, bool bad_options = false) {
  std::printf("VELMORAD UNKNOWN - %s\n", why.c_str());
  if (bad_options) std::fprintf(stderr, "%s", kUsage);
  return 3;
}

int help() {
  std::printf("%s\n"
              "Tells from the system journal whether the restarts that velmorad was due to\n"
              "make happened: a status line first, then one line a day. The exit code is\n"
              "a monitoring plugin's: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n\n"
              "  -d, --days N           today and the days before it, 1 to %d (default 7)\n"
              "  -s, --settings PATH    the daemon's settings file (default %s)\n"
              "  -S, --state DIR        where the history of what the settings file said, and\n"
              "                         the ledger of what the audit saw, are kept (default\n"
              "                         %s, for the default file only)\n"
              "  -p, --prometheus FILE  also write metrics for the textfile collector, on\n"
              "                         every run, UNKNOWN included\n"
              "      --record-shutdown  record in the ledger that this boot's shutdown has\n"
              "                         begun, and tell nothing else (the stop of\n"
              "                         velmorad-audit-shutdown.service)\n"
              "  -h, --help             this text\n"
              "  -V, --version          the version\n\n"
              "See velmora-audit(8).\n",
              kUsage, kMaxDays, kSettingsPath, kStateDirectory);
  return 0;
}

std::string target_text(int32_t target) {
  char text[48];
  if (target >= 0 && target < 1440) {
    std::snprintf(text, sizeof text, "%02d:%02d", target / 60, target % 60);
  } else {
    std::snprintf(text, sizeof text, "minute %d of the day", target);
  }
  return text;
}

std::string zone_text(const zone_record& zone) {
  return zone.name.empty() ? "a zone it does not name (a copy, not a link)" : zone.name;
}

// What the running daemon keeps, and what would apply the file and the zone.
std::string pending_text(const audit_result& r, const audit_input& in) {
  std::string text;
  if (r.zone_pending) {
    const zone_record& host = in.zones.back();
    text = (r.kept_zone != nullptr
                ? "velmorad keeps the zone " + zone_text(*r.kept_zone) + " until it restarts; "
                : "velmorad started before /etc/localtime changed and keeps the zone it read "
                  "then, which was not recorded, until it restarts; ") +
           std::string(kLocaltime) + " names " + zone_text(host) + " since " +
           local_text(host.changed, "%F %T") + ": " + kApply + " applies it";
  }
  if (!r.target_pending) return text;
  if (!text.empty()) text += "; and ";
  const settings_record& file = in.settings.back();
  if (!r.kept_known) {
    return text + "velmorad started before the settings file changed at " +
           local_text(file.changed, "%F %T") +
           " and keeps what it read then, which was not recorded, until it restarts; the file "
           "asks for " + target_text(file.target) + ": " + kApply + " applies it";
  }
  return text + "velmorad keeps " + target_text(r.kept_target) +
         " until it restarts; the settings file asks for " + target_text(file.target) +
         " since " + local_text(file.changed, "%F %T") + ": " + kApply + " applies it";
}

// 7200 as "7,200": counts of a crash loop run into the thousands.
std::string grouped(int n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// How a crash ended the daemon's main process, as PID 1 told it.
std::string ended_text(int status) {
  return status < 0 ? "killed by signal " + std::to_string(-status)
                    : "exited with status " + std::to_string(status);
}

std::string describe(const due_time& due, const audit_input& in) {
  const std::string at = local_text(due.at, "%T %Z"), minute = local_text(due.at, "%H:%M %Z");
  switch (due.what) {
    case verdict::happened:
      return "happened: due " + at +
             (due.shutdown_began != 0
                  ? ", the shutdown began at " + local_text(due.shutdown_began, "%T")
                  : "") +
             ", the host went down at " + local_text(due.boot_end, "%T");
    case verdict::missed:
      return "MISSED: due " + at +
             (due.restarts > 0 ? ", velmorad started " + grouped(due.restarts + 1) +
                                     " times since " + local_text(due.since, "%F %T") + ", " +
                                     ended_text(due.status)
                               : ", velmorad running since " + local_text(due.since, "%F %T")) +
             (due.boot_end >= in.now ? ", and the host is still up"
                                     : ", but the host stayed up until " +
                                           local_text(due.boot_end, "%F %T"));
    case verdict::pending:
      return "pending: due " + at + ", the host is still up";
    case verdict::coming:
      return "not yet due: " + minute;
    case verdict::host_down:
      return "not due: the host was down at " + minute;
    case verdict::not_running:
      return "not due: velmorad was not running at " + minute +
             (due.since != 0 ? ", it started at " + local_text(due.since, "%T") : "");
    case verdict::not_armed:
      return "not due: velmorad started at " + local_text(due.since, "%T") +
             ", during or after the due minute " + minute;
    case verdict::not_installed:
      return "not due: velmorad came to this host only at " + local_text(in.installed, "%F %T");
    case verdict::never:
      return "never due: the target, minute " + std::to_string(in.settings.back().target) +
             " of the day, is never reached";
    case verdict::unrecorded:
      return "unknown: velmorad started at " + local_text(due.since, "%F %T") +
             ", before the settings file's last change, and what it read then was not recorded";
    case verdict::zone_unrecorded:
      return "unknown: velmorad started at " + local_text(due.since, "%F %T") + ", before " +
             kLocaltime + " changed, and the zone it read then was not recorded";
    case verdict::end_unknown:
      return "unknown: the host was last seen up at " + local_text(due.boot_end, "%F %T") +
             ", and no record tells when it went down (a power cut, a crash)";
    case verdict::unknown:
      return due.at < in.journal_start
                 ? "unknown: the journal begins at " + local_text(in.journal_start, "%F %T") +
                       ", after " + minute
                 : "unknown: whether velmorad ran at " + minute +
                       " does not show: its boot began before the journal does";
  }
  return "?";
}

std::string counted(int n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string summary(const audit_result& r, const audit_input& in) {
  const std::string days =
      r.installed_within ? "since velmorad came to this host at " + local_text(in.installed, "%F %T %Z")
      : in.days == 1     ? "today"
                         : "in the last " + counted(in.days, "day");
  switch (r.state) {
    case audit_state::critical: {
      time_t last = 0;
      for (const day_report& day : r.days) {
        for (const due_time& due : day.dues) {
          if (due.what == verdict::missed) last = due.at;
        }
      }
      return std::to_string(r.missed) + " of " + counted(r.missed + r.happened, "restart") +
             " due " + days + " missed, the last due " + local_text(last, "%F %T %Z");
    }
    case audit_state::unknown: {
      for (const day_report& day : r.days) {
        for (const due_time& due : day.dues) {
          if (due.what == verdict::unknown) {
            return "the journal cannot tell whether every restart due " + days +
                   " happened: it begins at " + local_text(in.journal_start, "%F %T %Z");
          }
        }
      }
      for (const day_report& day : r.days) {
        for (const due_time& due : day.dues) {
          if (due.what == verdict::end_unknown) {
            return "whether the restart due at " + local_text(due.at, "%F %H:%M %Z") +
                   " happened cannot be told: the host, last seen up at " +
                   local_text(due.boot_end, "%F %T") + ", went down with no shutdown recorded";
          }
        }
      }
      if (r.unrecorded_since == 0) {
        return "the zone velmorad started in at " +
               local_text(r.zone_unrecorded_since, "%F %T %Z") + " was not recorded, and " +
               kLocaltime + " has changed since";
      }
      return "what velmorad started at " + local_text(r.unrecorded_since, "%F %T %Z") +
             " read from the settings file was not recorded, and the file has changed since";
    }
    case audit_state::warning:
      if (r.crashes > kCrashesTolerated) {
        return "velmorad keeps crashing: PID 1 restarted it " + grouped(r.crashes) +
               " times since " + local_text(r.first_crash, "%F %T") + ", the last at " +
               local_text(r.last_crash, "%F %T %Z") + ", " + ended_text(r.crash_status);
      }
      if (r.pending) return "not yet applied: " + pending_text(r, in);
      return std::string("velmorad is not running now") +
             (in.enabled == 1 ? ", and velmorad.service is enabled"
                              : "; whether velmorad.service is enabled cannot be told");
    case audit_state::ok:
      break;
  }
  if (r.turned_off) return "restarts are turned off: velmorad.service is neither enabled nor running";
  if (r.happened + r.missed == 0) return "no restart was due " + days;
  std::string text = counted(r.happened + r.missed, "restart") + " due " + days + ", " +
                     (r.missed == 0 ? (r.happened == 1 ? "it" : "all") : std::to_string(r.happened)) +
                     " happened, the last at " + local_text(r.last_restart, "%F %T %Z");
  if (r.missed > 0) text += "; " + std::to_string(r.missed) + " missed before it";
  return text;
}

// Written beside FILE and renamed over it, so that the collector never reads
// half a file, and readable by everyone, since the exporter runs as a user of
// its own. Without a result (the journal or the settings file could not be
// read) only the state, UNKNOWN, the window and the time of the run are
// written: the counts are not known, and a stale count would read as good
// news.
bool write_metrics(const std::string& file, const audit_result* r, const audit_input& in,
                   std::string* why) {
  const std::string part = file + ".part" + std::to_string(getpid());
  const int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (out == nullptr) {
    *why = std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  fchmod(fd, 0644);  // whatever the umask
  const long window = r != nullptr ? static_cast<long>(r->window_end - r->window_start)
                                   : static_cast<long>(in.days) * 86400;
  std::fprintf(out,
               "# HELP velmorad_audit_state The audit's state: 0 OK, 1 WARNING, 2 CRITICAL, "
               "3 UNKNOWN.\n# TYPE velmorad_audit_state gauge\nvelmorad_audit_state %d\n"
               "# HELP velmorad_audit_timestamp_seconds When the audit ran.\n"
               "# TYPE velmorad_audit_timestamp_seconds gauge\n"
               "velmorad_audit_timestamp_seconds %lld\n"
               "# HELP velmorad_audit_window_seconds The span the audit looks back over: "
               "today and the days before it, from local midnight to local midnight.\n"
               "# TYPE velmorad_audit_window_seconds gauge\nvelmorad_audit_window_seconds %ld\n",
               r != nullptr ? static_cast<int>(r->state) : 3, static_cast<long long>(in.now),
               window);
  if (r != nullptr) {
    std::fprintf(out,
                 "# HELP velmorad_last_restart_timestamp_seconds When the host last went down "
                 "for a restart that was due, within the window; 0 for none.\n"
                 "# TYPE velmorad_last_restart_timestamp_seconds gauge\n"
                 "velmorad_last_restart_timestamp_seconds %lld\n"
                 "# HELP velmorad_restarts_missed Restarts due within the window that did not "
                 "happen.\n# TYPE velmorad_restarts_missed gauge\nvelmorad_restarts_missed %d\n"
                 "# HELP velmorad_restarts_happened Restarts due within the window that "
                 "happened.\n# TYPE velmorad_restarts_happened gauge\n"
                 "velmorad_restarts_happened %d\n",
                 static_cast<long long>(r->last_restart), r->missed, r->happened);
    std::fprintf(out,
                 "# HELP velmorad_running Whether velmorad runs now: 1 or 0.\n"
                 "# TYPE velmorad_running gauge\nvelmorad_running %d\n"
                 "# HELP velmorad_settings_pending Whether the running velmorad keeps a target "
                 "other than the settings file's, or a zone other than /etc/localtime's, until "
                 "it restarts: 1 or 0.\n"
                 "# TYPE velmorad_settings_pending gauge\nvelmorad_settings_pending %d\n",
                 r->running_now ? 1 : 0, r->pending ? 1 : 0);
    if (r->next_restart != 0) {
      std::fprintf(out,
                   "# HELP velmorad_next_restart_timestamp_seconds When the running velmorad "
                   "will next restart the host, by the target and zone it keeps; absent when "
                   "it does not run.\n# TYPE velmorad_next_restart_timestamp_seconds gauge\n"
                   "velmorad_next_restart_timestamp_seconds %lld\n",
                   static_cast<long long>(r->next_restart));
    }
    if (in.enabled >= 0) {
      std::fprintf(out,
                   "# HELP velmorad_enabled Whether velmorad.service is enabled: 1 or 0; absent "
                   "where that cannot be told.\n# TYPE velmorad_enabled gauge\n"
                   "velmorad_enabled %d\n",
                   in.enabled);
    }
  }
  bool ok = std::fflush(out) == 0;
  if (!ok) *why = std::strerror(errno);
  if (std::fclose(out) != 0 && ok) {
    ok = false;
    *why = std::strerror(errno);
  }
  if (ok && std::rename(part.c_str(), file.c_str()) != 0) {
    ok = false;
    *why = std::strerror(errno);
  }
  if (!ok) std::remove(part.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const char* settings_path = kSettingsPath;
  const char* state_dir = nullptr;
  const char* metrics = nullptr;
  bool record_shutdown = false;
  audit_input in{};
  in.days = 7;
  static const option options[] = {
      {"days", required_argument, nullptr, 'd'},  {"settings", required_argument, nullptr, 's'},
      {"prometheus", required_argument, nullptr, 'p'}, {"state", required_argument, nullptr, 'S'},
      {"record-shutdown", no_argument, nullptr, 'R'}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},     {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":d:s:S:p:hV", options, nullptr)) != -1;) {
    switch (c) {
      case 'd':
        if (!parse_count(optarg, 1, kMaxDays, &in.days)) {
          return unknown(std::string("--days takes a number from 1 to 366: ") + optarg, true);
        }
        break;
      case 's': settings_path = optarg; break;
      case 'S': state_dir = optarg; break;
      case 'p': metrics = optarg; break;
      case 'R': record_shutdown = true; break;
      case 'h': return help();
      case 'V': std::printf("velmora-audit %s\n", VELMORA_VERSION); return 0;
      case ':': return unknown(std::string(argv[optind - 1]) + " needs a value", true);
      default: return unknown(std::string("unknown option: ") + argv[optind - 1], true);
    }
  }
  if (optind < argc) return unknown(std::string("unexpected argument: ") + argv[optind], true);

  in.now = time(nullptr);
  // Without a verdict the metrics still say UNKNOWN, so that the last good
  // ones do not stand.
  auto cannot_tell = [&](std::string why) {
    std::string write_error;
    if (metrics != nullptr && !write_metrics(metrics, nullptr, in, &write_error)) {
      why += "; cannot write " + std::string(metrics) + ": " + write_error;
    }
    return unknown(why);
  };
  // A settings file that this user may not read would read as 00:00, and
  // every day would be judged against the wrong minute.
  if (FILE* file = settings_open(settings_path, "r"); file != nullptr) {
    settings_close(file);
  } else if (const int error = errno; error == EACCES || error == EPERM) {
    return cannot_tell("cannot read " + std::string(settings_path) + " as uid " +
                       std::to_string(geteuid()) + " (" + std::strerror(error) +
                       "): the restart time is not known");
  }
  module_settings settings{};
  load_module_settings(&settings, settings_path);
  const settings_record file{settings_changed(settings_path), in.now,
                             target_minute(settings.hour, settings.minute)};
  // What the file said before, as earlier runs saw it; this run's view of it
  // is added. The default state directory keeps the default file's history.
  std::vector<std::string> notes;
  if (state_dir == nullptr && std::strcmp(settings_path, kSettingsPath) == 0) {
    state_dir = kStateDirectory;
  }
  kept_ledger seen;  // what earlier runs saw
  int lock = -1;
  if (state_dir != nullptr) {
    lock = lock_state_directory(state_dir);
    kept_history kept = load_history(state_dir, settings_path);
    in.settings = std::move(kept.records);
    if (!kept.problem.empty()) notes.push_back("not used: " + kept.problem);
    record_settings(&in.settings, file);
    // The daemon's zone is the one /etc/localtime names, since its unit sets
    // no TZ; a TZ given to the audit is taken as every daemon's zone, and
    // the zones recorded stay as they are.
    if (std::getenv("TZ") == nullptr) {
      record_zone(&kept.zones, host_zone(in.now));
      in.zones = kept.zones;
    }
    if (kept.replaceable) {
      if (const std::string why = save_history(state_dir, settings_path, in.settings, kept.zones);
          !why.empty()) {
        notes.push_back("not recorded: " + why);
      }
    }
    seen = load_ledger(state_dir, settings_path);
    if (!seen.problem.empty()) notes.push_back("not used: " + seen.problem);
  } else {
    in.settings.push_back(file);
    if (std::getenv("TZ") == nullptr) in.zones.push_back(host_zone(in.now));
    notes.push_back("not recorded: the history of a settings file other than " +
                    std::string(kSettingsPath) + " is kept only with --state");
  }
  in.enabled = unit_enabled();
  in.installed = first_installed();
  in.running = daemon_running();
  if (std::string why; !read_journal(in.now, &in, &why)) return cannot_tell(why);
  merge_ledger(seen.entries, &in);
  const audit_result result = audit(in);
  // This run's view kept, for the runs after it; at a shutdown, that it began.
  std::string recorded;
  if (state_dir != nullptr && seen.replaceable) {
    const ledger now = record_run(seen.entries, in, result, record_shutdown);
    recorded = save_ledger(state_dir, settings_path, now);
    if (!recorded.empty()) notes.push_back("not recorded: " + recorded);
    for (const ledger_boot& boot : now.boots) {
      const bool current = std::any_of(in.boots.begin(), in.boots.end(), [&](const boot_record& b) {
        return b.current && b.id == boot.id;
      });
      if (record_shutdown && recorded.empty() && current) {
        std::printf("recorded in %s/%s: the shutdown of boot %s began at %s\n", state_dir,
                    kLedgerFile, boot.id.c_str(), local_text(boot.shutdown, "%F %T %Z").c_str());
        return 0;
      }
    }
  }
  if (lock >= 0) close(lock);
  // Notes that the history and the ledger share (a missing directory) once.
  for (size_t i = notes.size(); i-- > 1;) {
    if (std::find(notes.begin(), notes.begin() + static_cast<long>(i), notes[i]) !=
        notes.begin() + static_cast<long>(i)) {
      notes.erase(notes.begin() + static_cast<long>(i));
    }
  }
  if (record_shutdown) {
    for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
    std::printf("not recorded: the shutdown of this boot\n");
    return 1;
  }

  // The metrics first, so that the status line can say when they were not
  // written: a monitoring system shows that line, not the exit code's name.
  int state = static_cast<int>(result.state);
  std::string status = summary(result, in);
  if (std::string write_error;
      metrics != nullptr && !write_metrics(metrics, &result, in, &write_error)) {
    status = "cannot write " + std::string(metrics) + ": " + write_error + "; the audit found " +
             kStates[state] + ": " + status;
    state = 3;
  }
  std::printf("VELMORAD %s - %s | happened=%d missed=%d\n", kStates[state], status.c_str(),
              result.happened, result.missed);
  std::printf("target %s, from %s as it reads now, changed %s\n",
              target_text(file.target).c_str(), settings_path,
              local_text(file.changed, "%F %T").c_str());
  if (result.pending &&
      (result.state != audit_state::warning || result.crashes > kCrashesTolerated)) {
    std::printf("not yet applied: %s\n", pending_text(result, in).c_str());
  }
  for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
  for (const day_report& day : result.days) {
    std::string line = local_text(day.start, "%F %a  ");
    for (size_t k = 0; k < day.dues.size(); ++k) {
      line += (k > 0 ? "; " : "") + describe(day.dues[k], in);
    }
    std::printf("%s\n", line.c_str());
  }
  if (const std::string problem = zone_problem(); !problem.empty()) {
    std::fprintf(stderr, "warning: the zone cannot be loaded (%s): times are in UTC\n",
                 problem.c_str());
  }
  return state;
}
