#include "tools/boxsim/pace.h"

unsigned frame_bits(unsigned data_bits, bool parity, unsigned stop_bits) {
  return 1 + data_bits + (parity ? 1 : 0) + stop_bits;
}

int64_t line_time_ns(uint64_t count, unsigned bits, unsigned baud) {
  if (baud == 0 || bits == 0) return 0;
  // 128-bit: an hour of bytes at the lowest rates still fits.
  unsigned __int128 ns = static_cast<unsigned __int128>(count) * bits * 1000000000u;
  return static_cast<int64_t>((ns + baud - 1) / baud);
}

int64_t line_free_at(const LineClock& c) {
  return c.burst_start + line_time_ns(c.burst_bytes, c.bits, c.baud);
}

int64_t line_byte_done(LineClock* c, int64_t now, unsigned baud, unsigned bits) {
  int64_t free_at = line_free_at(*c);
  if (now >= free_at || baud != c->baud || bits != c->bits) {
    c->burst_start = now > free_at ? now : free_at;
    c->burst_bytes = 0;
    c->baud = baud;
    c->bits = bits;
  }
  c->burst_bytes++;
  return line_free_at(*c);
}
