#include "platform/stop.h"
#include "platform/posix/stop-posix.h"

#include <csignal>
#include <initializer_list>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_first = kStopNone;
volatile sig_atomic_t g_count = 0;
int g_pipe[2] = {-1, -1};
// The write end of a pipe whose reader going away is a request; -1: none.
int g_watched = -1;
bool g_installed = false;

StopSignal from_signal(int sig) {
  switch (sig) {
    case SIGINT: return kStopInterrupt;
    case SIGTERM: return kStopTerminate;
    case SIGUSR1: return kStopStation;
    default: return kStopHangup;
  }
}

void on_signal(int sig) { plat_stop_raise(from_signal(sig)); }

}  // namespace

void plat_stop_install() {
  if (g_installed) return;
  g_installed = true;
  if (pipe(g_pipe) == 0) {
    for (int fd : g_pipe) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
  } else {
    g_pipe[0] = g_pipe[1] = -1;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: a poll or read that the request interrupts must return
  // so its caller can notice, not go back to sleep for good.
  sa.sa_flags = 0;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaction(sig, &sa, nullptr);
  // A console or pipe reader that went away must not end a box's transfer
  // unrecorded: its writes fail with EPIPE, which the writer decides about.
  signal(SIGPIPE, SIG_IGN);
}

// Async-signal-safe only: two stores and a write to a non-blocking pipe.
void plat_stop_raise(StopSignal s) {
  int saved = errno;
  if (g_first == kStopNone) g_first = s;
  g_count = g_count + 1;
  if (g_pipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(g_pipe[1], &c, 1);
    (void)ignored;
  }
  errno = saved;
}

StopSignal plat_stop_signal() {
  // A wait that reads and sleeps rather than polls asks here, so the
  // watched reader is looked at here too: one poll that does not wait.
  if (g_first == kStopNone && g_watched >= 0) {
    pollfd p = {g_watched, 0, 0};
    if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP)) != 0) {
      g_watched = -1;
      plat_stop_raise(kStopHangup);
    }
  }
  return static_cast<StopSignal>(g_first);
}

int plat_stop_count() { return g_count; }

const char* plat_stop_name(StopSignal s) {
  switch (s) {
    case kStopInterrupt: return "SIGINT";
    case kStopTerminate: return "SIGTERM";
    case kStopHangup: return "SIGHUP";
    case kStopStation: return "the station";
    default: return "";
  }
}

intptr_t plat_stop_wait_handle() { return g_pipe[0]; }

void plat_stop_watch_reader(intptr_t f) {
  int fd = static_cast<int>(f);
  struct stat st;
  // Only a pipe or socket tells of its reader; a file or terminal never
  // does, and a device might report something else entirely.
  g_watched =
      fd >= 0 && fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) ? fd : -1;
}

int stop_poll_fds(pollfd* pf) {
  int n = 0;
  if (g_pipe[0] >= 0) pf[n++] = {g_pipe[0], POLLIN, 0};
  // No events asked: a write end reports only POLLERR or POLLHUP, once
  // nobody reads the other end.
  if (g_watched >= 0) pf[n++] = {g_watched, 0, 0};
  return n;
}
