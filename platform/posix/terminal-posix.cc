#include "platform/terminal.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

termios g_saved_input;
bool g_input_changed = false;

}  // namespace

bool plat_stdout_is_vt() {
  if (!isatty(1)) return false;
  const char* term = getenv("TERM");
  return !(term && std::string(term) == "dumb");
}

void plat_terminal_restore() {
  if (!g_input_changed) return;
  tcsetattr(0, TCSANOW, &g_saved_input);
  g_input_changed = false;
}

int plat_terminal_columns() {
  winsize ws;
  if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

int plat_terminal_rows() {
  winsize ws;
  if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) return ws.ws_row;
  return 24;
}

void plat_ignore_broken_pipe() { signal(SIGPIPE, SIG_IGN); }

intptr_t plat_scan_open(bool quiet) {
  termios t;
  if (quiet && isatty(0) && tcgetattr(0, &t) == 0) {
    g_saved_input = t;
    t.c_lflag &= ~(tcflag_t)(ECHO | ECHONL);
    if (tcsetattr(0, TCSANOW, &t) == 0) g_input_changed = true;
  }
  return 0;
}

long plat_scan_read(char* buf, size_t n) {
  // A read only after poll says so: the descriptor is shared with whoever
  // started us, so it is never switched to non-blocking.
  pollfd p = {0, POLLIN, 0};
  int r = poll(&p, 1, 0);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (r == 0) return 0;
  if (p.revents & POLLNVAL) return -1;
  ssize_t got = read(0, buf, n);
  if (got > 0) return (long)got;
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
  return -1;
}
