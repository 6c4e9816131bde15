// velmora-next [--settings PATH] [--from 'YYYY-MM-DD HH:MM[:SS]'] [--count N]
// velmora-next --check [--settings PATH]
// velmora-next --spread HH:MM-HH:MM [--place K/N] [--from 'YYYY-MM-DD HH:MM[:SS]']
// velmora-next --help | --version
//
// Prints what velmorad reads from a settings file and when it will run the
// reboot command: one item a line on standard output, warnings on standard
// error. With --check it prints only a verdict and exits 1 when the daemon
// will not do what the file says, for the tools that validate a file before
// they install it. With --spread it prints the settings that restart this
// host at its own minute within a window, or at host K's of a fleet of N,
// for configuration tools that spread a fleet. Runs nothing and writes
// nothing.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/paths.h"
#include "daemon/scheduler.h"
#include "forecast/forecast.h"
#include "next/next.h"
#include "next/spread.h"
#include "settings/settings.h"

namespace {

using namespace velmora;

constexpr int kMaxCount = 1000;

constexpr char kUsage[] =
    "usage: velmora-next [--settings PATH] [--from 'YYYY-MM-DD HH:MM[:SS]'] [--count N]\n"
    "       velmora-next --check [--settings PATH]\n"
    "       velmora-next --spread HH:MM-HH:MM [--place K/N] [--from TIME]\n";

int usage(const std::string& why) {
  std::fprintf(stderr, "velmora-next: %s\n%s", why.c_str(), kUsage);
  return 2;
}

int help() {
  std::printf("%s\n"
              "Shows what velmorad reads from a settings file and when it will run the\n"
              "reboot command. Runs nothing and writes nothing.\n\n"
              "  -c, --check           only a verdict: exit 0 when the daemon will do what\n"
              "                        the file says, 1 when it will not; it predicts\n"
              "                        nothing, so takes no --from or --count\n"
              "  -s, --settings PATH   the settings file (default %s)\n"
              "  -f, --from TIME       local time the daemon is taken to start (default now)\n"
              "  -n, --count N         how many runs to list, 1 to %d (default 5)\n"
              "      --spread WINDOW   the settings for this host's own minute within\n"
              "                        WINDOW (HH:MM-HH:MM), from its machine ID\n"
              "      --place K/N       with --spread: host K's minute of a fleet of N,\n"
              "                        which lies evenly over the window\n"
              "  -h, --help            this text\n"
              "  -V, --version         the version\n\n"
              "The zone is TZ where set, else the host's. See velmora-next(8).\n",
              kUsage, kSettingsPath, kMaxCount);
  return 0;
}

// With --check, standard output carries only the verdict.
bool checking = false;

[[gnu::format(printf, 1, 2)]] void say(const char* format, ...) {
  if (checking) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void warn(const std::string& text) { std::fprintf(stderr, "warning: %s\n", text.c_str()); }

// The settings lines for this host's minute within `text`, or for host K
// of N where `place` is given, judged over the year from `from`.
int spread(const char* text, const char* place_text, time_t from) {
  const window w = parse_window(text);
  if (!w.problem.empty()) {
    return usage("--spread takes a window HH:MM-HH:MM (" + w.problem + "): " + text);
  }
  uint32_t place = 0, hosts = 0;
  if (place_text != nullptr && !parse_place(place_text, &place, &hosts)) {
    return usage(std::string("--place takes K/N, host K of a fleet of N, K from 1 to N and N "
                             "at most ") + std::to_string(kMaxHosts) + ": " + place_text);
  }
  if (!w.warning.empty()) warn(w.warning);
  for (const finding& f : judge_zone(read_zone(), zone_use::spread).findings) warn(f.text);
  spread_pick pick;
  if (place_text != nullptr) {
    pick = place_minute(place, hosts, w.start, w.length, from);
  } else {
    char id[40] = {};
    FILE* file = std::fopen(kMachineIdPath, "re");
    const bool read = file != nullptr && std::fscanf(file, "%39s", id) == 1;
    if (file != nullptr) std::fclose(file);
    if (!read || std::strlen(id) != 32 || std::strspn(id, "0123456789abcdef") != 32) {
      std::fprintf(stderr, "velmora-next: %s holds no machine ID, which the minute comes from\n",
                   kMachineIdPath);
      return 1;
    }
    pick = spread_minute(id, w.start, w.length, from);
  }
  if (pick.target < 0) {
    std::fprintf(stderr, "velmora-next: no minute in %s restarts the host once every night, nor "
                 "at its minute every night, in this zone; velmorad(8) says which times do\n",
                 text);
    return 1;
  }
  if (!pick.warning.empty()) warn(pick.warning);
  std::printf("MOD_VELMORA_ENABLED=1\nMOD_VELMORA_HOUR=%d\nMOD_VELMORA_MINUTE=%d\n",
              static_cast<int>(pick.target / 60), static_cast<int>(pick.target % 60));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = kSettingsPath;
  time_t from = time(nullptr);
  bool twice = false, predicting = false, counting = false, settings_given = false;
  int count = 5;
  const char* window = nullptr;
  const char* place = nullptr;
  static const option options[] = {
      {"check", no_argument, nullptr, 'c'},       {"settings", required_argument, nullptr, 's'},
      {"from", required_argument, nullptr, 'f'},  {"count", required_argument, nullptr, 'n'},
      {"help", no_argument, nullptr, 'h'},        {"version", no_argument, nullptr, 'V'},
      {"spread", required_argument, nullptr, 'w'}, {"place", required_argument, nullptr, 'p'},
      {nullptr, 0, nullptr, 0}};
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":cs:f:n:hV", options, nullptr)) != -1;) {
    switch (c) {
      case 'c': checking = true; break;
      case 's':
        path = optarg;
        settings_given = true;
        break;
      case 'f':
        predicting = true;
        if (!from_form(optarg)) {
          return usage(std::string("--from takes 'YYYY-MM-DD HH:MM' or 'YYYY-MM-DD HH:MM:SS', "
                                   "every field with all its digits: ") + optarg);
        }
        if (!parse_local_time(optarg, &from, &twice)) {
          return usage(std::string("--from: no such local time (a date that does not exist, or a "
                                   "time the clock skips): ") + optarg);
        }
        break;
      case 'n':
        predicting = counting = true;
        if (!parse_count(optarg, 1, kMaxCount, &count)) {
          return usage(std::string("--count takes a number from 1 to 1000: ") + optarg);
        }
        break;
      case 'w': window = optarg; break;
      case 'p': place = optarg; break;
      case 'h': return help();
      case 'V': std::printf("velmora-next %s\n", VELMORA_VERSION); return 0;
      case ':': return usage(std::string(argv[optind - 1]) + " needs a value");
      default: return usage(std::string("unknown option: ") + argv[optind - 1]);
    }
  }
  if (optind < argc) return usage(std::string("unexpected argument: ") + argv[optind]);
  // --spread prints settings: it judges no file and predicts no runs.
  if (window != nullptr && checking) return usage("--spread takes no --check: it judges no file");
  if (window != nullptr && settings_given) {
    return usage("--spread takes no --settings: it prints settings, and reads none");
  }
  if (window != nullptr && counting) return usage("--spread takes no --count: it predicts no runs");
  if (place != nullptr && window == nullptr) {
    return usage("--place takes effect only with --spread: it places the host within its window");
  }
  if (window != nullptr) return spread(window, place, from);
  if (checking && predicting) return usage("--check predicts no runs: it takes no --from or --count");

  // The daemon's own reading of the file, as far as the permission bits let
  // the daemon in: what this caller can read does not matter.
  const file_judgement judged = judge_file(read_file(path));
  const zone_judgement zone =
      judge_zone(read_zone(), checking ? zone_use::check : zone_use::predict);
  for (const std::string& line : judged.lines) say("%s\n", line.c_str());
  for (const finding& f : judged.findings) warn(f.text);
  for (const finding& f : zone.findings) warn(f.text);
  const int problems = velmora::problems(judged.findings) + velmora::problems(zone.findings);
  if (checking && (problems > 0 || !judged.known)) {
    std::printf("bad: %d problem%s\n", problems, problems == 1 ? "" : "s");
    return 1;
  }
  if (!judged.known) return 0;
  const int32_t target = judged.target;
  // The nights of the coming year on which the target restarts twice, late
  // or never; in the daemon's zone when checking, as the zone's check says.
  if (checking) {
    unsetenv("TZ");
    tzset();
  }
  if (const std::string odd = nights_warning(target, odd_nights(target, from, 366));
      !odd.empty()) {
    warn(odd);
  }
  if (checking) {
    std::printf("ok: restart daily at %02d:%02d\n", target / 60, target % 60);
    return 0;
  }

  // A zone that glibc cannot load leaves it at offset 0 with the zone's
  // first letters for an abbreviation ("Europe"), and an empty TZ with
  // "UTC" or "Universal" by release: call those times UTC.
  const char* stamp = zone.utc ? "%Y-%m-%d %H:%M:%S UTC" : "%Y-%m-%d %H:%M:%S %Z";
  say("%s\n", zone.line.c_str());
  if (twice) {
    warn("the clock shows --from twice that night, as summer time ends: taken as the first, " +
         local_text(from, stamp));
  }
  say("from %s\n", local_text(from, stamp).c_str());

  const std::vector<time_t> runs = predict_runs(target, from, count);
  if (runs.empty()) say("next never\n");
  for (time_t run : runs) say("next %s\n", local_text(run, stamp).c_str());
  return 0;
}
