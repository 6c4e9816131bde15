#include "audit/journal.h"

#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>
#include <systemd/sd-messages.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace velmora {
namespace {

constexpr char kStartUpLine[] = "Modul Velmora start";

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

time_t seconds(uint64_t usec) { return static_cast<time_t>(usec / 1000000); }

void match_only(sd_journal* j, std::initializer_list<std::string> matches) {
  sd_journal_flush_matches(j);
  for (const std::string& m : matches) sd_journal_add_match(j, m.c_str(), 0);
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
  in->journal_start = seconds(realtime_usec(j));

  // Every boot, by its first and last entry; the current one lasts until now.
  sd_id128_t current{};
  char current_id[SD_ID128_STRING_MAX] = "";
  if (sd_id128_get_boot(&current) >= 0) sd_id128_to_string(current, current_id);
  std::vector<std::string> ids;
  if (sd_journal_query_unique(j, "_BOOT_ID") >= 0) {
    const void* data = nullptr;
    size_t length = 0;
    const size_t skip = std::strlen("_BOOT_ID=");
    SD_JOURNAL_FOREACH_UNIQUE(j, data, length) {
      if (length > skip) ids.emplace_back(static_cast<const char*>(data) + skip, length - skip);
    }
  }
  std::vector<std::pair<boot_record, std::string>> boots;
  for (const std::string& id : ids) {
    match_only(j, {"_BOOT_ID=" + id});
    if (sd_journal_seek_head(j) < 0 || sd_journal_next(j) <= 0) continue;
    boot_record boot{seconds(realtime_usec(j)), 0, id == current_id};
    if (sd_journal_seek_tail(j) < 0 || sd_journal_previous(j) <= 0) continue;
    boot.last = boot.current ? now : seconds(realtime_usec(j));
    boots.emplace_back(boot, id);
  }
  std::sort(boots.begin(), boots.end(),
            [](const auto& a, const auto& b) { return a.first.first < b.first.first; });
  std::map<std::string, size_t> boot_of;
  for (const auto& [boot, id] : boots) {
    boot_of[id] = in->boots.size();
    in->boots.push_back(boot);
  }

  // The daemon's start-up lines, and the units that ran it; then the service
  // manager's word that such a unit's main process ended. Sorted to the
  // microsecond, so that a restart's stop comes before its new start.
  std::vector<std::pair<uint64_t, daemon_event>> events;
  std::vector<std::string> units;
  match_only(j, {"SYSLOG_IDENTIFIER=velmorad"});
  SD_JOURNAL_FOREACH(j) {
    if (field(j, "MESSAGE") != kStartUpLine) continue;
    const auto boot = boot_of.find(field(j, "_BOOT_ID"));
    if (boot == boot_of.end()) continue;
    events.push_back({realtime_usec(j), {seconds(realtime_usec(j)), boot->second, true}});
    const std::string unit = field(j, "_SYSTEMD_UNIT");
    if (!unit.empty() && std::find(units.begin(), units.end(), unit) == units.end()) {
      units.push_back(unit);
    }
  }
  for (const std::string& unit : units) {
    match_only(j, {"_PID=1", "UNIT=" + unit,
                   std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_STOPPED_STR,
                   std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_SUCCESS_STR,
                   std::string("MESSAGE_ID=") + SD_MESSAGE_UNIT_PROCESS_EXIT_STR});
    SD_JOURNAL_FOREACH(j) {
      const auto boot = boot_of.find(field(j, "_BOOT_ID"));
      if (boot == boot_of.end()) continue;
      events.push_back({realtime_usec(j), {seconds(realtime_usec(j)), boot->second, false}});
    }
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [usec, event] : events) in->events.push_back(event);
  return true;
}

}  // namespace velmora
