// Test helper: writes what it was started with, its arguments and its open
// descriptors, to the file named by CHILD_REPORT_OUT. Its own standard
// streams are expected on /dev/null, so the report cannot go there.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  std::string report = "argc " + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) report += "arg " + std::string(argv[i]) + "\n";
  // Look before opening anything ourselves.
  const int limit = getdtablesize();
  for (int fd = 0; fd < limit; ++fd) {
    if (fcntl(fd, F_GETFD) == -1) continue;
    char link[64];
    char target[256] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (readlink(link, target, sizeof target - 1) < 0) target[0] = '?';
    report += "fd " + std::to_string(fd) + " " + target + "\n";
  }
  const char* out = std::getenv("CHILD_REPORT_OUT");
  if (out == nullptr) return 2;
  FILE* file = std::fopen(out, "w");
  if (file == nullptr) return 3;
  std::fputs(report.c_str(), file);
  return std::fclose(file) == 0 ? 0 : 4;
}
