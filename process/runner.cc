#include "process/runner.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/paths.h"

namespace velmora {
namespace {

// Puts the null device on 0, 1 and 2. When the caller ran with one of them
// closed, open() hands back that very number: it is already in place and must
// not be closed, or the child would lose it. When the descriptor table is
// full, 0 makes room: it is about to be replaced anyway.
void standard_streams_to_null() {
  int null_fd = open(kNullDevice, O_RDWR);
  if (null_fd < 0 && errno == EMFILE) {
    close(0);
    null_fd = open(kNullDevice, O_RDWR);
  }
  for (int fd = 0; fd <= 2; ++fd) {
    if (fd == null_fd) continue;
    close(fd);
    if (null_fd >= 0) dup2(null_fd, fd);
  }
}

// Closes every descriptor above 2, the null device's own one included.
// close_range() also reaches descriptors above a lowered limit, and costs one
// call however high the limit is; older kernels lack it, and get the sweep.
void close_descriptors_above_stderr() {
  if (close_range(3, ~0U, 0) == 0) return;
  for (int fd = getdtablesize() - 1; fd >= 3; --fd) close(fd);
}

}  // namespace

void exec_in_child(char* const argv[]) {
  standard_streams_to_null();
  close_descriptors_above_stderr();
  execvp(argv[0], argv);
}

int run_command(const char* path, ...) {
  // The argument vector is built before fork, so that the child has nothing
  // left to allocate. exec does not write through these pointers.
  char* argv[kArgvSlots];
  argv[0] = const_cast<char*>(path);
  int argc = 1;
  va_list args;
  va_start(args, path);
  while (argc < kArgvSlots - 1) {
    const char* arg = va_arg(args, const char*);
    if (arg == nullptr) break;
    argv[argc++] = const_cast<char*>(arg);
  }
  va_end(args);
  argv[argc] = nullptr;

  const pid_t child = fork();
  if (child < 0) return -1;
  if (child == 0) {
    exec_in_child(argv);
    _exit(1);
  }
  int status = 0;
  // No signal handler is installed, so EINTR should never come; if it does,
  // waiting again keeps the child from being left a zombie.
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == child ? status : -1;
}

}  // namespace velmora
