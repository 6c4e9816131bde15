// Stands in for the system log: binds a datagram socket at the given path
// and writes every message it receives, byte for byte, to a new file
// "log.N" (N = 1, 2, ...) in the given directory, and the real time it came
// in as a line "N SECONDS" of the file "log-times" there. Runs until killed.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: log_sink SOCKET DIR\n");
    return 2;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(argv[1]) >= sizeof address.sun_path) return 2;
  std::strcpy(address.sun_path, argv[1]);
  const int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  unlink(argv[1]);
  if (sock < 0 ||
      bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("log_sink");
    return 1;
  }
  static char message[65536];
  for (unsigned n = 1;; ++n) {
    const ssize_t size = recv(sock, message, sizeof message, 0);
    if (size < 0) return 1;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char path[4096];
    std::snprintf(path, sizeof path, "%s/log.%u", argv[2], n);
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return 1;
    std::fwrite(message, 1, static_cast<size_t>(size), file);
    std::fclose(file);
    std::snprintf(path, sizeof path, "%s/log-times", argv[2]);
    if ((file = std::fopen(path, "a")) == nullptr) return 1;
    std::fprintf(file, "%u %lld.%09ld\n", n, static_cast<long long>(now.tv_sec), now.tv_nsec);
    std::fclose(file);
  }
}
