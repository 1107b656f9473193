// Kept apart from everything that includes <termios.h>: the kernel's own
// termios definitions, needed for TCGETS2, clash with the C library's.
#include "tools/boxsim/line_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

unsigned kernel_line_rate(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}
