#include "audit/ledger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace velmora {
namespace {

constexpr char kHeader[] = "velmora-audit ledger ";

// The verdicts of a day judged in full, as the file names them.
constexpr struct {
  verdict what;
  const char* name;
} kFinal[] = {
    {verdict::happened, "happened"},         {verdict::missed, "missed"},
    {verdict::host_down, "host-down"},       {verdict::not_running, "not-running"},
    {verdict::not_armed, "not-armed"},       {verdict::never, "never"},
    {verdict::not_installed, "not-installed"},
};

const char* final_name(verdict what) {
  for (const auto& f : kFinal) {
    if (f.what == what) return f.name;
  }
  return nullptr;
}

bool judged_in_full(const day_report& day) {
  return !day.dues.empty() && std::all_of(day.dues.begin(), day.dues.end(), [](const due_time& d) {
    return final_name(d.what) != nullptr;
  });
}

bool boot_id(const std::string& id) {
  return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// A zone's name as a line holds it: printable, no space at either end.
bool zone_name(const std::string& name) {
  return !name.empty() && name.size() <= 255 && name.front() != ' ' && name.back() != ' ' &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= ' ' && c != '\x7f'; });
}

// Whether a kept boot's span overlaps `b`'s. Touching is no overlap: a
// container restarts within a second, so one boot's last second may be the
// next one's first.
bool spans_meet(time_t first, time_t last, const boot_record& b) {
  return first < b.last && b.first < last;
}

// Inserts `r`, a record of the second `r.changed`, before the first record
// that changed later; the last record, the file as it reads now, stays last.
template <class R>
void insert_record(std::vector<R>* history, const R& r) {
  const auto at = std::upper_bound(history->begin(), history->end() - 1, r,
                                   [](const R& a, const R& b) { return a.changed < b.changed; });
  history->insert(at, r);
}

daemon_event as_event(const ledger_event& e, size_t boot) {
  return {e.at, boot, e.start, e.exited, e.crashed, e.status};
}

std::string boot_text(const ledger_boot& b) {
  char line[160];
  std::snprintf(line, sizeof line, "boot %s %lld %lld %d %d %lld\n", b.id.c_str(),
                static_cast<long long>(b.first), static_cast<long long>(b.last),
                b.head_known ? 1 : 0, b.ended ? 1 : 0, static_cast<long long>(b.shutdown));
  std::string text = line;
  for (const ledger_event& e : b.events) {
    if (!e.start) {
      std::snprintf(line, sizeof line, "stop %lld", static_cast<long long>(e.at));
      text += line;
      if (e.exited) {
        text += (e.crashed ? " crashed " : " exited ") + std::to_string(e.status);
      }
      text += "\n";
      continue;
    }
    std::snprintf(line, sizeof line, "start %lld ", static_cast<long long>(e.at));
    text += line + (e.target_known ? std::to_string(e.target) : "-") +
            (e.zone.empty() ? "" : " " + e.zone) + "\n";
  }
  return text;
}

}  // namespace

bool shutdown_recorded(const ledger_boot& boot) {
  return boot.shutdown != 0 && (boot.ended || boot.last <= boot.shutdown + kShutdownBound);
}

void merge_ledger(const ledger& kept, audit_input* in) {
  std::map<std::string, size_t> of;
  for (size_t b = 0; b < in->boots.size(); ++b) {
    if (!in->boots[b].id.empty()) of[in->boots[b].id] = b;
  }
  std::vector<boot_record> boots = in->boots;
  std::vector<std::vector<daemon_event>> events(boots.size());
  for (const daemon_event& e : in->events) events[e.boot].push_back(e);
  std::vector<const ledger_event*> starts;  // whose target and zone may be wanted
  for (const ledger_boot& k : kept.boots) {
    const auto found = of.find(k.id);
    const bool recorded = shutdown_recorded(k);
    std::vector<daemon_event> lost;
    if (found != of.end()) {
      boot_record& b = boots[found->second];
      if (!b.head_known && k.first < b.first) {
        for (const ledger_event& e : k.events) {
          if (e.at < b.first) lost.push_back(as_event(e, found->second));
        }
        b.first = k.first;
        b.head_known = k.head_known;
        auto& all = events[found->second];
        all.insert(all.begin(), lost.begin(), lost.end());
      }
      if (!b.current && b.shutdown_began == 0 && recorded) b.shutdown_began = k.shutdown;
    } else {
      const bool meets = std::any_of(in->boots.begin(), in->boots.end(), [&](const boot_record& b) {
        return spans_meet(k.first, k.last, b);
      });
      if (meets) continue;
      boot_record b{k.first, k.last, false, k.head_known, recorded ? k.shutdown : 0};
      b.id = k.id;
      b.end_seen = k.ended || recorded;
      boots.push_back(b);
      events.emplace_back();
      for (const ledger_event& e : k.events) events.back().push_back(as_event(e, boots.size() - 1));
    }
    for (const ledger_event& e : k.events) {
      if (e.start) starts.push_back(&e);
    }
  }
  std::vector<size_t> order(boots.size());
  for (size_t b = 0; b < order.size(); ++b) order[b] = b;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return boots[a].first < boots[b].first; });
  in->boots.clear();
  in->events.clear();
  for (size_t b : order) {
    for (daemon_event e : events[b]) {
      e.boot = in->boots.size();
      in->events.push_back(e);
    }
    in->boots.push_back(boots[b]);
  }
  std::stable_sort(in->events.begin(), in->events.end(),
                   [](const daemon_event& a, const daemon_event& b) { return a.at < b.at; });
  if (!in->boots.empty()) in->journal_start = std::min(in->journal_start, in->boots.front().first);
  // What each daemon read, where the history no longer tells it.
  for (const ledger_event* e : starts) {
    if (e->target_known && !in->settings.empty() && target_in_force(in->settings, e->at) == nullptr) {
      insert_record(&in->settings, settings_record{e->at, e->at, e->target});
    }
    if (!e->zone.empty() && !in->zones.empty() && zone_in_force(in->zones, e->at) == nullptr) {
      insert_record(&in->zones, zone_record{e->at, e->at, e->zone});
    }
  }
  in->judged = kept.days;
}

ledger record_run(const ledger& kept, const audit_input& in, const audit_result& result,
                  bool shutting_down) {
  ledger out;
  out.window = std::max(kept.window, in.days);
  const time_t cutoff = in.now - static_cast<time_t>(out.window + kLedgerMarginDays) * 86400;
  std::map<std::string, const ledger_boot*> before;
  for (const ledger_boot& k : kept.boots) before[k.id] = &k;
  std::vector<std::vector<const daemon_event*>> events(in.boots.size());
  for (const daemon_event& e : in.events) events[e.boot].push_back(&e);
  for (size_t i = 0; i < in.boots.size(); ++i) {
    const boot_record& b = in.boots[i];
    if (b.id.empty() || (!b.current && b.last < cutoff)) continue;
    ledger_boot seen{b.id, b.first, b.current ? in.now : b.last, b.head_known,
                     !b.current && b.end_seen, b.shutdown_began, {}};
    if (b.current && seen.shutdown == 0) {
      const auto k = before.find(b.id);
      seen.shutdown = shutting_down ? in.now : k != before.end() ? k->second->shutdown : 0;
    }
    // The events in the bound, and the start-up that runs on into it.
    const auto& all = events[i];
    size_t from = 0;
    while (from < all.size() && all[from]->at < cutoff) ++from;
    if (from > 0 && all[from - 1]->start) --from;
    from = std::max(from, all.size() > kLedgerEvents ? all.size() - kLedgerEvents : size_t{0});
    for (size_t k = from; k < all.size(); ++k) {
      const daemon_event& e = *all[k];
      ledger_event le{e.at, e.start};
      le.exited = e.exited;
      le.crashed = e.crashed;
      le.status = e.status;
      if (e.start) {
        if (const settings_record* r = target_in_force(in.settings, e.at); r != nullptr) {
          le.target_known = true;
          le.target = r->target;
        }
        if (const zone_record* z = zone_in_force(in.zones, e.at); z != nullptr) le.zone = z->name;
      }
      seen.events.push_back(le);
    }
    out.boots.push_back(seen);
  }
  if (out.boots.size() > kLedgerBoots) {
    out.boots.erase(out.boots.begin(), out.boots.end() - kLedgerBoots);
  }
  std::map<time_t, day_report> days;
  for (const day_report& d : kept.days) days[d.start] = d;
  for (const day_report& d : result.days) {
    if (judged_in_full(d)) days[d.start] = d;
  }
  for (const auto& [start, day] : days) {
    if (start >= cutoff) out.days.push_back(day);
  }
  return out;
}

std::string ledger_text(const ledger& l, const char* settings_path) {
  const std::string head = std::string(kHeader) + std::to_string(kLedgerVersion) + "\nfile " +
                           settings_path + "\nwindow " + std::to_string(l.window) + "\n";
  std::string days;
  char line[160];
  for (const day_report& d : l.days) {
    for (const due_time& due : d.dues) {
      std::snprintf(line, sizeof line, "due %lld %s %lld %lld %lld %lld\n",
                    static_cast<long long>(d.start), final_name(due.what),
                    static_cast<long long>(due.at), static_cast<long long>(due.boot_end),
                    static_cast<long long>(due.since),
                    static_cast<long long>(due.shutdown_began));
      days += line;
    }
  }
  // The newest boots that fit: a file larger than the reader takes would
  // keep every later run from the ledger, and a shutdown from its record.
  std::vector<std::string> boots;
  size_t size = head.size() + days.size();
  for (auto b = l.boots.rbegin(); b != l.boots.rend(); ++b) {
    std::string text = boot_text(*b);
    if (size + text.size() > kLedgerMax) break;
    size += text.size();
    boots.push_back(std::move(text));
  }
  std::string text = head;
  text.reserve(size);
  for (auto b = boots.rbegin(); b != boots.rend(); ++b) text += *b;
  return text + days;
}

bool parse_ledger(const std::string& text, const char* settings_path, ledger* out,
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
  int version = 0, used = 0;
  *replaceable = true;
  if (!next_line(&line) || line.rfind(kHeader, 0) != 0 ||
      std::sscanf(line.c_str() + std::strlen(kHeader), "%d%n", &version, &used) != 1 ||
      std::strlen(kHeader) + static_cast<size_t>(used) != line.size() || version < 1) {
    *why = "not a ledger";
    return false;
  }
  if (version > kLedgerVersion) {
    *why = "written by a later version";
    *replaceable = false;
    return false;
  }
  if (!next_line(&line) || line != std::string("file ") + settings_path) {
    *why = "the ledger of another settings file (" + line + ")";
    *replaceable = false;
    return false;
  }
  const auto bad = [&] {
    *why = "line " + std::to_string(number) + " cannot be read";
    return false;
  };
  if (!next_line(&line) || std::sscanf(line.c_str(), "window %d%n", &out->window, &used) != 1 ||
      static_cast<size_t>(used) != line.size() || out->window < 1 || out->window > 366) {
    return bad();
  }
  while (next_line(&line)) {
    long long a = 0, b = 0, c = 0, d = 0, e = 0;
    int head = 0, ended = 0;
    char word[40] = "";
    used = 0;
    if (line.rfind("boot ", 0) == 0) {
      if (std::sscanf(line.c_str(), "boot %32s %lld %lld %d %d %lld%n", word, &a, &b, &head, &ended,
                      &c, &used) != 6 ||
          static_cast<size_t>(used) != line.size() || !boot_id(word) || a > b || c < 0 ||
          (head != 0 && head != 1) || (ended != 0 && ended != 1) ||
          (!out->boots.empty() && a < out->boots.back().first) ||
          out->boots.size() == kLedgerBoots) {
        return bad();
      }
      out->boots.push_back({word, static_cast<time_t>(a), static_cast<time_t>(b), head == 1,
                            ended == 1, static_cast<time_t>(c), {}});
      continue;
    }
    if (line.rfind("start ", 0) == 0 || line.rfind("stop ", 0) == 0) {
      const bool start = line[2] == 'a';
      ledger_event event{0, start};
      if (start) {
        if (std::sscanf(line.c_str(), "start %lld %39s%n", &a, word, &used) != 2) return bad();
        const std::string target = word;
        if (target != "-") {
          int minute = 0, digits = 0;
          if (std::sscanf(word, "%d%n", &minute, &digits) != 1 ||
              static_cast<size_t>(digits) != target.size()) {
            return bad();
          }
          event.target_known = true;
          event.target = minute;
        }
        const size_t end = static_cast<size_t>(used);
        if (end < line.size()) {
          event.zone = line.substr(end + 1);
          if (line[end] != ' ' || !zone_name(event.zone)) return bad();
        }
      } else if (std::sscanf(line.c_str(), "stop %lld%n", &a, &used) != 1) {
        return bad();
      } else if (static_cast<size_t>(used) != line.size()) {
        int status = 0, end = 0;
        char how[8] = {};
        if (std::sscanf(line.c_str() + used, " %7s %d%n", how, &status, &end) != 2 ||
            static_cast<size_t>(used + end) != line.size() ||
            (std::strcmp(how, "exited") != 0 && std::strcmp(how, "crashed") != 0)) {
          return bad();
        }
        event.exited = true;
        event.crashed = how[0] == 'c';
        event.status = status;
      }
      event.at = static_cast<time_t>(a);
      if (out->boots.empty()) return bad();
      std::vector<ledger_event>& events = out->boots.back().events;
      if ((!events.empty() && event.at < events.back().at) || events.size() == kLedgerEvents) {
        return bad();
      }
      events.push_back(event);
      continue;
    }
    if (std::sscanf(line.c_str(), "due %lld %39s %lld %lld %lld %lld%n", &a, word, &b, &c, &d, &e,
                    &used) != 6 ||
        static_cast<size_t>(used) != line.size()) {
      return bad();
    }
    const auto final = std::find_if(std::begin(kFinal), std::end(kFinal), [&](const auto& f) {
      return std::strcmp(f.name, word) == 0;
    });
    if (final == std::end(kFinal)) return bad();
    const time_t start = static_cast<time_t>(a);
    if (out->days.empty() || out->days.back().start != start) {
      if (!out->days.empty() && start < out->days.back().start) return bad();
      out->days.push_back({start, {}});
    }
    out->days.back().dues.push_back({final->what, static_cast<time_t>(b), static_cast<time_t>(c),
                                     static_cast<time_t>(d), static_cast<time_t>(e)});
  }
  if (at != text.size()) {
    *why = "its last line is cut short";
    return false;
  }
  return true;
}

int open_state_directory(const char* dir, std::string* why) {
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    struct stat st {};
    *why = std::string(dir) + ": " +
           (lstat(dir, &st) == 0 && S_ISLNK(st.st_mode) ? "a symbolic link, not followed"
                                                        : std::strerror(errno));
  }
  return fd;
}

std::string replace_state_file(const char* dir, const char* name, const std::string& text) {
  std::string why;
  const int dfd = open_state_directory(dir, &why);
  if (dfd < 0) return why;
  struct stat owner {};
  const std::string part = std::string(name) + ".part" + std::to_string(getpid());
  const int fd = openat(dfd, part.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  // Root's run leaves the file to the audit's account, which must replace
  // it on its next run.
  bool ok = fd >= 0 && fchmod(fd, 0644) == 0 && fstat(dfd, &owner) == 0 &&
            (geteuid() != 0 || fchown(fd, owner.st_uid, owner.st_gid) == 0) &&
            write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && renameat(dfd, part.c_str(), dfd, name) != 0) ok = false;
  if (!ok) {
    why = std::string(dir) + "/" + name + ": " + std::strerror(errno);
    unlinkat(dfd, part.c_str(), 0);
  }
  close(dfd);
  return why;
}

int lock_state_directory(const char* dir) {
  const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  for (int i = 0; i < 100; ++i) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
    usleep(50 * 1000);
  }
  close(fd);
  return -1;
}

bool read_state_file(const char* dir, const char* name, size_t max, bool owner_only,
                     std::string* text, std::string* why, bool* replaceable) {
  const int dfd = open_state_directory(dir, why);
  if (dfd < 0) return false;
  struct stat owner {};
  const bool owner_known = fstat(dfd, &owner) == 0;
  const int fd = openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  const int error = errno;
  close(dfd);
  const std::string where = std::string(dir) + "/" + name;
  if (fd < 0) {
    if (error == ENOENT) {
      *replaceable = true;  // the first run
    } else {
      *why = where + ": " + (error == ELOOP ? "a symbolic link, not followed" : std::strerror(error));
    }
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > max) {
    *why = where + ": not a regular file of at most " +
           (max >= (1 << 20) ? std::to_string(max >> 20) + " MiB" : std::to_string(max >> 10) + " KiB");
  } else if (owner_only &&
             (!owner_known || st.st_uid != owner.st_uid || (st.st_mode & 022) != 0)) {
    // Only the audit's own account writes here: anything else may be forged.
    *why = where + ": owned by uid " + std::to_string(st.st_uid) +
           ((st.st_mode & 022) != 0 ? ", writable by others" : "") +
           ", not the state directory's owner's (uid " + std::to_string(owner.st_uid) + ") alone";
    *replaceable = true;
  } else {
    text->resize(static_cast<size_t>(st.st_size));
    if (read(fd, text->data(), text->size()) != static_cast<ssize_t>(text->size())) {
      *why = where + ": cannot be read";
    }
  }
  close(fd);
  return why->empty();
}

kept_ledger load_ledger(const char* dir, const char* settings_path) {
  kept_ledger kept;
  std::string text, why;
  if (!read_state_file(dir, kLedgerFile, kLedgerMax, true, &text, &kept.problem,
                       &kept.replaceable)) {
    return kept;
  }
  if (!parse_ledger(text, settings_path, &kept.entries, &why, &kept.replaceable)) {
    kept.entries = {};
    kept.problem = std::string(dir) + "/" + kLedgerFile + ": " + why;
  }
  return kept;
}

std::string save_ledger(const char* dir, const char* settings_path, const ledger& l) {
  return replace_state_file(dir, kLedgerFile, ledger_text(l, settings_path));
}

}  // namespace velmora
