#include "settings/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <strings.h>

namespace velmora {
namespace {

// Shared by every lookup, so a lookup never allocates; see the header for
// what that means for the returned pointers.
char line[kSettingsLineBuffer];

void cut_at(char* p) {
  if (p != nullptr) *p = '\0';
}

}  // namespace

const char* settings_line_buffer() { return line; }

FILE* settings_open(const char* path, const char* mode) {
  // Only a regular file is read. A FIFO could block the open or every read
  // for good, and /dev/zero never ends, so anything else counts as a file
  // that cannot be read. The open does not block, and the type is checked
  // on the open descriptor, so nothing can be swapped in between. Reads from
  // a regular file do not heed O_NONBLOCK.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  FILE* stream = fdopen(fd, mode);
  if (stream == nullptr) close(fd);
  return stream;
}

void settings_close(FILE* stream) {
  if (stream != nullptr) std::fclose(stream);
}

char* settings_match(char* piece, const char* key) {
  // A CR ends the line, so CR LF files read like LF files; the closing
  // quote of a quoted value goes with everything after it.
  cut_at(std::strchr(piece, '\r'));
  cut_at(std::strchr(piece, '\n'));
  cut_at(std::strrchr(piece, '"'));
  char* equals = std::strchr(piece, '=');
  if (equals == nullptr) return nullptr;
  *equals = '\0';
  if (strcasecmp(piece, key) != 0) return nullptr;
  char* value = equals + 1;
  return *value == '"' ? value + 1 : value;
}

char* settings_find(FILE* stream, const char* key) {
  while (std::fgets(line, sizeof line, stream) != nullptr) {
    if (char* value = settings_match(line, key)) return value;
  }
  return nullptr;
}

uint32_t settings_get_uint(FILE* stream, const char* key) {
  if (stream == nullptr) return 0;
  std::rewind(stream);
  const char* value = settings_find(stream, key);
  unsigned number = 0;
  if (value == nullptr || std::sscanf(value, "%u", &number) != 1) return 0;
  return number;
}

void load_module_settings(module_settings* settings, const char* path) {
  FILE* stream = settings_open(path, "r");
  settings->enabled = settings_get_uint(stream, "MOD_VELMORA_ENABLED");
  settings->hour = settings_get_uint(stream, "MOD_VELMORA_HOUR");
  settings->minute = settings_get_uint(stream, "MOD_VELMORA_MINUTE");
  settings_close(stream);
}

}  // namespace velmora
