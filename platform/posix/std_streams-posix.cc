#include "platform/std_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void plat_std_streams_guard() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: `fd` itself, as those below it are open now.
    int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null < 0 || null == fd) continue;
    dup2(null, fd);
    close(null);
  }
}
