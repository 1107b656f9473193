#include "platform/posix/termios2.h"

#include <cerrno>

#if defined(__linux__)
#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would pull in glibc's termios types, which clash with the
// kernel's; the prototype is all that is needed.
extern "C" int ioctl(int fd, unsigned long request, ...);

int termios2_set_baud(int fd, uint32_t baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  if (ioctl(fd, TCSETS2, &t) != 0) return errno;
  return 0;
}

int termios2_get_baud(int fd, uint32_t* baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return errno;
  *baud = t.c_ospeed;
  return 0;
}

#else

// Elsewhere only the standard rates exist.
int termios2_set_baud(int, uint32_t) { return EINVAL; }
int termios2_get_baud(int, uint32_t*) { return EINVAL; }

#endif
