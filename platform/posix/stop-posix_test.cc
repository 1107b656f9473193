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
  for (const Case& c : cases) {
    for (bool before : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (before ? ", request first" : ", request during"));
      int r = in_child([&] {
        plat_stop_install();
        std::function<bool()> wait = c.prepare();
        if (before) {
          kill(getpid(), SIGTERM);
        } else {
          // The request comes while the call waits, from outside.
          pid_t self = getpid();
          if (fork() == 0) {
            usleep(100000);
            kill(self, SIGUSR1);
            _exit(0);
          }
        }
        bool stopped = wait();
        StopSignal want = before ? kStopTerminate : kStopStation;
        return stopped && plat_stop_signal() == want ? 0 : 1;
      });
      EXPECT_EQ(r, 0);
    }
  }
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
