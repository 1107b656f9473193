// Stop requests end every wait that has no limit, even one that came just
// before the wait began, where its signal interrupts nothing. Each case
// runs in a child process: a request stays for the life of a process.
#include "platform/stop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/net.h"
#include "platform/serial.h"

namespace {

// Runs `body` in a child; returns its result, or -1 when it crashed or was
// still waiting after two seconds.
int in_child(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    alarm(2);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A serial port on a fresh pty whose far end nobody reads or writes.
plat_port quiet_port(bool write_timeouts) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return kNoPort;
  plat_port p = plat_serial_open_path(ptsname(master));
  if (p != kNoPort && !plat_serial_configure(p, 115200, false, write_timeouts)) return kNoPort;
  return p;  // the master stays open: no hang-up
}

// A TCP connection over loopback whose peer neither sends nor reads.
plat_socket quiet_connection() {
  int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin = {};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  if (bind(l, reinterpret_cast<sockaddr*>(&sin), len) != 0 || listen(l, 1) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&sin), &len) != 0)
    return kNoSocket;
  const uint8_t loopback[4] = {127, 0, 0, 1};
  plat_socket s = plat_tcp_socket();
  if (!plat_tcp_connect(s, loopback, ntohs(sin.sin_port))) return kNoSocket;
  return s;  // the listener keeps the peer's end, unaccepted
}

TEST(StopRequest, EndsEveryWaitWithoutALimitEvenWhenItCameFirst) {
  const std::vector<char> big(8 << 20, 'x');
  // Each case makes its line before any request, and gives the wait on it:
  // true when the wait ended as stopped.
  struct Case {
    const char* name;
    std::function<std::function<bool()>()> prepare;
  };
  const Case cases[] = {
      {"serial receive",
       [] {
         plat_port p = quiet_port(false);
         return std::function<bool()>(
             [p] { return p != kNoPort && plat_serial_wait_rx(p, 0) == 0; });
       }},
      {"serial write",
       [&] {
         plat_port p = quiet_port(false);
         return std::function<bool()>([p, &big] {
           size_t written = 0;
           return p != kNoPort && !plat_serial_write(p, big.data(), big.size(), &written) &&
                  written < big.size();
         });
       }},
      {"tcp receive",
       [] {
         plat_socket s = quiet_connection();
         return std::function<bool()>([s] {
           char c;
           return s != kNoSocket && plat_tcp_recv(s, &c, 1) == -1;
         });
       }},
      {"tcp send",
       [&] {
         plat_socket s = quiet_connection();
         return std::function<bool()>([s, &big] {
           return s != kNoSocket && plat_tcp_send(s, big.data(), big.size()) < (long)big.size();
         });
       }},
  };
  // How the request comes: before the wait; as a signal during it (which
  // interrupts the poll by itself); raised by another thread, no signal,
  // so only the stop pipe in the poll set can end the wait; the reader of
  // the watched event pipe closing, which only the watch can see.
  enum Request { kFirst, kSignal, kRaised, kReaderGone };
  const char* const names[] = {"request first", "signal during", "raised by a thread",
                               "event reader gone"};
  for (const Case& c : cases) {
    for (Request how : {kFirst, kSignal, kRaised, kReaderGone}) {
      SCOPED_TRACE(std::string(c.name) + ", " + names[how]);
      int r = in_child([&] {
        plat_stop_install();
        int events[2];
        if (pipe(events) != 0) return 2;
        plat_stop_watch_reader(events[1]);
        std::function<bool()> wait = c.prepare();
        std::thread later;
        if (how == kFirst) {
          kill(getpid(), SIGTERM);
        } else if (how == kSignal) {
          // The request comes while the call waits, from outside.
          pid_t self = getpid();
          if (fork() == 0) {
            usleep(100000);
            kill(self, SIGUSR1);
            _exit(0);
          }
        } else {
          later = std::thread([how, &events] {
            usleep(100000);
            if (how == kRaised) plat_stop_raise(kStopStation);
            else close(events[0]);
          });
        }
        bool stopped = wait();
        if (later.joinable()) later.join();
        StopSignal want = how == kFirst        ? kStopTerminate
                          : how == kReaderGone ? kStopHangup
                                               : kStopStation;
        return stopped && plat_stop_signal() == want ? 0 : 1;
      });
      EXPECT_EQ(r, 0);
    }
  }
}

// Only a pipe or socket is watched: a regular file as the event stream
// never reads as a reader gone, and a wait on the line keeps its limit.
TEST(StopRequest, EventStreamToAFileIsNoRequest) {
  int r = in_child([] {
    plat_stop_install();
    char name[] = "/tmp/stop-events-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return 2;
    unlink(name);
    plat_stop_watch_reader(fd);
    plat_port p = quiet_port(false);
    return p != kNoPort && plat_serial_wait_rx(p, 50) == 0 && plat_stop_signal() == kStopNone ? 0
                                                                                              : 1;
  });
  EXPECT_EQ(r, 0);
}

// A stop in the middle of a line to a pipe (the station's event stream)
// must not tear it: the rest goes out, and the line after it too.
TEST(StopRequest, LineToAPipeGoesOnAfterTheSignal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string line(256 * 1024, 'e');
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    plat_stop_install();
    bool ok = plat_append_write(fds[1], line.data(), line.size()) &&
              plat_append_write(fds[1], "end\n", 4);
    _exit(ok && plat_stop_signal() == kStopTerminate ? 0 : 1);
  }
  close(fds[1]);
  // The child fills the pipe and waits for room; the request comes then.
  usleep(200000);
  kill(pid, SIGTERM);
  std::string got;
  char buf[65536];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(got, line + "end\n");
}

}  // namespace
