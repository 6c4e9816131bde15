#include "audit/host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audit/ledger.h"

namespace velmora {
namespace {

constexpr char kHeader[] = "velmora-audit settings history 2";
constexpr char kHeaderBefore[] = "velmora-audit settings history 1";  // kept no zone
constexpr char kUnit[] = "velmorad.service";
constexpr const char* kUnitDirectories[] = {"/etc/systemd/system", "/run/systemd/system"};
// Far more than kHistoryKept lines need; a larger file is not read.
constexpr size_t kHistoryMax = 64 * 1024;

time_t changed_at(const struct stat& st) {
  return st.st_mtim.tv_sec > st.st_ctim.tv_sec ? st.st_mtim.tv_sec : st.st_ctim.tv_sec;
}

// A zone's name as a line of the history holds it: printable, no space at
// either end, not too long to be a zone's.
bool storable(const std::string& name) {
  if (name.empty() || name.size() > 255 || name.front() == ' ' || name.back() == ' ') {
    return false;
  }
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return c >= ' ' && c != '\x7f'; });
}

// The history file's text: the header, the settings file, then a line a
// record of when it changed, when it was last seen so, and its target; and
// "zone CHANGED SEEN NAME" lines, the same for /etc/localtime (no NAME for
// a file that names none).
bool parse(const std::string& text, const char* settings_path,
           std::vector<settings_record>* out, std::vector<zone_record>* zones,
           std::string* why, bool* replaceable) {
  size_t at = 0, number = 0;
  auto next_line = [&](std::string* line) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    *line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    return true;
  };
  std::string line;
  if (!next_line(&line) || (line != kHeader && line != kHeaderBefore)) {
    *why = "written by another version, or not a history";
    *replaceable = line.rfind("velmora-audit settings history ", 0) != 0;
    return false;
  }
  if (!next_line(&line) || line != std::string("file ") + settings_path) {
    *why = "the history of another settings file (" + line + ")";
    return false;
  }
  *replaceable = true;
  while (next_line(&line)) {
    long long changed = 0, seen = 0;
    int target = 0, used = 0;
    if (line.rfind("zone ", 0) == 0) {
      const zone_record* last = zones->empty() ? nullptr : &zones->back();
      const bool read = std::sscanf(line.c_str(), "zone %lld %lld%n", &changed, &seen, &used) == 2;
      const size_t end = static_cast<size_t>(used);
      const std::string name = read && end < line.size() ? line.substr(end + 1) : "";
      if (!read || (end < line.size() && (line[end] != ' ' || !storable(name))) ||
          changed > seen || (last != nullptr && changed <= last->changed) ||
          zones->size() == kHistoryKept) {
        *why = "line " + std::to_string(number) + " cannot be read";
        return false;
      }
      zones->push_back({static_cast<time_t>(changed), static_cast<time_t>(seen), name});
      continue;
    }
    const settings_record* last = out->empty() ? nullptr : &out->back();
    if (std::sscanf(line.c_str(), "%lld %lld %d%n", &changed, &seen, &target, &used) != 3 ||
        static_cast<size_t>(used) != line.size() || changed > seen ||
        (last != nullptr && changed <= last->changed) || out->size() == kHistoryKept) {
      *why = "line " + std::to_string(number) + " cannot be read";
      return false;
    }
    out->push_back({static_cast<time_t>(changed), static_cast<time_t>(seen), target});
  }
  if (at != text.size()) {
    *why = "its last line is cut short";
    return false;
  }
  return true;
}

}  // namespace

time_t settings_changed(const char* path) {
  std::string at = path;
  struct stat st {};
  while (stat(at.c_str(), &st) != 0) {
    const size_t slash = at.find_last_of('/');
    if (slash == std::string::npos || at == "/") return 0;
    at = slash == 0 ? "/" : at.substr(0, slash);
  }
  return changed_at(st);
}

kept_history load_history(const char* dir, const char* settings_path) {
  kept_history kept;
  std::string text, why;
  if (!read_state_file(dir, kHistoryFile, kHistoryMax, false, &text, &kept.problem,
                       &kept.replaceable)) {
    return kept;
  }
  if (!parse(text, settings_path, &kept.records, &kept.zones, &why, &kept.replaceable)) {
    kept.records.clear();
    kept.zones.clear();
    kept.problem = std::string(dir) + "/" + kHistoryFile + ": " + why;
  }
  return kept;
}

std::string save_history(const char* dir, const char* settings_path,
                         const std::vector<settings_record>& records,
                         const std::vector<zone_record>& zones) {
  std::string text = std::string(kHeader) + "\nfile " + settings_path + "\n";
  for (const settings_record& r : records) {
    char line[80];
    std::snprintf(line, sizeof line, "%lld %lld %" PRId32 "\n", static_cast<long long>(r.changed),
                  static_cast<long long>(r.seen), r.target);
    text += line;
  }
  for (const zone_record& z : zones) {
    char line[64];
    std::snprintf(line, sizeof line, "zone %lld %lld", static_cast<long long>(z.changed),
                  static_cast<long long>(z.seen));
    text += line + (z.name.empty() ? "" : " " + z.name) + "\n";
  }
  return replace_state_file(dir, kHistoryFile, text);
}

zone_record host_zone(time_t now, const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return {settings_changed(path), now, "UTC"};
  zone_record zone{changed_at(st), now, ""};
  if (!S_ISLNK(st.st_mode)) return zone;
  char target[PATH_MAX];
  const ssize_t length = readlink(path, target, sizeof target - 1);
  if (length <= 0) return zone;
  std::string name(target, static_cast<size_t>(length));
  if (const size_t at = name.rfind("zoneinfo/"); at != std::string::npos) {
    name.erase(0, at + 9);
  } else if (name.front() != '/') {
    const std::string link = path;
    name = link.substr(0, link.find_last_of('/') + 1) + name;
  }
  if (!name.empty() && storable(name)) zone.name = name;
  return zone;
}

time_t first_installed(const char* record, const char* machine_id) {
  char text[128] = {}, id[64] = {}, recorded_id[64] = {};
  long long at = 0;
  int used = 0;
  FILE* file = std::fopen(record, "re");
  if (file == nullptr) return 0;
  const size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  if (std::sscanf(text, "%63s %lld%n", recorded_id, &at, &used) != 2 || at <= 0 ||
      static_cast<size_t>(used) + 1 != length || text[used] != '\n') {
    return 0;
  }
  struct stat st {};
  file = std::fopen(machine_id, "re");
  if (file == nullptr) return 0;
  const bool read = std::fscanf(file, "%63s", id) == 1 && fstat(fileno(file), &st) == 0;
  std::fclose(file);
  if (!read) return 0;
  if (std::strcmp(id, recorded_id) == 0) return static_cast<time_t>(at);
  // Installed in an image before this host was made from it: this host
  // began when its machine ID was written, at its first boot. The
  // modification time, not the later status change, so that a host never
  // counts from later than it began.
  return std::max(static_cast<time_t>(at), st.st_mtim.tv_sec);
}

int unit_enabled() {
  struct stat st {};
  if (stat(kUnitDirectories[0], &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
  for (const char* dir : kUnitDirectories) {
    const std::string unit = std::string(dir) + "/" + kUnit;
    char target[16] = {};
    if (readlink(unit.c_str(), target, sizeof target - 1) > 0 &&
        std::strcmp(target, "/dev/null") == 0) {
      return 0;  // masked
    }
  }
  for (const char* dir : kUnitDirectories) {
    DIR* d = opendir(dir);
    if (d == nullptr) continue;
    bool found = false;
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      const auto ends = [&](const std::string& tail) {
        return name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
      };
      if ((ends(".wants") || ends(".requires")) &&
          lstat((std::string(dir) + "/" + name + "/" + kUnit).c_str(), &st) == 0) {
        found = true;
        break;
      }
    }
    closedir(d);
    if (found) return 1;
  }
  return 0;
}

bool daemon_running(const char* cgroups) {
  for (const char* unit : {"/system.slice/velmorad.service/cgroup.procs",
                           "/systemd/system.slice/velmorad.service/cgroup.procs"}) {
    char pid[16];
    FILE* procs = std::fopen((std::string(cgroups) + unit).c_str(), "re");
    if (procs == nullptr) continue;
    const bool any = std::fgets(pid, sizeof pid, procs) != nullptr;
    std::fclose(procs);
    if (any) return true;
  }
  return false;
}

}  // namespace velmora
