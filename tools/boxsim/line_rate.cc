// Kept apart from everything that includes <termios.h>: the kernel's own
// termios definitions, needed for TCGETS2, clash with the C library's.
#include "tools/boxsim/line_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "tools/boxsim/pace.h"

unsigned kernel_line_rate(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

unsigned kernel_frame_bits(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  unsigned data = 8;
  switch (t.c_cflag & CSIZE) {
    case CS5: data = 5; break;
    case CS6: data = 6; break;
    case CS7: data = 7; break;
    default: break;
  }
  return frame_bits(data, (t.c_cflag & PARENB) != 0, (t.c_cflag & CSTOPB) ? 2 : 1);
}
