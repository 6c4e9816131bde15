#include "next/next.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "daemon/scheduler.h"
#include "forecast/forecast.h"
#include "settings/settings.h"

namespace velmora {
namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// What keeps `piece` from being read as a key that it seems to name: the
// piece with a leading byte-order mark and the blanks around the name taken
// out is read as `key`. Empty when it is not such a line.
std::string near_miss(const char* piece, const char* key) {
  // Most lines have none of these; they are told apart without a copy.
  const char* equals_at = std::strchr(piece, '=');
  if (std::strncmp(piece, kByteOrderMark, 3) != 0 && !is_blank(*piece) &&
      (equals_at == nullptr || equals_at == piece || !is_blank(equals_at[-1]))) {
    // A word before the name, as a shell's "export KEY=3"; a line that
    // starts with "#" was put out of use on purpose, and is not read either.
    if (equals_at == nullptr || *piece == '#') return "";
    const char* blank = equals_at;
    while (blank > piece && !is_blank(blank[-1])) --blank;
    if (blank == piece) return "";
    std::string rest(blank, std::strlen(blank));
    if (settings_match(rest.data(), key) == nullptr) return "";
    return "\"" + std::string(piece, static_cast<size_t>(blank - piece - 1)) +
           "\" stands before the name";
  }
  std::string fixed = piece;
  std::string why;
  if (fixed.rfind(kByteOrderMark, 0) == 0) {
    fixed.erase(0, 3);
    why = "a byte-order mark stands before the name";
  }
  size_t start = 0;
  while (start < fixed.size() && is_blank(fixed[start])) ++start;
  if (start > 0) {
    fixed.erase(0, start);
    if (why.empty()) why = "blanks stand before the name";
  }
  const size_t equals = fixed.find('=');
  if (equals != std::string::npos) {
    size_t end = equals;
    while (end > 0 && is_blank(fixed[end - 1])) --end;
    if (end < equals) {
      fixed.erase(end, equals - end);
      if (why.empty()) why = "a blank stands before \"=\"";
    }
  }
  if (why.empty() || settings_match(fixed.data(), key) == nullptr) return "";
  return why;
}

// Longer names are no close spelling of a key.
constexpr size_t kNameMax = 64;

// How many letters, put in, taken out or changed, turn `a` into `b`,
// ignoring ASCII case; at most `limit` + 1. Both at most kNameMax long.
// A cell more than `limit` off the diagonal is beyond it anyway, so only
// the band along it is worked out, and a row beyond it ends the count: a
// file of millions of misspelt names takes seconds, not minutes.
size_t spelling_distance(std::string_view a, const char* b, size_t limit) {
  const size_t na = a.size(), nb = std::strlen(b), beyond = limit + 1;
  if ((na > nb ? na - nb : nb - na) > limit) return beyond;
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  // Row i of the table, each cell capped at `beyond`; cells right of the
  // band keep the cap they start with.
  size_t row[kNameMax + 1];
  for (size_t j = 0; j <= nb; ++j) row[j] = j < beyond ? j : beyond;
  for (size_t i = 1; i <= na; ++i) {
    const size_t first = i > limit ? i - limit : 1, last = i + limit < nb ? i + limit : nb;
    size_t diagonal = row[first - 1];
    row[first - 1] = first == 1 && i < beyond ? i : beyond;
    size_t least = row[first - 1];
    for (size_t j = first; j <= last; ++j) {
      const size_t above = row[j];
      size_t cell = diagonal + (upper(a[i - 1]) == upper(b[j - 1]) ? 0 : 1);
      if (above + 1 < cell) cell = above + 1;
      if (row[j - 1] + 1 < cell) cell = row[j - 1] + 1;
      row[j] = cell < beyond ? cell : beyond;
      if (row[j] < least) least = row[j];
      diagonal = above;
    }
    if (least >= beyond) return beyond;
  }
  return row[nb];
}

// The name a line gives before its "=", blanks around it taken off; empty
// for a line without one or put out of use with "#". It points into
// `piece`: a line of a long file of misspelt names costs no copy.
std::string_view line_name(const char* piece) {
  const char* equals = std::strchr(piece, '=');
  if (equals == nullptr) return "";
  const char* start = piece;
  while (is_blank(*start)) ++start;
  const char* end = equals;
  while (end > start && is_blank(end[-1])) --end;
  if (start == end || *start == '#') return "";
  return std::string_view(start, static_cast<size_t>(end - start));
}

}  // namespace

settings_scan scan_settings(FILE* stream) {
  constexpr size_t kKeys = std::size(kSettingKeys);
  settings_scan scan;
  std::rewind(stream);
  char piece[kSettingsLineBuffer];
  long line = 1;
  // Warnings beyond the first few for a key are only counted.
  auto kept = [](key_lines& key) {
    if (key.warnings.size() + key.spellings.size() < kWarningsKept) return true;
    ++key.more;
    return false;
  };
  long offset = 0;  // where the piece starts in the file
  long column = 0;  // the characters of its line before it
  scan.empty = true;
  while (std::fgets(piece, sizeof piece, stream) != nullptr) {
    // Nothing after a zero byte counts, so the copy stops there.
    const size_t text = std::strlen(piece);
    // But the line goes on after it: fgets() tells no length, so a piece
    // that is not full and ends in no line feed is measured by the stream.
    size_t length = text;
    if (length + 1 < sizeof piece && (length == 0 || piece[length - 1] != '\n')) {
      if (const long end = std::ftell(stream); end > offset) length = static_cast<size_t>(end - offset);
    }
    offset += static_cast<long>(length);
    scan.empty = scan.empty && std::strspn(piece, " \t\r\n") == length;
    const std::string at = "line " + std::to_string(line) + ": ";
    if (const char* cr = std::strchr(piece, '\r');
        scan.bare_cr_line == 0 && cr != nullptr && cr[1] != '\n' && cr[1] != '\0') {
      scan.bare_cr_line = line;
    }
    // The daemon reads each piece of a long line as a line of its own. Only
    // the first is one in the file: a later one is looked at only for what
    // the daemon reads there.
    const bool whole = column == 0;
    bool named = false;  // the line is read, or nearly, as some key
    for (size_t k = 0; k < kKeys; ++k) {
      char copy[kSettingsLineBuffer];
      std::memcpy(copy, piece, text + 1);
      key_lines& key = scan.keys[k];
      if (const char* value = settings_match(copy, kSettingKeys[k]); value != nullptr) {
        named = true;
        if (key.line == 0) {
          key.line = line;
          key.piece_at = whole ? 0 : column + 1;
          key.value_problem = value_problem(std::strchr(piece, '=') + 1);
          // The daemon stops at a zero byte, however the line goes on.
          if (key.value_problem.empty() && text < length && std::strpbrk(piece, "\r\n") == nullptr) {
            key.value_problem = "a zero byte after it, where the daemon stops reading the line";
          }
        } else if (whole && kept(key)) {
          key.warnings.push_back(at + "a later line for " + kSettingKeys[k] +
                                 " is ignored: line " + std::to_string(key.line) +
                                 " comes first");
        }
      } else if (std::string why = whole ? near_miss(piece, kSettingKeys[k]) : "";
                 !why.empty()) {
        named = true;
        if (kept(key)) {
          key.warnings.push_back(at + "names " + kSettingKeys[k] + " but is not read as it: " + why);
        }
      }
    }
    // A misspelt name: the key it is closest to, two letters off at most.
    // The name is looked at where it stands; only a kept warning copies it.
    if (const std::string_view name = named || !whole ? "" : line_name(piece);
        !name.empty() && name.size() <= kNameMax) {
      size_t best = kKeys, distance = 3;
      for (size_t k = 0; k < kKeys; ++k) {
        if (const size_t d = spelling_distance(name, kSettingKeys[k], 2); d < distance) {
          best = k;
          distance = d;
        }
      }
      if (best < kKeys && kept(scan.keys[best])) {
        scan.keys[best].spellings.push_back(at + std::string(name) +
                                            " is not a name the daemon reads: " +
                                            kSettingKeys[best] + " was meant?");
      }
    }
    if (length > 0 && piece[length - 1] == '\n') {
      ++line;
      column = 0;
    } else {
      column += static_cast<long>(length);
    }
  }
  if (std::ferror(stream)) {
    scan.empty = false;
    scan.read_error = errno;
    scan.error_line = line;
  }
  return scan;
}

namespace {

std::string character_name(char c) {
  if (c == '"') return "a double quote";
  if (c == '\'') return "a single quote";
  if (c == '+' || c == '-') return "a sign";
  if (std::isprint(static_cast<unsigned char>(c))) return std::string("\"") + c + "\"";
  return "a control byte";
}

}  // namespace

std::string value_problem(const char* value) {
  // The daemon cuts the line at its last double quote before it reads the
  // number, so "1"5" reads as 1 and "15"junk" as 15: the value is judged as
  // it stands in the file, a quote right after the "=" and one right after
  // the digits the only ones a plain number has.
  auto ends = [](char c) { return c == '\0' || c == '\r' || c == '\n'; };
  const char* p = value;
  const bool quoted = *p == '"';
  if (quoted) ++p;
  while (is_blank(*p)) ++p;
  if (ends(*p) || (quoted && *p == '"')) return "no number at all";
  if (!std::isdigit(static_cast<unsigned char>(*p))) return character_name(*p) + " before the digits";
  const char* digits = p;
  while (*digits == '0' && std::isdigit(static_cast<unsigned char>(digits[1]))) ++digits;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  const char* after = p;
  const bool closed = quoted && *p == '"';
  if (closed) ++p;
  if (quoted && !closed) {
    // With no quote after it on the line, the opening quote is the last
    // one, and the cut there takes the number with it.
    const char* quote = std::strpbrk(p, "\"\r\n");
    if (quote == nullptr || *quote != '"') return "a double quote that is never closed";
  }
  if (!ends(*p) && !is_blank(*p)) {
    return character_name(*p) + (closed ? " right after the closing quote" : " right after the digits");
  }
  // "1 5" reads as 1: what follows a blank may be a remark, but not more digits.
  while (is_blank(*p)) ++p;
  if (std::isdigit(static_cast<unsigned char>(*p))) return "a blank within the number";
  if (after - digits > 10 || std::strtoull(digits, nullptr, 10) > 0xFFFFFFFFULL) {
    return "above 4294967295, where it wraps";
  }
  return "";
}

bool from_form(const char* text) {
  constexpr std::string_view form = "0000-00-00 00:00:00";
  const size_t n = std::strlen(text);
  if (n != 16 && n != form.size()) return false;
  for (size_t i = 0; i < n; ++i) {
    if (form[i] == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != form[i]) {
      return false;
    }
  }
  return true;
}

daemon_view daemon_access(const char* path) { return access_for(path, 0, 0); }

daemon_view access_for(const char* path, unsigned uid, unsigned gid) {
  daemon_view view;
  // Without the capability that overrides permissions.
  auto allows = [&](const struct stat& st, mode_t user, mode_t group, mode_t other) {
    if (st.st_uid == uid) return (st.st_mode & user) != 0;
    if (st.st_gid == gid) return (st.st_mode & group) != 0;
    return (st.st_mode & other) != 0;
  };
  auto describe = [](const struct stat& st) {
    char text[96];
    std::snprintf(text, sizeof text, "owner %u, group %u, mode %04o", static_cast<unsigned>(st.st_uid),
                  static_cast<unsigned>(st.st_gid), static_cast<unsigned>(st.st_mode & 07777));
    return std::string(text);
  };
  std::string p = path;
  struct stat st {};
  // Each directory on the way, from the first one named.
  for (size_t slash = p.find('/', p[0] == '/' ? 1 : 0); slash != std::string::npos;
       slash = p.find('/', slash + 1)) {
    const std::string dir = p.substr(0, slash);
    if (stat(dir.c_str(), &st) != 0) return view;
    if (!allows(st, S_IXUSR, S_IXGRP, S_IXOTH)) {
      view.known = true;
      view.detail = "the directory " + dir + " (" + describe(st) + ") is closed to it";
      return view;
    }
  }
  // What is not a regular file the daemon never reads, whatever its bits.
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return view;
  view.known = true;
  view.readable = allows(st, S_IRUSR, S_IRGRP, S_IROTH);
  view.detail = describe(st);
  return view;
}

std::string unreadable_reason(const char* path, int error) {
  struct stat st {};
  if (stat(path, &st) != 0 || S_ISREG(st.st_mode)) return std::strerror(error);
  const char* kind = S_ISDIR(st.st_mode)    ? "a directory"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                                            : "something else";
  return std::string(kind) + ", not a regular file";
}

}  // namespace velmora

namespace velmora {

file_reading read_file(const char* path) {
  file_reading in;
  in.path = path;
  in.caller = getuid();
  in.view = daemon_access(path);
  FILE* stream = settings_open(path, "r");
  in.open_error = errno;
  in.opened = stream != nullptr;
  // What the daemon may not read it reads as nothing, whatever this caller
  // may read.
  in.read = in.opened && !(in.view.known && !in.view.readable);
  in.others = access_for(path, kNoOne, kNoOne);
  if (in.read) {
    load_module_settings(&in.settings, path);
    in.scan = scan_settings(stream);
  } else if (!in.opened) {
    in.unreadable = unreadable_reason(path, in.open_error);
    // daemon_access() walked the directories the caller may look into and
    // found each open to the daemon; a file that cannot even be looked at
    // beyond them may well be one the daemon reads.
    struct stat st {};
    in.hidden = !in.view.known && (in.open_error == EACCES || in.open_error == EPERM) &&
                stat(path, &st) != 0 && errno == EACCES;
  }
  settings_close(stream);
  return in;
}

int problems(const std::vector<finding>& findings) {
  int n = 0;
  for (const finding& f : findings) n += f.problem ? f.count : 0;
  return n;
}

file_judgement judge_file(const file_reading& in) {
  file_judgement out;
  auto say = [&](std::string line) { out.lines.push_back(std::move(line)); };
  auto problem = [&](std::string text, int count = 1) {
    out.findings.push_back({true, std::move(text), count});
  };
  auto warn = [&](std::string text) { out.findings.push_back({false, std::move(text)}); };
  const std::string& path = in.path;

  if (in.opened && !in.read) {
    say("settings " + path + ": cannot be read by the daemon (" + in.view.detail + ")");
    problem(path + " cannot be read by the daemon, which runs as uid 0 without capabilities (" +
            in.view.detail + "): every value is 0, so the host restarts just after each midnight");
  } else if (in.hidden || (!in.opened && in.view.known && in.view.readable &&
                            (in.open_error == EACCES || in.open_error == EPERM))) {
    // Nothing is predicted: values made up here would describe some other file.
    const std::string here = std::strerror(in.open_error);
    say("settings " + path + ": " +
        (in.hidden ? "cannot be read here (" + here + "), so what the daemon reads is unknown"
                   : "read by the daemon (" + in.view.detail + "), but not here (" + here + ")"));
    problem(path + " cannot be read as uid " + std::to_string(in.caller) +
            ", so what the daemon reads is unknown here: run velmora-next as root");
    out.known = false;
    return out;
  } else if (!in.opened) {
    say("settings " + path + ": cannot be read (" + in.unreadable + ")");
    problem(path + " cannot be read (" + in.unreadable +
            "): every value is 0, so the host restarts just after each midnight");
  } else {
    say("settings " + path + ": read");
  }
  // velmora-audit's service reads it as a user of its own, through the bits
  // for everyone.
  if (in.read && in.others.known && !in.others.readable) {
    warn(path + " cannot be read by velmora-audit's service, which reads it as the user "
         "velmorad-audit through its bits for everyone (" + in.others.detail +
         "): the audit would say UNKNOWN; chmod 0644 lets it");
  }

  const module_settings& settings = in.settings;
  const uint32_t values[] = {settings.enabled, settings.hour, settings.minute};
  // A value that is no plain number, or one read from a piece of a long
  // line: the target it makes is no news.
  bool value_fault = false;
  const settings_scan& scan = in.scan;
  // An empty file is one mistake, not one for each key it leaves out.
  if (in.read && scan.empty) {
    problem(path + " is empty: every value is 0, so the host restarts just after each midnight");
  }
  if (scan.bare_cr_line > 0 && !scan.empty) {
    problem("line " + std::to_string(scan.bare_cr_line) +
            ": a carriage return ends a line alone (old Mac line ends): the daemon reads such a "
            "file as one line; write it with newlines");
  }
  if (scan.read_error != 0) {
    problem("reading " + path + " failed at line " + std::to_string(scan.error_line) + " (" +
            std::strerror(scan.read_error) + "): the daemon takes what stands before it");
  }
  for (size_t k = 0; k < std::size(kSettingKeys); ++k) {
    const key_lines& key = scan.keys[k];
    const std::string name = kSettingKeys[k];
    if (key.line > 0) {
      const std::string line = std::to_string(key.line), piece = std::to_string(key.piece_at);
      say(name + "=" + std::to_string(values[k]) + " (line " + line +
          (key.piece_at > 0 ? ", from character " + piece : "") + ")");
      // A key read from a later piece of a long line is that line's mistake:
      // what its value makes of the target is no news.
      if (key.piece_at > 0) {
        value_fault = true;
        problem("line " + line + " is longer than " + std::to_string(kSettingsLineBuffer - 1) +
                " characters: the daemon reads it in pieces, each as a line of its own, and the "
                "piece from character " + piece + " on as a line for " + name + ": it reads as " +
                std::to_string(values[k]));
      }
      if (!key.value_problem.empty()) {
        // A carriage return after the number is the line ends' fault, told above.
        const bool line_ends = scan.bare_cr_line == key.line &&
                               key.value_problem.rfind("a control byte", 0) == 0;
        value_fault = value_fault || !line_ends;
        out.findings.push_back({!line_ends && key.piece_at == 0,
                                "line " + std::to_string(key.line) + ": the value of " + name +
                                    " is not a plain number (" + key.value_problem +
                                    "): it reads as " + std::to_string(values[k])});
      }
    } else {
      say(name + "=" + std::to_string(values[k]) + " (no line for it)");
      // ENABLED changes nothing, so a file may well leave it out. A line
      // that was meant for the key is the mistake, told once, as are line
      // ends that make the file one line, an empty file and a failed read.
      if (in.read) {
        const std::string text = "no line for " + name + ": it reads as 0";
        k == 0 || !key.warnings.empty() || !key.spellings.empty() || scan.bare_cr_line > 0 ||
                scan.empty || scan.read_error != 0
            ? warn(text)
            : problem(text);
      }
    }
    for (const std::string& w : key.warnings) problem(w);
    // A close spelling is the mistake where the key has no line; beside the
    // key's own line it may be another setting.
    for (const std::string& w : key.spellings) key.line == 0 ? problem(w) : warn(w);
    if (key.more > 0) {
      out.findings.push_back({true, "and " + std::to_string(key.more) + " more like these for " +
                                        name, static_cast<int>(key.more)});
    }
  }
  // A file that asks for no restart gets one all the same. A value that is
  // no plain number is the mistake there, told above: only a 0 written as
  // such asks for none.
  if (settings.enabled == 0 && scan.keys[0].line > 0 && scan.keys[0].value_problem.empty() &&
      scan.keys[0].piece_at == 0) {
    problem("MOD_VELMORA_ENABLED=0 is not consulted: the host restarts all the same; "
            "stop restarts with systemctl disable --now velmorad.service");
  }

  const int32_t target = target_minute(settings.hour, settings.minute);
  out.target = target;
  char clock[48];
  if (target >= 0 && target < 1440) {
    std::snprintf(clock, sizeof clock, "%02d:%02d", target / 60, target % 60);
    say(std::string("target ") + clock);
    if (target == 0) warn("the target is 00:00: the host restarts just after each midnight");
    if (settings.hour >= 24 || settings.minute >= 60) {
      out.findings.push_back({!value_fault, "hour " + std::to_string(settings.hour) +
                                                " and minute " + std::to_string(settings.minute) +
                                                " wrap round to " + clock});
    }
  } else if (target >= 1440) {
    say("target minute " + std::to_string(target) + " of the day: the clock never reaches it");
    out.findings.push_back(
        {!value_fault, "the target lies beyond 23:59, which the clock never reaches: no restart ever"});
  } else {
    say("target minute " + std::to_string(target) +
        " of the day: below 00:00, so just after each midnight");
    out.findings.push_back(
        {!value_fault, "the target lies below 00:00: the host restarts just after each midnight"});
  }
  return out;
}

}  // namespace velmora

namespace velmora {
namespace {

// The whole of a small file; empty when it cannot be read.
std::string contents(const std::string& path) {
  std::string text;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0 && text.size() < 1 << 20;) {
      text.append(buffer, n);
    }
    std::fclose(file);
  }
  return text;
}

}  // namespace

zone_reading read_zone() {
  zone_reading z;
  const char* tz = std::getenv("TZ");
  z.tz_set = tz != nullptr;
  if (tz != nullptr) z.tz = *tz == ':' ? tz + 1 : tz;
  struct stat st {};
  z.host_missing = lstat("/etc/localtime", &st) != 0;
  char link[4096] = {};
  if (readlink("/etc/localtime", link, sizeof link - 1) > 0) {
    const char* name = std::strstr(link, "zoneinfo/");
    z.host = name != nullptr ? name + 9 : link;
  }
  z.tz_problem = tz != nullptr ? zone_problem(tz) : "";
  z.host_problem = zone_problem(nullptr);
  if (tz != nullptr && !z.tz.empty()) {
    const std::string mine = contents(zone_file(tz));
    z.same = !mine.empty() && mine == contents("/etc/localtime");
  }
  return z;
}

zone_judgement judge_zone(const zone_reading& z, zone_use use) {
  zone_judgement out;
  const std::string host = z.host_missing ? "UTC" : z.host.empty() ? "/etc/localtime" : z.host;
  const bool other = z.tz_set && !z.same && !(z.tz.empty() && z.host_missing);
  if (use == zone_use::check) {
    if (!z.host_problem.empty()) {
      out.findings.push_back({true, "the daemon's zone, /etc/localtime, cannot be loaded (" +
                                        z.host_problem + "): glibc falls back to UTC, and the "
                                        "host restarts at that hour of UTC"});
    }
    if (other) {
      out.findings.push_back({false, "TZ=" + z.tz + " is not the daemon's zone: started by "
                                     "systemd it uses /etc/localtime (" + host +
                                     "), and so does this check"});
    }
    return out;
  }
  const std::string in = use == zone_use::spread ? "the minute is chosen in " : "the times below are in ";
  if (z.tz_set && z.tz.empty()) {
    out.line = "zone UTC (TZ is set but empty)";
    out.findings.push_back(
        {false, "TZ is set but empty, which glibc takes for UTC: " + in + "UTC"});
    out.utc = true;
  } else if (z.tz_set) {
    out.line = "zone " + z.tz + " (from TZ)";
  } else {
    out.line = "zone " + host + " (from /etc/localtime)";
    if (z.host_missing) out.line = "zone UTC (no /etc/localtime)";
  }
  if (other && !z.tz.empty()) {
    out.findings.push_back({false, "TZ=" + z.tz + " is not /etc/localtime (" + host +
                                       "), which the daemon uses when systemd starts it: " + in +
                                       z.tz});
  }
  if (const std::string& trouble = z.tz_set ? z.tz_problem : z.host_problem; !trouble.empty()) {
    out.findings.push_back({false, "zone " + (z.tz_set ? z.tz : host) + " cannot be loaded (" +
                                       trouble +
                                       "): glibc falls back to UTC, for the daemon as for " +
                                       (use == zone_use::spread ? "the minute chosen" : "the times below")});
    out.utc = true;
  }
  return out;
}

}  // namespace velmora
