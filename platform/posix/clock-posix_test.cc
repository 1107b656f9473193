#include "platform/clock.h"

#include <signal.h>
#include <sys/time.h>

#include <thread>

#include <gtest/gtest.h>

#include "platform/error.h"

namespace {

void on_alarm(int) {}

TEST(Clock, SleepLastsItsTimeThroughSignals) {
  // Without SA_RESTART the timer's signal interrupts nanosleep.
  struct sigaction sa = {};
  sa.sa_handler = on_alarm;
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval every = {{0, 10000}, {0, 10000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);

  uint32_t start = plat_now_ms();
  plat_sleep_ms(120);
  uint32_t took = plat_now_ms() - start;

  itimerval off = {};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_GE(took, 120u);
  EXPECT_LT(took, 2000u);
}

TEST(LastError, IsKeptPerThread) {
  plat_set_last_error(kErrReadAborted);
  uint32_t seen = 1;
  std::thread other([&] {
    seen = plat_last_error();
    plat_set_last_error(kErrWriteTimeout);
  });
  other.join();
  EXPECT_EQ(seen, 0u);
  EXPECT_EQ(plat_last_error(), kErrReadAborted);
}

}  // namespace
