#include "platform/console.h"

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
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}
