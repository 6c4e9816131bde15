#include "audit/audit.h"

#include <algorithm>
#include <climits>

#include "forecast/forecast.h"

namespace velmora {
namespace {

// Local midnight `days_later` days after the day of `when`.
time_t local_midnight(time_t when, int days_later) {
  struct tm t {};
  localtime_r(&when, &t);
  t.tm_mday += days_later;
  t.tm_hour = t.tm_min = t.tm_sec = 0;
  t.tm_isdst = -1;
  return mktime(&t);
}

// A stretch in which the daemon ran: from a start-up line to the next event
// of its boot (a new start-up line or a stop), else to the boot's end.
struct stretch {
  time_t start, end;
  size_t boot;
  bool open;     // still running at the boot's end
  time_t until;  // its passes come before this: at most kEarlySlack past the boot's end
  const settings_record* settings;  // in force at its start; null: not known
};

std::vector<stretch> stretches_of(const audit_input& in) {
  std::vector<stretch> out;
  for (size_t i = 0; i < in.events.size(); ++i) {
    const daemon_event& e = in.events[i];
    if (!e.start) continue;
    const boot_record& boot = in.boots[e.boot];
    stretch s{e.at, boot.last, e.boot, true, boot.last + kEarlySlack + 1,
              target_in_force(in.settings, e.at)};
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
      break;
    }
    out.push_back(s);
  }
  return out;
}

due_time judge(const audit_input& in, const stretch& s, time_t due) {
  const boot_record& boot = in.boots[s.boot];
  due_time d{verdict::missed, due, boot.last, s.start, boot.shutdown_began};
  // A shutdown that began on time is the restart, however long its services
  // then take to stop; without its start in the journal, the boot's end
  // tells.
  const auto on_time = [due](time_t t) {
    return t >= due - kEarlySlack && t <= due + kShutdownBound;
  };
  if (boot.current) {
    if (in.now <= due + kShutdownBound) d.what = verdict::pending;
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
  // A daemon ran then whose target is not known: it may have been due.
  for (const stretch& s : stretches) {
    if (s.settings == nullptr && s.start <= minute && minute < s.until) {
      d.what = verdict::unrecorded;
      d.since = s.start;
      return d;
    }
  }
  size_t boot = in.boots.size();
  for (size_t b = 0; b < in.boots.size(); ++b) {
    if (in.boots[b].first <= minute && minute <= in.boots[b].last) boot = b;
  }
  if (boot == in.boots.size()) return d;
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

// The target a daemon would have read on the day that begins at `start`:
// the one in force then, else the file's as it reads now.
int32_t target_of_day(const audit_input& in, time_t start) {
  const settings_record* r = target_in_force(in.settings, start);
  return r != nullptr ? r->target : in.settings.back().target;
}

}  // namespace

void record_settings(std::vector<settings_record>* history, settings_record now) {
  while (!history->empty() && history->back().changed > now.changed) history->pop_back();
  if (!history->empty() && history->back().changed == now.changed) {
    if (history->back().target == now.target) {
      history->back().seen = now.seen;
      return;
    }
    history->pop_back();  // two versions within a second: the later counts
  }
  history->push_back(now);
  if (history->size() > kHistoryKept) {
    history->erase(history->begin(), history->end() - kHistoryKept);
  }
}

const settings_record* target_in_force(const std::vector<settings_record>& history,
                                       time_t when) {
  for (size_t i = history.size(); i-- > 0;) {
    if (history[i].changed > when) continue;
    return i + 1 == history.size() || when <= history[i].seen ? &history[i] : nullptr;
  }
  return nullptr;
}

audit_result audit(const audit_input& in) {
  const std::vector<stretch> stretches = stretches_of(in);
  const time_t window_start = local_midnight(in.now, 1 - in.days);
  const time_t window_end = local_midnight(in.now, 1);

  // Every due pass of every stretch that reaches into the window.
  std::vector<due_time> dues;
  for (const stretch& s : stretches) {
    if (s.until < window_start || s.settings == nullptr) continue;
    for (time_t t : predict_runs(s.settings->target, s.start, INT_MAX, s.until)) {
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
      // The minutes a daemon running all along would have run at that day.
      const int32_t target = target_of_day(in, day.start);
      for (time_t minute : predict_runs(target, day.start - 12 * 3600, 4, next)) {
        if (minute >= day.start) day.dues.push_back(explain(in, stretches, minute));
      }
      if (day.dues.empty()) day.dues.push_back({verdict::never, 0, 0, 0});
    }
    for (const due_time& due : day.dues) {
      if (due.what == verdict::happened) {
        ++result.happened;
        result.last_restart = std::max(result.last_restart, due.boot_end);
      }
      if (due.what == verdict::missed) ++result.missed;
      if (due.what == verdict::happened || due.what == verdict::missed) last_decided = due.what;
      if (due.what == verdict::unknown || due.what == verdict::unrecorded) unknown = true;
    }
    result.days.push_back(day);
  }
  for (const stretch& s : stretches) {
    if (s.settings == nullptr && s.until >= window_start &&
        (result.unrecorded_since == 0 || s.start < result.unrecorded_since)) {
      result.unrecorded_since = s.start;
    }
    if (!s.open || !in.boots[s.boot].current) continue;
    result.running_now = true;
    result.kept_known = s.settings != nullptr;
    if (s.settings != nullptr) result.kept_target = s.settings->target;
    const settings_record& file = in.settings.back();
    result.pending = s.start < file.changed &&
                     (s.settings == nullptr || s.settings->target != file.target);
  }
  result.turned_off = !result.running_now && in.enabled == 0;
  result.state = result.turned_off                     ? audit_state::ok
                 : last_decided == verdict::missed     ? audit_state::critical
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
  }
  return "?";
}

}  // namespace velmora
