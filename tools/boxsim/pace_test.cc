// The paced box's line arithmetic: what a byte costs and when it is across.
#include "tools/boxsim/pace.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Pace, FrameBitsCountStartParityAndStopBits) {
  struct Row {
    unsigned data, stop;
    bool parity;
    unsigned want;
  };
  const Row rows[] = {{8, 1, false, 10}, {8, 2, false, 11}, {7, 1, true, 10}, {8, 2, true, 12}};
  for (const Row& r : rows)
    EXPECT_EQ(r.want, frame_bits(r.data, r.parity, r.stop)) << r.data << r.parity << r.stop;
}

TEST(Pace, LineTimeIsExactAndRoundsUpOnce) {
  struct Row {
    uint64_t count;
    unsigned bits, baud;
    int64_t want_ns;
  };
  const Row rows[] = {
      {1, 10, 115200, 86806},              // 86805.55...
      {132, 10, 921600, 1432292},          // one XMODEM block at the top rate
      {132, 11, 115200, 12604167},         // two stop bits
      {1000000, 10, 921600, 10850694445},  // no drift over a megabyte
      {0, 10, 115200, 0},
      {5, 10, 0, 0},  // unknown rate
  };
  for (const Row& r : rows)
    EXPECT_EQ(r.want_ns, line_time_ns(r.count, r.bits, r.baud))
        << r.count << " bytes of " << r.bits << " bits at " << r.baud;
}

// Bytes offered at given times; each row lists when each one is across.
TEST(Pace, BytesQueueBehindABusyLineAndStartAtOnceOnAnIdleOne) {
  struct Offer {
    int64_t at;
    unsigned baud, bits;
    int64_t want_done;
  };
  const int64_t b = 86806;  // 10 bits at 115200, rounded up
  const std::vector<std::vector<Offer>> cases = {
      // Back to back: each a byte time after the one before, timed from the
      // first (3 bytes: 260416.66 ns, one rounding only).
      {{0, 115200, 10, b}, {0, 115200, 10, 173612}, {0, 115200, 10, 260417}},
      // Offered later than the line frees: starts when offered.
      {{1000, 115200, 10, 1000 + b}, {500000, 115200, 10, 500000 + b}},
      // Offered while the last is still going out: waits for it.
      {{0, 115200, 10, b}, {50000, 115200, 10, 173612}},
      // A new rate starts a new run where the old one ends.
      {{0, 115200, 10, b}, {0, 921600, 10, b + 10851}, {0, 921600, 10, b + 21702}},
      // So does a new frame size.
      {{0, 115200, 10, b}, {0, 115200, 11, b + 95487}},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    LineClock c;
    for (size_t j = 0; j < cases[i].size(); ++j) {
      const Offer& o = cases[i][j];
      EXPECT_EQ(o.want_done, line_byte_done(&c, o.at, o.baud, o.bits))
          << "case " << i << " byte " << j;
    }
    EXPECT_EQ(cases[i].back().want_done, line_free_at(c)) << "case " << i;
  }
}

}  // namespace
