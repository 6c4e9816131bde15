// Prints the clock as this process sees it (faked, when a fake clock is
// preloaded) and the kernel's real clock, read back to back:
// "FAKE_SECONDS REAL_SECONDS". The sandbox uses the pair to turn the real
// times that its stand-in records into the daemon's own clock.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

int main() {
  timespec fake{}, real{};
  clock_gettime(CLOCK_REALTIME, &fake);
  // A raw system call passes by any preloaded clock.
  syscall(SYS_clock_gettime, CLOCK_REALTIME, &real);
  std::printf("%lld.%09ld %lld.%09ld\n", static_cast<long long>(fake.tv_sec),
              fake.tv_nsec, static_cast<long long>(real.tv_sec), real.tv_nsec);
  return 0;
}
