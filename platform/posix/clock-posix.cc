#include "platform/clock.h"

#include <cerrno>
#include <ctime>

// CLOCK_MONOTONIC so that setting the wall clock never moves a deadline.
// Truncating to 32 bits is intended: callers compare by unsigned difference.
uint32_t plat_now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void plat_sleep_ms(uint32_t ms) {
  timespec left;
  left.tv_sec = ms / 1000u;
  left.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  // A signal must not shorten the pause: go on with what is left.
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {}
}
