#include "platform/stop.h"

#include <csignal>
#include <initializer_list>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t g_first = kStopNone;
volatile sig_atomic_t g_count = 0;
int g_pipe[2] = {-1, -1};
bool g_installed = false;

StopSignal from_signal(int sig) {
  switch (sig) {
    case SIGINT: return kStopInterrupt;
    case SIGTERM: return kStopTerminate;
    default: return kStopHangup;
  }
}

// Async-signal-safe only: two stores and a write to a non-blocking pipe.
void on_signal(int sig) {
  int saved = errno;
  if (g_first == kStopNone) g_first = from_signal(sig);
  g_count = g_count + 1;
  if (g_pipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(g_pipe[1], &c, 1);
    (void)ignored;
  }
  errno = saved;
}

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
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

StopSignal plat_stop_signal() { return static_cast<StopSignal>(g_first); }

int plat_stop_count() { return g_count; }

const char* plat_stop_name(StopSignal s) {
  switch (s) {
    case kStopInterrupt: return "SIGINT";
    case kStopTerminate: return "SIGTERM";
    case kStopHangup: return "SIGHUP";
    default: return "";
  }
}

intptr_t plat_stop_wait_handle() { return g_pipe[0]; }

void plat_stop_reset() {
  g_first = kStopNone;
  g_count = 0;
  char buf[64];
  if (g_pipe[0] >= 0)
    while (read(g_pipe[0], buf, sizeof buf) > 0) {
    }
}
