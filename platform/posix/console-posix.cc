#include "platform/console.h"

#include <fcntl.h>
#include <unistd.h>

// Linux has no portable way to choose pitch and length, so a bell stands in
// for the tone. It goes to the controlling terminal only: stdout may be a
// file or pipe whose content the bell would corrupt.
void plat_beep(unsigned freq_hz, unsigned ms) {
  (void)freq_hz;
  (void)ms;
  int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t r = write(fd, "\a", 1);
  (void)r;
  close(fd);
}
