// Fakes of the platform clock and serial device, so the serial logic runs in
// unit tests without real time or hardware. Link fake_clock and fake_serial
// instead of plat_clock and plat_serial.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

// The clock only moves when the code under test sleeps, polls an empty port
// (1 ms per empty read) or waits for a byte, or when a test moves it.
void fake_clock_set(uint32_t ms);
void fake_clock_advance(uint32_t ms);
uint32_t fake_clock_now();
// Total milliseconds slept through plat_sleep_ms since the last set.
uint32_t fake_clock_slept();

struct FakeSerial {
  // Bytes the tool wrote, in order.
  std::string written;
  // Called for every byte the tool writes; may feed replies.
  std::function<void(uint8_t)> on_write;
  // Open: the first `open_failures` attempts fail with `open_error`.
  int open_failures = 0;
  uint32_t open_error = 16;
  int open_calls = 0;
  // Configure / speed.
  bool fail_configure = false;
  bool fail_set_baud = false;
  uint32_t baud = 0;
  int set_baud_calls = 0;
  // When not 0, the rate the device runs at whatever was set.
  uint32_t runs_at = 0;
  bool two_stop_bits = false;
  bool write_timeouts = false;
  bool is_open = false;
  int close_calls = 0;
  // Writes: at most this many bytes per call (0 = all); a short call fails
  // with the write time-out value, as the driver's write time-out would.
  size_t write_chunk = 0;
  // Every write is cut short before its first byte (a stalled line).
  bool write_stalled = false;
  // The next write fails with this error (0 = none).
  uint32_t write_error = 0;
  // Reads: the next read fails with this error (0 = none).
  uint32_t read_error = 0;
  // Reads and writes from this point on fail (hung-up device).
  bool hung_up = false;
  // The device hangs up once every queued byte has been read.
  bool hang_up_when_drained = false;
};

extern FakeSerial g_fake_serial;

// Clears the fake port and its queue of incoming bytes.
void fake_serial_reset();

// Bytes that arrive `delay_ms` from now (after bytes queued before).
void fake_serial_feed(const std::string& bytes, uint32_t delay_ms = 0);

// Number of bytes queued and not yet read.
size_t fake_serial_pending();

// A fake of the TCP primitives (link fake_net instead of plat_net): the
// peer's bytes are a script read in order, what the tool sends is kept.
struct FakeNet {
  std::string incoming;       // the peer's bytes, in order
  size_t read_at = 0;         // how many of them the tool has received
  bool reset_at_end = false;  // after the script: a reset (-1), else a close (0)
  std::string sent;           // every byte the tool sent
};

extern FakeNet g_fake_net;
