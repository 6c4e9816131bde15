// velmora-audit [--days N] [--settings PATH] [--prometheus FILE]
// velmora-audit --help | --version
//
// Tells, from the system journal, whether the restarts that velmorad was due
// to make happened. The first line is a monitoring plugin's status line, the
// exit code its state (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN); one line a
// day follows. Optionally writes the same as metrics for Prometheus's
// textfile collector.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "audit/audit.h"
#include "audit/journal.h"
#include "common/paths.h"
#include "daemon/scheduler.h"
#include "next/next.h"
#include "settings/settings.h"

namespace {

using namespace velmora;

constexpr int kMaxDays = 366;
constexpr const char* kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
constexpr char kUsage[] =
    "usage: velmora-audit [--days N] [--settings PATH] [--prometheus FILE]\n";

int unknown(const std::string& why) {
  std::printf("VELMORAD UNKNOWN - %s\n", why.c_str());
  std::fprintf(stderr, "%s", kUsage);
  return 3;
}

int help() {
  std::printf("%s\n"
              "Tells from the system journal whether the restarts that velmorad was due to\n"
              "make happened: a status line first, then one line a day. The exit code is\n"
              "a monitoring plugin's: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.\n\n"
              "  --days N           today and the days before it, 1 to %d (default 7)\n"
              "  --settings PATH    the daemon's settings file (default %s)\n"
              "  --prometheus FILE  also write metrics for the textfile collector\n"
              "  --help             this text\n"
              "  --version          the version\n\n"
              "See velmora-audit(8).\n",
              kUsage, kMaxDays, kSettingsPath);
  return 0;
}

std::string describe(const due_time& due, const audit_input& in) {
  const std::string at = local_text(due.at, "%T %Z"), minute = local_text(due.at, "%H:%M %Z");
  switch (due.what) {
    case verdict::happened:
      return "happened: due " + at + ", the host went down at " + local_text(due.boot_end, "%T");
    case verdict::missed:
      return "MISSED: due " + at + ", velmorad running since " + local_text(due.since, "%F %T") +
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
    case verdict::never:
      return "never due: the target, minute " + std::to_string(in.target) +
             " of the day, is never reached";
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
  const std::string days = in.days == 1 ? "today" : "in the last " + counted(in.days, "day");
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
    case audit_state::unknown:
      return "the journal cannot tell whether every restart due " + days +
             " happened: it begins at " + local_text(in.journal_start, "%F %T %Z");
    case audit_state::warning:
      return "velmorad is not running now";
    case audit_state::ok:
      break;
  }
  if (r.happened == 0) return "no restart was due " + days;
  return counted(r.happened, "restart") + " due " + days + (r.happened == 1 ? ", it" : ", all") +
         " happened, the last at " + local_text(r.last_restart, "%F %T %Z");
}

// Written beside FILE and renamed over it, so that the collector never reads
// half a file.
bool write_metrics(const std::string& file, const audit_result& r, const audit_input& in) {
  const std::string part = file + ".part" + std::to_string(getpid());
  FILE* out = std::fopen(part.c_str(), "w");
  if (out == nullptr) return false;
  std::fprintf(out,
               "# HELP velmorad_audit_state The audit's state: 0 OK, 1 WARNING, 2 CRITICAL, "
               "3 UNKNOWN.\n# TYPE velmorad_audit_state gauge\nvelmorad_audit_state %d\n"
               "# HELP velmorad_last_restart_timestamp_seconds When the host last went down "
               "for a restart that was due, within the window; 0 for none.\n"
               "# TYPE velmorad_last_restart_timestamp_seconds gauge\n"
               "velmorad_last_restart_timestamp_seconds %lld\n"
               "# HELP velmorad_restarts_missed Restarts due within the window that did not "
               "happen.\n# TYPE velmorad_restarts_missed gauge\nvelmorad_restarts_missed %d\n"
               "# HELP velmorad_restarts_happened Restarts due within the window that "
               "happened.\n# TYPE velmorad_restarts_happened gauge\n"
               "velmorad_restarts_happened %d\n"
               "# HELP velmorad_audit_window_days The days the audit looks back over, "
               "today included.\n# TYPE velmorad_audit_window_days gauge\n"
               "velmorad_audit_window_days %d\n",
               static_cast<int>(r.state), static_cast<long long>(r.last_restart), r.missed,
               r.happened, in.days);
  const bool ok = std::fclose(out) == 0 && std::rename(part.c_str(), file.c_str()) == 0;
  if (!ok) std::remove(part.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const char* settings_path = kSettingsPath;
  const char* metrics = nullptr;
  audit_input in{};
  in.days = 7;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help") return help();
    if (option == "--version") {
      std::printf("velmora-audit %s\n", VELMORA_VERSION);
      return 0;
    }
    if (option != "--days" && option != "--settings" && option != "--prometheus") {
      return unknown("unknown option: " + option);
    }
    if (i + 1 >= argc) return unknown(option + " needs a value");
    const char* value = argv[++i];
    if (option == "--settings") {
      settings_path = value;
    } else if (option == "--prometheus") {
      metrics = value;
    } else if (!parse_count(value, 1, kMaxDays, &in.days)) {
      return unknown("--days takes a number from 1 to 366: " + std::string(value));
    }
  }

  module_settings settings{};
  load_module_settings(&settings, settings_path);
  in.target = target_minute(settings.hour, settings.minute);
  in.now = time(nullptr);
  std::string why;
  if (!read_journal(in.now, &in, &why)) return unknown(why);
  const audit_result result = audit(in);

  const int state = static_cast<int>(result.state);
  std::printf("VELMORAD %s - %s | happened=%d missed=%d\n", kStates[state],
              summary(result, in).c_str(), result.happened, result.missed);
  if (in.target >= 0 && in.target < 1440) {
    std::printf("target %02d:%02d, from %s as it reads now\n", in.target / 60, in.target % 60,
                settings_path);
  } else {
    std::printf("target minute %d of the day, from %s as it reads now\n", in.target,
                settings_path);
  }
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
  if (metrics != nullptr && !write_metrics(metrics, result, in)) {
    std::fprintf(stderr, "velmora-audit: cannot write %s: %s\n", metrics, std::strerror(errno));
    return 3;
  }
  return state;
}
