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
//   benchtool web-watch PORT BROWSERS
//       what a line's supervisors do to update-station --http on loopback
//       PORT: BROWSERS event streams on /api/events read as they come and
//       a scrape of /metrics and /api/status each second, until the
//       station is gone; prints "<metrics p99 ms> <status p99 ms> <scrapes>
//       <events>"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
               "       benchtool free-port\n"
               "       benchtool web-watch PORT BROWSERS\n");
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

int dial(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
  if (s >= 0) close(s);
  return -1;
}

// One GET on a fresh connection, read to its end: the seconds it took, or
// -1 when the station is not there.
double scrape(int port, const char* path) {
  double t0 = now_s();
  int s = dial(port);
  if (s < 0) return -1;
  std::string req =
      std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  bool ok = send(s, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size());
  std::string in;
  char buf[16384];
  for (ssize_t n; ok && (n = recv(s, buf, sizeof buf, 0)) > 0;) in.append(buf, n);
  close(s);
  return in.compare(0, 12, "HTTP/1.1 200") == 0 ? now_s() - t0 : -1;
}

double p99_ms(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  size_t i = (v.size() * 99 + 99) / 100 - 1;
  return v[std::min(i, v.size() - 1)] * 1000;
}

int web_watch(int port, int browsers) {
  std::vector<int> streams;
  for (double until = now_s() + 15; now_s() < until && streams.empty(); usleep(50000)) {
    int s = dial(port);
    if (s < 0) continue;
    close(s);
    for (int i = 0; i < browsers; i++) {
      int fd = dial(port);
      const char req[] =
          "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
      if (fd >= 0 && send(fd, req, sizeof req - 1, MSG_NOSIGNAL) > 0) streams.push_back(fd);
    }
  }
  if (streams.empty()) return 2;
  std::vector<double> metrics, status;
  long events = 0;
  double next = now_s() + 1;
  size_t open = streams.size();
  while (open > 0) {
    std::vector<pollfd> fds;
    for (int fd : streams)
      if (fd >= 0) fds.push_back({fd, POLLIN, 0});
    int wait = static_cast<int>(std::max(0.0, next - now_s()) * 1000);
    if (poll(fds.data(), fds.size(), wait) > 0) {
      for (const pollfd& p : fds) {
        if (!p.revents) continue;
        char buf[16384];
        ssize_t n = recv(p.fd, buf, sizeof buf, 0);
        if (n <= 0) {
          close(p.fd);
          *std::find(streams.begin(), streams.end(), p.fd) = -1;
          open--;
          continue;
        }
        for (ssize_t i = 0; i + 7 <= n; i++) events += std::memcmp(buf + i, "event: ", 7) == 0;
      }
    }
    if (now_s() >= next) {
      next += 1;
      double m = scrape(port, "/metrics"), s = scrape(port, "/api/status");
      if (m >= 0) metrics.push_back(m);
      if (s >= 0) status.push_back(s);
    }
  }
  std::printf("%.2f %.2f %zu %ld\n", p99_ms(metrics), p99_ms(status), metrics.size(), events);
  return metrics.empty() ? 1 : 0;
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
  if (std::strcmp(verb, "web-watch") == 0 && argc == 4)
    return web_watch(std::atoi(argv[2]), std::atoi(argv[3]));
  return usage();
}
