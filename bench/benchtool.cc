// benchtool: the small measuring programs behind bench/update_bench.sh.
//   benchtool run [--limit SEC] -- PROGRAM ARGS...
//       runs PROGRAM (SIGTERM after SEC seconds), its output thrown away,
//       and prints "<elapsed> <user> <sys>" in seconds, to the microsecond
//   benchtool xmodem-send COM FILE [BAUD]
//       the tool's own XMODEM sender: FILE from the image buffer to COM
//       (at 115200 or BAUD), until the receiver has acknowledged the EOT
//   benchtool line-rate COM BAUD WARM SECONDS
//       reads COM at BAUD; after WARM seconds counts what arrives for
//       SECONDS and prints "<bytes> <seconds>"
//   benchtool free-port
//       a loopback TCP port that nothing listened on a moment ago
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/image_buffer.h"
#include "platform/serial.h"
#include "serial/xmodem.h"

namespace {

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

int usage() {
  std::fprintf(stderr,
               "usage: benchtool run [--limit SEC] -- PROGRAM ARGS...\n"
               "       benchtool xmodem-send COM FILE [BAUD]\n"
               "       benchtool line-rate COM BAUD WARM SECONDS\n"
               "       benchtool free-port\n");
  return 2;
}

int run(int argc, char** argv) {
  double limit = 0;
  int i = 0;
  if (i + 1 < argc && std::strcmp(argv[i], "--limit") == 0) {
    limit = std::atof(argv[i + 1]);
    i += 2;
  }
  if (i >= argc || std::strcmp(argv[i], "--") != 0 || i + 1 >= argc) return usage();
  char** cmd = argv + i + 1;
  double t0 = now_s();
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execvp(cmd[0], cmd);
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  for (;;) {
    pid_t r = wait4(pid, &status, limit > 0 ? WNOHANG : 0, &ru);
    if (r == pid) break;
    if (r < 0) return 2;
    if (now_s() - t0 >= limit) {
      kill(pid, SIGTERM);
      limit = 0;  // now wait for it to go
      continue;
    }
    usleep(2000);
  }
  double elapsed = now_s() - t0;
  std::printf("%.6f %.6f %.6f\n", elapsed, ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6,
              ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

plat_port open_line(const char* com, uint32_t baud) {
  plat_port port = plat_serial_open(std::atoi(com));
  if (port == kNoPort || !plat_serial_configure(port, baud, false, false)) {
    std::fprintf(stderr, "benchtool: cannot open COM %s\n", com);
    std::exit(2);
  }
  return port;
}

// Opened without the serial layer's settling pauses, which no other sender
// has: the race is about the transfer.
int xmodem_send(const char* com, const char* path, uint32_t baud) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return 2;
  size_t n = std::fread(g_image_buffer, 1, kImageBufferSize, f);
  std::fclose(f);
  if (n == 0) return 2;
  plat_port port = open_line(com, baud);
  uint32_t acked = 0;
  int result = send_image(port, static_cast<uint32_t>(n), &acked);
  // A sender is done when its EOT is acknowledged.
  for (double end = now_s() + 5; result == 0 && now_s() < end;) {
    unsigned char b = 0;
    if (plat_serial_wait_rx(port, 100) > 0 && plat_serial_read(port, &b, 1) == 1 && b == 0x06)
      break;
  }
  plat_serial_close(port);
  return result;
}

int line_rate(const char* com, const char* baud, double warm, double seconds) {
  plat_port port = open_line(com, static_cast<uint32_t>(std::atol(baud)));
  char buf[4096];
  double start = now_s() + warm;
  double from = -1, last = 0;
  long long bytes = 0;
  for (;;) {
    if (plat_serial_wait_rx(port, 100) <= 0) continue;
    long r = plat_serial_read(port, buf, sizeof buf);
    double t = now_s();
    if (r < 0) break;
    if (t < start) continue;
    if (from < 0) {
      from = t;  // counts what arrives after this read
      continue;
    }
    bytes += r;
    last = t;
    if (t - from >= seconds) break;
  }
  plat_serial_close(port);
  std::printf("%lld %.6f\n", bytes, last - from);
  return bytes > 0 ? 0 : 1;
}

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return 2;
  std::printf("%d\n", ntohs(a.sin_port));
  close(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const char* verb = argv[1];
  if (std::strcmp(verb, "run") == 0) return run(argc - 2, argv + 2);
  if (std::strcmp(verb, "xmodem-send") == 0 && (argc == 4 || argc == 5))
    return xmodem_send(argv[2], argv[3], argc == 5 ? std::atol(argv[4]) : 115200);
  if (std::strcmp(verb, "line-rate") == 0 && argc == 6)
    return line_rate(argv[2], argv[3], std::atof(argv[4]), std::atof(argv[5]));
  if (std::strcmp(verb, "free-port") == 0) return free_port();
  return usage();
}
