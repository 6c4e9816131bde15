#include "audit/audit.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>

#include "forecast/forecast.h"

namespace velmora {
namespace {

// A stretch in which the daemon ran: from a start-up line to the next event
// of its boot (a new start-up line or a stop), else to the boot's end.
struct stretch {
  time_t start, end;
  size_t boot;
  bool open;     // still running at the boot's end
  time_t until;  // its passes come before this: at most kEarlySlack past the boot's end
  const settings_record* settings;  // in force at its start; null: not known
  const zone_record* zone;  // in force at its start, where other than the audit's; else null
  bool zone_known;
  // A crash loop: each start since the first, and the status of the crash
  // that ended the one before it; ends_in_crash: the last one crashed too.
  std::vector<std::pair<time_t, int>> restarts = {};
  bool ends_in_crash = false;
  int crash_status = 0;
  bool known() const { return settings != nullptr && zone_known; }
};

// Whether a daemon started as `b` after `a` crashed keeps what `a` kept, so
// that the two are one run of the daemon that kept falling.
bool same_daemon(const stretch& a, const stretch& b) {
  const bool same_target = a.settings == b.settings || (a.settings != nullptr &&
                           b.settings != nullptr && a.settings->target == b.settings->target);
  const bool same_zone = a.zone_known == b.zone_known &&
                         (a.zone == b.zone || (a.zone != nullptr && b.zone != nullptr &&
                                               a.zone->name == b.zone->name));
  return a.boot == b.boot && same_target && same_zone;
}

// The zone a daemon started at `when` kept: null for the audit's own zone.
// *known is false where that cannot be told: no record reaches back to it,
// or it was a copy of a zone's file that has since changed.
const zone_record* zone_at(const std::vector<zone_record>& zones, time_t when, bool* known) {
  *known = true;
  if (zones.empty()) return nullptr;
  const zone_record* then = zone_in_force(zones, when);
  const zone_record& now = zones.back();
  if (then == &now || (then != nullptr && !then->name.empty() && then->name == now.name)) {
    return nullptr;
  }
  if (then == nullptr || then->name.empty()) {
    *known = false;
    return nullptr;
  }
  return then;
}

// What `f` returns with local time in `zone` (null: as it is).
template <class F>
auto in_zone(const zone_record* zone, F f) {
  if (zone == nullptr) return f();
  const char* was = std::getenv("TZ");
  const std::string saved = was != nullptr ? was : "";
  setenv("TZ", (":" + zone->name).c_str(), 1);
  tzset();
  auto out = f();
  if (was != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  return out;
}

std::vector<stretch> stretches_of(const audit_input& in) {
  std::vector<stretch> out;
  for (size_t i = 0; i < in.events.size(); ++i) {
    const daemon_event& e = in.events[i];
    if (!e.start) continue;
    const boot_record& boot = in.boots[e.boot];
    stretch s{e.at, boot.last, e.boot, true, boot.last + kEarlySlack + 1,
              target_in_force(in.settings, e.at), nullptr, true};
    s.zone = zone_at(in.zones, e.at, &s.zone_known);
    for (size_t k = i + 1; k < in.events.size(); ++k) {
      if (in.events[k].boot != e.boot) continue;
      s.end = in.events[k].at;
      s.open = false;
      // The passes drift late of the grid of the start, so a restart's own
      // shutdown may stop the unit a little before the pass that the grid
      // gives. Any other stop ends the passes at once: a daemon stopped
      // just before its minute while the host stayed up ran nothing. Where
      // the journal shows when the shutdown began, a stop from then on is
      // its own, however long it took; else one that the boot's end follows
      // soon.
      const bool shutdown =
          !in.events[k].start && !boot.current &&
          (boot.shutdown_began != 0 ? s.end >= boot.shutdown_began
                                    : boot.last - s.end <= kShutdownBound);
      s.until = shutdown ? s.end + kEarlySlack + 1 : s.end;
      s.ends_in_crash = in.events[k].crashed;
      s.crash_status = in.events[k].status;
      break;
    }
    // A daemon that crashed and was put back by PID 1 never let go of its
    // minute: its passes run on from the first start, as if it had kept
    // running, and a pass missed while it kept falling is a miss.
    if (!out.empty() && out.back().ends_in_crash && same_daemon(out.back(), s)) {
      stretch& loop = out.back();
      loop.restarts.push_back({s.start, loop.crash_status});
      loop.end = s.end;
      loop.open = s.open;
      loop.until = s.until;
      loop.ends_in_crash = s.ends_in_crash;
      loop.crash_status = s.crash_status;
      continue;
    }
    out.push_back(s);
  }
  return out;
}

due_time judge(const audit_input& in, const stretch& s, time_t due) {
  const boot_record& boot = in.boots[s.boot];
  due_time d{verdict::missed, due, boot.last, s.start, boot.shutdown_began};
  for (const auto& [at, status] : s.restarts) {
    if (at > due) break;
    ++d.restarts;
    d.status = status;
  }
  // A shutdown that began on time is the restart, however long its services
  // then take to stop; without its start in the journal, the boot's end
  // tells.
  const auto on_time = [due](time_t t) {
    return t >= due - kEarlySlack && t <= due + kShutdownBound;
  };
  if (boot.current) {
    if (in.now <= due + kShutdownBound) d.what = verdict::pending;
  } else if (!boot.end_seen) {
    // Seen up only until `last`, then gone without a record of a shutdown:
    // no restart, and a miss only where it was seen up past the bound.
    if (boot.last <= due + kShutdownBound) d.what = verdict::end_unknown;
  } else if ((boot.shutdown_began != 0 && on_time(boot.shutdown_began)) || on_time(boot.last)) {
    d.what = verdict::happened;
  }
  return d;
}

// Why nothing was due at `minute`, the minute the target names on a day
// that has no due pass.
due_time explain(const audit_input& in, const std::vector<stretch>& stretches,
                 time_t minute) {
  due_time d{verdict::host_down, minute, 0, 0};
  if (minute > in.now) {
    d.what = verdict::coming;
    return d;
  }
  if (in.installed != 0 && minute < in.installed) {
    d.what = verdict::not_installed;
    return d;
  }
  if (minute < in.journal_start) {
    d.what = verdict::unknown;
    return d;
  }
  // A daemon ran then whose target or zone is not known: it may have been
  // due.
  for (const stretch& s : stretches) {
    if (!s.known() && s.start <= minute && minute < s.until) {
      d.what = s.settings == nullptr ? verdict::unrecorded : verdict::zone_unrecorded;
      d.since = s.start;
      return d;
    }
  }
  size_t boot = in.boots.size();
  for (size_t b = 0; b < in.boots.size(); ++b) {
    if (in.boots[b].first <= minute && minute <= in.boots[b].last) boot = b;
  }
  if (boot == in.boots.size()) {
    // Down then, unless the boot before was last seen up earlier and no
    // record tells when it ended.
    for (size_t b = 0; b < in.boots.size(); ++b) {
      if (!in.boots[b].end_seen && in.boots[b].last < minute &&
          (b + 1 == in.boots.size() || in.boots[b + 1].first > minute)) {
        d.what = verdict::end_unknown;
        d.boot_end = in.boots[b].last;
      }
    }
    return d;
  }
  // Up at some time in the due minute, yet no run: it started during the
  // minute or after the target.
  const time_t minute_end = minute + 60;
  bool started_before = false;
  for (const stretch& s : stretches) {
    if (s.boot != boot) continue;
    if (minute <= s.start && s.start < minute_end) {
      d.what = verdict::not_armed;
      d.since = s.start;
      return d;
    }
    if (s.start < minute_end) started_before = true;
    if (s.start >= minute_end && d.since == 0) d.since = s.start;
  }
  // The oldest boot may have begun before the journal does: a start-up line
  // before the journal's first entry would not show, unless the journal
  // holds the boot from its start, or reaches back to velmorad's install.
  const bool whole = in.boots[0].head_known ||
                     (in.installed != 0 && in.installed >= in.journal_start);
  d.what = boot == 0 && !started_before && !whole ? verdict::unknown : verdict::not_running;
  return d;
}

// The minutes, from `start` to `next`, at which a daemon running all day
// would have run: one with the target and zone of the last daemon that ran
// into the day, where they are known, else the target in force at its
// start (else the file's as it reads now) in the audit's zone.
std::vector<time_t> minutes_of_day(const audit_input& in, const std::vector<stretch>& stretches,
                                   time_t start, time_t next) {
  const settings_record* r = target_in_force(in.settings, start);
  int32_t target = r != nullptr ? r->target : in.settings.back().target;
  const zone_record* zone = nullptr;
  for (const stretch& s : stretches) {
    if (s.known() && s.start < next && s.until > start) {
      target = s.settings->target;
      zone = s.zone;
    }
  }
  std::vector<time_t> out =
      in_zone(zone, [&] { return predict_runs(target, start - 12 * 3600, 4, next); });
  out.erase(std::remove_if(out.begin(), out.end(), [start](time_t t) { return t < start; }),
            out.end());
  return out;
}

// Adds `now` to `history`: same(last, now) says that it is the last one
// seen again.
template <class R, class Same>
void record(std::vector<R>* history, const R& now, Same same) {
  while (!history->empty() && history->back().changed > now.changed) history->pop_back();
  if (!history->empty() && same(history->back(), now)) {
    history->back().seen = now.seen;
    return;
  }
  if (!history->empty() && history->back().changed == now.changed) {
    history->pop_back();  // two versions within a second: the later counts
  }
  history->push_back(now);
  if (history->size() > kHistoryKept) {
    history->erase(history->begin(), history->end() - kHistoryKept);
  }
}

// A time that the evidence cannot tell.
bool undecided(verdict what) {
  return what == verdict::unknown || what == verdict::unrecorded ||
         what == verdict::zone_unrecorded || what == verdict::end_unknown;
}

template <class R>
const R* in_force(const std::vector<R>& history, time_t when) {
  for (size_t i = history.size(); i-- > 0;) {
    if (history[i].changed > when) continue;
    return i + 1 == history.size() || when <= history[i].seen ? &history[i] : nullptr;
  }
  return nullptr;
}

}  // namespace

void record_settings(std::vector<settings_record>* history, settings_record now) {
  record(history, now, [](const settings_record& last, const settings_record& seen) {
    return last.changed == seen.changed && last.target == seen.target;
  });
}

const settings_record* target_in_force(const std::vector<settings_record>& history,
                                       time_t when) {
  return in_force(history, when);
}

// The same name is the same zone, however often its link was made anew (a
// tzdata upgrade does); a copy names none, so only its time tells.
void record_zone(std::vector<zone_record>* history, const zone_record& now) {
  record(history, now, [](const zone_record& last, const zone_record& seen) {
    return last.name == seen.name && (!seen.name.empty() || last.changed == seen.changed);
  });
}

const zone_record* zone_in_force(const std::vector<zone_record>& history, time_t when) {
  return in_force(history, when);
}

audit_result audit(const audit_input& in) {
  const std::vector<stretch> stretches = stretches_of(in);
  const time_t window_start = local_midnight(in.now, 1 - in.days);
  const time_t window_end = local_midnight(in.now, 1);

  // Every due pass of every stretch that reaches into the window.
  std::vector<due_time> dues;
  for (const stretch& s : stretches) {
    if (s.until < window_start || !s.known()) continue;
    const std::vector<time_t> passes =
        in_zone(s.zone, [&] { return predict_runs(s.settings->target, s.start, INT_MAX, s.until); });
    for (time_t t : passes) {
      if (t >= window_start && t < window_end) dues.push_back(judge(in, s, t));
    }
  }
  std::sort(dues.begin(), dues.end(),
            [](const due_time& a, const due_time& b) { return a.at < b.at; });

  audit_result result;
  result.window_start = window_start;
  result.window_end = window_end;
  result.installed_within = in.installed > window_start;
  bool unknown = false;
  verdict last_decided = verdict::happened;
  for (int d = 1 - in.days; d <= 0; ++d) {
    day_report day{local_midnight(in.now, d), {}};
    const time_t next = local_midnight(in.now, d + 1);
    for (const due_time& due : dues) {
      if (due.at >= day.start && due.at < next) day.dues.push_back(due);
    }
    if (day.dues.empty()) {
      for (time_t minute : minutes_of_day(in, stretches, day.start, next)) {
        day.dues.push_back(explain(in, stretches, minute));
      }
      if (day.dues.empty()) day.dues.push_back({verdict::never, 0, 0, 0});
    }
    // What the journal no longer tells, an earlier run may have judged.
    if (std::any_of(day.dues.begin(), day.dues.end(),
                    [](const due_time& due) { return undecided(due.what); })) {
      for (const day_report& kept : in.judged) {
        if (kept.start == day.start && !kept.dues.empty()) day.dues = kept.dues;
      }
    }
    for (const due_time& due : day.dues) {
      if (due.what == verdict::happened) {
        ++result.happened;
        result.last_restart = std::max(result.last_restart, due.boot_end);
      }
      if (due.what == verdict::missed) ++result.missed;
      if (due.what == verdict::happened || due.what == verdict::missed) last_decided = due.what;
      if (undecided(due.what)) unknown = true;
    }
    result.days.push_back(day);
  }
  for (const stretch& s : stretches) {
    if (s.until >= window_start) {
      time_t* since = s.settings == nullptr ? &result.unrecorded_since
                      : !s.zone_known       ? &result.zone_unrecorded_since
                                            : nullptr;
      if (since != nullptr && (*since == 0 || s.start < *since)) *since = s.start;
    }
    if (!s.open || !in.boots[s.boot].current) continue;
    result.running_now = true;
    result.kept_known = s.settings != nullptr;
    if (s.settings != nullptr) result.kept_target = s.settings->target;
    const settings_record& file = in.settings.back();
    result.target_pending = s.start < file.changed &&
                            (s.settings == nullptr || s.settings->target != file.target);
    if (s.known()) {
      const std::vector<time_t> ahead = in_zone(s.zone, [&] {
        return predict_runs(s.settings->target, s.start, INT_MAX, in.now + kNextHorizon);
      });
      const auto next = std::upper_bound(ahead.begin(), ahead.end(), in.now);
      if (next != ahead.end()) result.next_restart = *next;
    }
    result.zone_pending = s.zone != nullptr || !s.zone_known;
    result.kept_zone = s.zone;
    result.pending = result.target_pending || result.zone_pending;
  }
  for (const daemon_event& e : in.events) {
    if (!e.crashed || e.at < window_start || e.at >= window_end) continue;
    if (result.crashes++ == 0) result.first_crash = e.at;
    result.last_crash = e.at;
    result.crash_status = e.status;
  }
  result.running_now = result.running_now || in.running;
  result.turned_off = !result.running_now && in.enabled == 0;
  result.state = result.turned_off                     ? audit_state::ok
                 : last_decided == verdict::missed     ? audit_state::critical
                 : result.crashes > kCrashesTolerated  ? audit_state::warning
                 : result.pending                      ? audit_state::warning
                 : unknown                             ? audit_state::unknown
                 : !result.running_now                 ? audit_state::warning
                                                       : audit_state::ok;
  return result;
}

const char* verdict_name(verdict what) {
  switch (what) {
    case verdict::happened: return "happened";
    case verdict::missed: return "missed";
    case verdict::pending: return "pending";
    case verdict::coming: return "coming";
    case verdict::host_down: return "host down";
    case verdict::not_running: return "not running";
    case verdict::not_armed: return "not armed";
    case verdict::never: return "never";
    case verdict::not_installed: return "not installed";
    case verdict::unknown: return "unknown";
    case verdict::unrecorded: return "unrecorded";
    case verdict::zone_unrecorded: return "zone unrecorded";
    case verdict::end_unknown: return "end unknown";
  }
  return "?";
}

}  // namespace velmora
