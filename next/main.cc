// velmora-next [--settings PATH] [--from 'YYYY-MM-DD HH:MM[:SS]'] [--count N]
// velmora-next --help | --version
//
// Prints what velmorad reads from a settings file and when it will run the
// reboot command: one item a line on standard output, warnings on standard
// error. Runs nothing and writes nothing.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/paths.h"
#include "daemon/scheduler.h"
#include "next/next.h"
#include "settings/settings.h"

namespace {

using namespace velmora;

constexpr int kMaxCount = 1000;

constexpr char kUsage[] =
    "usage: velmora-next [--settings PATH] [--from 'YYYY-MM-DD HH:MM[:SS]'] [--count N]\n";

int usage(const char* why) {
  std::fprintf(stderr, "velmora-next: %s\n%s", why, kUsage);
  return 2;
}

int help() {
  std::printf("%s\n"
              "Shows what velmorad reads from a settings file and when it will run the\n"
              "reboot command. Runs nothing and writes nothing.\n\n"
              "  --settings PATH   the settings file (default %s)\n"
              "  --from TIME       local time the daemon is taken to start (default now)\n"
              "  --count N         how many runs to list, 1 to %d (default 5)\n"
              "  --help            this text\n"
              "  --version         the version\n\n"
              "The zone is TZ where set, else the host's. See velmora-next(8).\n",
              kUsage, kSettingsPath, kMaxCount);
  return 0;
}

void warn(const std::string& text) { std::fprintf(stderr, "warning: %s\n", text.c_str()); }

// The zone the daemon would use: TZ where set, else the host's.
std::string zone_name() {
  if (const char* tz = std::getenv("TZ")) return *tz == ':' ? tz + 1 : tz;
  char link[PATH_MAX] = {};
  if (readlink("/etc/localtime", link, sizeof link - 1) > 0) {
    const char* name = std::strstr(link, "zoneinfo/");
    return name != nullptr ? name + 9 : link;
  }
  return "/etc/localtime";
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = kSettingsPath;
  time_t from = time(nullptr);
  int count = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help") return help();
    if (option == "--version") {
      std::printf("velmora-next %s\n", VELMORA_VERSION);
      return 0;
    }
    if (option != "--settings" && option != "--from" && option != "--count") {
      return usage(("unknown option: " + option).c_str());
    }
    if (i + 1 >= argc) return usage((option + " needs a value").c_str());
    const char* value = argv[++i];
    if (option == "--settings") {
      path = value;
    } else if (option == "--from") {
      if (!parse_local_time(value, &from)) {
        return usage(("--from: not a local time 'YYYY-MM-DD HH:MM[:SS]': " + std::string(value)).c_str());
      }
    } else if (!parse_count(value, 1, kMaxCount, &count)) {
      return usage(("--count takes a number from 1 to 1000: " + std::string(value)).c_str());
    }
  }

  // The daemon's own reading of the file.
  module_settings settings{};
  load_module_settings(&settings, path);
  const uint32_t values[] = {settings.enabled, settings.hour, settings.minute};

  FILE* stream = settings_open(path, "r");
  if (stream == nullptr) {
    const int error = errno;
    std::printf("settings %s: cannot be read (%s)\n", path, unreadable_reason(path, error).c_str());
    warn(std::string(path) + " cannot be read: every value is 0, so the host restarts "
         "just after each midnight");
  } else {
    std::printf("settings %s: read\n", path);
  }
  const settings_scan scan = stream != nullptr ? scan_settings(stream) : settings_scan{};
  settings_close(stream);
  if (scan.read_error != 0) {
    warn(std::string("reading ") + path + " failed at line " + std::to_string(scan.error_line) +
         " (" + std::strerror(scan.read_error) + "): the daemon takes what stands before it");
  }
  for (size_t k = 0; k < std::size(kSettingKeys); ++k) {
    const key_lines& key = scan.keys[k];
    if (key.line > 0) {
      std::printf("%s=%u (line %ld)\n", kSettingKeys[k], values[k], key.line);
    } else {
      std::printf("%s=%u (no line for it)\n", kSettingKeys[k], values[k]);
      if (stream != nullptr) warn(std::string("no line for ") + kSettingKeys[k] + ": it reads as 0");
    }
    for (const std::string& w : key.warnings) warn(w);
    if (key.more > 0) {
      warn("and " + std::to_string(key.more) + " more like these for " + kSettingKeys[k]);
    }
  }
  if (settings.enabled == 0 && scan.keys[0].line > 0) {
    std::printf("note: MOD_VELMORA_ENABLED is not consulted: the schedule follows hour and minute alone\n");
  }

  const int32_t target = target_minute(settings.hour, settings.minute);
  if (target >= 0 && target < 1440) {
    std::printf("target %02d:%02d\n", target / 60, target % 60);
    if (target == 0) warn("the target is 00:00: the host restarts just after each midnight");
  } else if (target >= 1440) {
    std::printf("target minute %d of the day: the clock never reaches it\n", target);
    warn("the target lies beyond 23:59, which the clock never reaches: no restart ever");
  } else {
    std::printf("target minute %d of the day: below 00:00, so just after each midnight\n", target);
    warn("the target lies below 00:00: the host restarts just after each midnight");
  }
  std::printf("zone %s\n", zone_name().c_str());
  if (const std::string problem = zone_problem(); !problem.empty()) {
    warn("zone " + zone_name() + " cannot be loaded (" + problem +
         "): glibc falls back to UTC, for the daemon as for the times below");
  }
  std::printf("from %s\n", local_text(from, "%Y-%m-%d %H:%M:%S %Z").c_str());

  const std::vector<time_t> runs = predict_runs(target, from, count);
  if (runs.empty()) std::printf("next never\n");
  for (time_t run : runs) std::printf("next %s\n", local_text(run, "%Y-%m-%d %H:%M:%S %Z").c_str());
  return 0;
}
