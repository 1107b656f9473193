// loadgen: load on an update server over loopback for `make bench`, and the
// same downloads from a plain reference that only sends a file.
//
//   loadgen server PORT PID --idle N --clients K --seconds S --size BYTES
//     N connections greeted and then held idle, the server's memory read
//     before and after; then K clients doing greet, query, download of
//     BYTES, goodbye in a loop for S seconds.
//   loadgen plain PORT PID --clients K --seconds S --size BYTES
//     K clients connecting and reading BYTES to the end, in a loop.
//
// Prints "IDLE n rss_kb_before rss_kb_after" (server only) and
// "LOAD exchanges E bytes B seconds T cpu S p50_us P p99_us Q" with the
// process PID's CPU (its own and its reaped children's) over the run.
// Bounded: 127.0.0.1 only, at most 5000 idle, 64 clients, 60 s.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "loadgen: %s\n", what);
  std::exit(1);
}

int dial(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("cannot connect");
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

void put(int s, const void* p, size_t n) {
  if (send(s, p, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) die("send failed");
}

// Reads exactly n bytes into p (or discards them when p is null). Returns
// the count read before an end.
size_t get(int s, void* p, size_t n) {
  static thread_local char sink[262144];
  size_t done = 0;
  while (done < n) {
    size_t want = std::min(n - done, p ? n - done : sizeof sink);
    ssize_t k = recv(s, p ? static_cast<char*>(p) + done : sink, want, 0);
    if (k <= 0) break;
    done += static_cast<size_t>(k);
  }
  return done;
}

long rss_kb(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

double cpu_seconds(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  // Fields 3.. after the name; utime, stime, cutime, cstime are 14..17.
  for (int i = 3; i <= 17 && rest >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4)
    die("usage: loadgen server|plain PORT PID [--idle N] --clients K --seconds S --size B");
  bool server = std::strcmp(argv[1], "server") == 0;
  int port = std::atoi(argv[2]);
  int pid = std::atoi(argv[3]);
  long idle = 0, clients = 1, seconds = 1, size = 0;
  for (int i = 4; i + 1 < argc; i += 2) {
    long v = std::atol(argv[i + 1]);
    if (!std::strcmp(argv[i], "--idle")) idle = v;
    else if (!std::strcmp(argv[i], "--clients")) clients = v;
    else if (!std::strcmp(argv[i], "--seconds")) seconds = v;
    else if (!std::strcmp(argv[i], "--size")) size = v;
    else die("unknown option");
  }
  if (idle < 0 || idle > 5000 || clients < 1 || clients > 64 || seconds < 1 || seconds > 60 ||
      size < 1)
    die("out of bounds");
  struct rlimit r;
  if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }

  std::vector<int> held;
  if (server) {
    // One exchange first, so the memory the first connection brings in
    // (buffers, the catalogue's pages) is not counted per idle connection.
    int s = dial(port);
    char b = 'B';
    put(s, &b, 1);
    get(s, &b, 1);
    close(s);
    usleep(100000);
    long before = rss_kb(pid);
    for (long i = 0; i < idle; ++i) {
      int h = dial(port);
      char g = 'B';
      put(h, &g, 1);
      if (get(h, &g, 1) != 1) die("an idle connection was not greeted");
      held.push_back(h);
    }
    usleep(100000);
    std::printf("IDLE %ld %ld %ld\n", idle, before, rss_kb(pid));
    std::fflush(stdout);
  }

  std::atomic<long> exchanges{0}, bytes{0};
  std::mutex m;
  std::vector<double> latencies;
  auto end = Clock::now() + std::chrono::seconds(seconds);
  double cpu0 = cpu_seconds(pid);
  auto t0 = Clock::now();
  std::vector<std::thread> workers;
  for (long k = 0; k < clients; ++k) {
    workers.emplace_back([&] {
      std::vector<double> mine;
      int s = server ? dial(port) : -1;
      while (Clock::now() < end) {
        if (!server) {
          s = dial(port);
          size_t n = get(s, nullptr, static_cast<size_t>(size) + 1);
          close(s);
          if (n != static_cast<size_t>(size)) die("the reference sent another size");
          bytes += static_cast<long>(n);
          ++exchanges;
          continue;
        }
        unsigned char q[5] = {'B', 'C', 2, 23, 0}, a[4];
        put(s, q, 1);
        if (get(s, a, 1) != 1) die("no greeting answer");
        auto c0 = Clock::now();
        put(s, q + 1, 4);
        if (get(s, a, 3) != 3 || (a[0] | a[1] | a[2]) == 0) die("no version for the query");
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - c0).count());
        unsigned char d[4] = {'D', 2, 23, 0};
        put(s, d, 4);
        if (get(s, a, 4) != 4) die("no size");
        uint32_t n = uint32_t{a[0]} << 24 | uint32_t{a[1]} << 16 | uint32_t{a[2]} << 8 | a[3];
        if (n != static_cast<uint32_t>(size) || get(s, nullptr, n) != n) die("download cut short");
        char z = 'Z';
        put(s, &z, 1);
        bytes += static_cast<long>(n);
        ++exchanges;
      }
      if (server) close(s);
      std::lock_guard<std::mutex> lock(m);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  for (auto& w : workers) w.join();
  double took = std::chrono::duration<double>(Clock::now() - t0).count();
  double cpu = cpu_seconds(pid) - cpu0;
  std::sort(latencies.begin(), latencies.end());
  auto pct = [&](double p) {
    return latencies.empty() ? 0.0 : latencies[static_cast<size_t>(p * (latencies.size() - 1))];
  };
  std::printf("LOAD exchanges %ld bytes %ld seconds %.3f cpu %.3f p50_us %.0f p99_us %.0f\n",
              exchanges.load(), bytes.load(), took, cpu, pct(0.5), pct(0.99));
  for (int h : held) close(h);
  return 0;
}
