#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

bool plat_random_bytes(void* out, size_t n) {
  unsigned char* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}
