// Reports what it was started with: the time, its arguments and its open
// descriptors with what each points to and its access mode (r, w or rw). The runner tests run it directly;
// the sandbox binds it over the reboot command as a harmless stand-in.
//
// Its own standard streams are expected on /dev/null, so the report goes to
// the file CHILD_REPORT_OUT, or to a new file "report.<nanoseconds>" in the
// directory CHILD_REPORT_DIR. It exits with CHILD_REPORT_EXIT (default 0).
// It is linked statically, so that nothing preloaded into the daemon (a fake
// clock) loads into it: the descriptors it lists are only those it was given,
// and the time it records is the real one.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

int main(int argc, char** argv) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char real[64];
  std::snprintf(real, sizeof real, "%lld.%09ld", static_cast<long long>(now.tv_sec),
                now.tv_nsec);

  std::string report = "real " + std::string(real) + "\n";
  report += "argc " + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) report += "arg " + std::string(argv[i]) + "\n";
  // Look before opening anything ourselves.
  const int limit = getdtablesize();
  for (int fd = 0; fd < limit; ++fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1) continue;
    char link[64];
    char target[256] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (readlink(link, target, sizeof target - 1) < 0) target[0] = '?';
    const int mode = flags & O_ACCMODE;
    report += "fd " + std::to_string(fd) + " " + target +
              (mode == O_RDWR ? " rw\n" : mode == O_WRONLY ? " w\n" : " r\n");
  }

  // Under a low descriptor limit, 0 to 2 may leave no number for the report.
  rlimit limits{};
  if (getrlimit(RLIMIT_NOFILE, &limits) == 0) {
    limits.rlim_cur = limits.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limits);
  }

  std::string out;
  if (const char* file = std::getenv("CHILD_REPORT_OUT")) {
    out = file;
  } else if (const char* dir = std::getenv("CHILD_REPORT_DIR")) {
    out = std::string(dir) + "/report." + real;
  } else {
    return 2;
  }
  FILE* file = std::fopen(out.c_str(), "w");
  if (file == nullptr) return 3;
  std::fputs(report.c_str(), file);
  if (std::fclose(file) != 0) return 4;
  const char* code = std::getenv("CHILD_REPORT_EXIT");
  return code != nullptr ? std::atoi(code) : 0;
}
