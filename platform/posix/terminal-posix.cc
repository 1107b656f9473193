#include "platform/terminal.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

bool plat_stdout_is_vt() {
  if (!isatty(1)) return false;
  const char* term = getenv("TERM");
  return !(term && std::string(term) == "dumb");
}

void plat_terminal_restore() {}

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
