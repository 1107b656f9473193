// Timing of one direction of a serial line for the paced box: a byte takes
// its frame's bits at the line rate, and bytes offered while the line is
// busy go out back to back behind the ones before.
#pragma once
#include <cstdint>

// Bits one byte takes on the wire: the start bit, `data_bits`, a parity
// bit when `parity`, and `stop_bits`.
unsigned frame_bits(unsigned data_bits, bool parity, unsigned stop_bits);

// Nanoseconds that `count` bytes of `bits` each take at `baud`, rounded up;
// 0 when `baud` or `bits` is 0 (a line whose rate is unknown takes no time).
int64_t line_time_ns(uint64_t count, unsigned bits, unsigned baud);

// One direction of the line. A run of back-to-back bytes is timed from its
// first byte, so long runs do not gather rounding errors.
struct LineClock {
  int64_t burst_start = 0;   // when the current run began, in ns
  uint64_t burst_bytes = 0;  // bytes in it so far
  unsigned baud = 0;         // rate and frame size of the run
  unsigned bits = 0;
};

// Offers one byte at `now` (ns) at `baud` with frames of `bits`. Returns
// the time it has fully crossed: `now` plus one byte time on an idle line,
// else one byte time after the byte before. A change of rate or frame
// starts a new run where the old one ends.
int64_t line_byte_done(LineClock* c, int64_t now, unsigned baud, unsigned bits);

// The time the line is free again (ns): the end of its current run.
int64_t line_free_at(const LineClock& c);
