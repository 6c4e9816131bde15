// Feeds arbitrary bytes, as a settings file, through the settings reader.
// Besides crashes and undefined behaviour it checks every lookup against a
// plain model of the line rules: the same lines match, the value text is the
// same and lies inside the line buffer, and the number is what sscanf("%u")
// gives for that text.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <strings.h>

#include "settings/settings.h"

namespace {

using namespace velmora;

const char* const kKeys[] = {"MOD_VELMORA_ENABLED", "MOD_VELMORA_HOUR",
                             "MOD_VELMORA_MINUTE", "mod_velmora_hour", "",
                             "X", "MOD_VELMORA_HOUR "};

void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "settings_fuzz: %s\n", what);
    std::abort();
  }
}

// The value text of the first line for `key`, read in pieces of at most
// 16383 bytes as fgets() does.
std::optional<std::string_view> model_find(std::string_view file, const char* key) {
  const size_t piece_max = kSettingsLineBuffer - 1;
  const size_t key_length = std::strlen(key);
  for (size_t at = 0; at < file.size();) {
    size_t end = file.find('\n', at);
    end = end == std::string_view::npos ? file.size() : end + 1;
    end = std::min(end, at + piece_max);
    std::string_view piece = file.substr(at, end - at);
    at = end;
    for (char cut : {'\0', '\r', '\n'}) piece = piece.substr(0, piece.find(cut));
    if (size_t quote = piece.rfind('"'); quote != std::string_view::npos) {
      piece = piece.substr(0, quote);
    }
    const size_t equals = piece.find('=');
    if (equals != key_length || strncasecmp(piece.data(), key, key_length) != 0) continue;
    std::string_view value = piece.substr(equals + 1);
    if (!value.empty() && value[0] == '"') value.remove_prefix(1);
    return value;
  }
  return std::nullopt;
}

unsigned scan_uint(std::string_view text) {
  unsigned number = 0;
  return std::sscanf(std::string(text).c_str(), "%u", &number) == 1 ? number : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("settings", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  require(fd >= 0, "memfd_create failed");
  require(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
          "cannot write the input");
  const std::string_view file(reinterpret_cast<const char*>(data), size);

  // fmemopen() refuses an empty buffer; the record check covers that input.
  if (FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "r")) {
    for (const char* key : kKeys) {
      std::rewind(stream);
      const char* value = settings_find(stream, key);
      const std::optional<std::string_view> expected = model_find(file, key);
      require((value != nullptr) == expected.has_value(),
              "found where the model does not, or not found");
      unsigned number = 0;
      if (value != nullptr) {
        const char* buffer = settings_line_buffer();
        require(value >= buffer && value + std::strlen(value) < buffer + kSettingsLineBuffer,
                "value outside the line buffer");
        require(*expected == value, "value differs from the model");
        number = scan_uint(value);
      }
      require(settings_get_uint(stream, key) == number, "number differs from sscanf");
    }
    settings_close(stream);
  }

  // The whole record, read from a file as the daemon does.
  module_settings record{};
  load_module_settings(&record, path.c_str());
  const uint32_t fields[] = {record.enabled, record.hour, record.minute};
  for (int k = 0; k < 3; ++k) {
    const std::optional<std::string_view> value = model_find(file, kKeys[k]);
    require(fields[k] == (value ? scan_uint(*value) : 0), "record differs from the model");
  }
  return 0;
}
