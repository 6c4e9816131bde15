#include "next/next.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace

settings_scan scan_settings(FILE* stream) {
  constexpr size_t kKeys = std::size(kSettingKeys);
  settings_scan scan;
  std::rewind(stream);
  char piece[kSettingsLineBuffer];
  long line = 1;
  // Warnings beyond the first few for a key are only counted.
  auto kept = [](key_lines& key) {
    if (key.warnings.size() < kWarningsKept) return true;
    ++key.more;
    return false;
  };
  while (std::fgets(piece, sizeof piece, stream) != nullptr) {
    // Nothing after a zero byte counts, so the copy stops there.
    const size_t length = std::strlen(piece) + 1;
    const std::string at = "line " + std::to_string(line) + ": ";
    for (size_t k = 0; k < kKeys; ++k) {
      char copy[kSettingsLineBuffer];
      std::memcpy(copy, piece, length);
      key_lines& key = scan.keys[k];
      if (const char* value = settings_match(copy, kSettingKeys[k]); value != nullptr) {
        if (key.line == 0) {
          key.line = line;
          key.value_problem = value_problem(value);
        } else if (kept(key)) {
          key.warnings.push_back(at + "a later line for " + kSettingKeys[k] +
                                 " is ignored: line " + std::to_string(key.line) +
                                 " comes first");
        }
      } else if (std::string why = near_miss(piece, kSettingKeys[k]);
                 !why.empty() && kept(key)) {
        key.warnings.push_back(at + "names " + kSettingKeys[k] + " but is not read as it: " + why);
      }
    }
    if (std::strchr(piece, '\n') != nullptr) ++line;
  }
  if (std::ferror(stream)) {
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
  const char* p = value;
  while (is_blank(*p)) ++p;
  if (*p == '\0') return "no number at all";
  if (!std::isdigit(static_cast<unsigned char>(*p))) return character_name(*p) + " before the digits";
  const char* digits = p;
  while (*digits == '0' && std::isdigit(static_cast<unsigned char>(digits[1]))) ++digits;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  if (*p != '\0' && !is_blank(*p)) return character_name(*p) + " right after the digits";
  if (p - digits > 10 || std::strtoull(digits, nullptr, 10) > 0xFFFFFFFFULL) {
    return "above 4294967295, where it wraps";
  }
  return "";
}

daemon_view daemon_access(const char* path) {
  daemon_view view;
  // uid 0 and gid 0, without the capability that overrides permissions.
  auto allows = [](const struct stat& st, mode_t user, mode_t group, mode_t other) {
    if (st.st_uid == 0) return (st.st_mode & user) != 0;
    if (st.st_gid == 0) return (st.st_mode & group) != 0;
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
