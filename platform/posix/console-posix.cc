#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

// All standard input goes through C stdio so that single bytes and lines
// taken by different dialogues share one buffer and never overtake each
// other.
int plat_stdin_getc() {
  int c = std::getchar();
  return c == EOF ? -1 : c;
}

size_t plat_stdin_read_line(char* buf, size_t max) {
  size_t n = 0;
  while (n < max) {
    int c = std::getchar();
    if (c == EOF)
      break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n')
      break;
  }
  return n;
}

// Linux has no portable way to choose pitch and length, so a bell stands in
// for the tone. It goes to the controlling terminal only: stdout may be a
// file or pipe whose content the bell would corrupt.
void plat_beep(unsigned freq_hz, unsigned ms) {
  (void)freq_hz;
  (void)ms;
  int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return;
  ssize_t r = write(fd, "\a", 1);
  (void)r;
  close(fd);
}
