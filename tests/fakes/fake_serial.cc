#include <cstdio>
#include <cstring>
#include <deque>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/serial.h"
#include "tests/fakes/fake_platform.h"

FakeSerial g_fake_serial;

namespace {

struct Arrival {
  uint32_t at;
  uint8_t byte;
};
std::deque<Arrival> g_incoming;
uint32_t g_last_arrival = 0;

// Arrival times are compared as unsigned differences, like the real clock.
bool arrived(const Arrival& a) { return (int32_t)(fake_clock_now() - a.at) >= 0; }

}  // namespace

void fake_serial_reset() {
  g_fake_serial = FakeSerial();
  g_incoming.clear();
  g_last_arrival = fake_clock_now();
}

void fake_serial_feed(const std::string& bytes, uint32_t delay_ms) {
  uint32_t at = fake_clock_now() + delay_ms;
  if (!g_incoming.empty() && (int32_t)(g_last_arrival - at) > 0) at = g_last_arrival;
  for (unsigned char c : bytes) g_incoming.push_back({at, c});
  g_last_arrival = at;
}

size_t fake_serial_pending() { return g_incoming.size(); }

plat_port plat_serial_open(int com_number) {
  (void)com_number;
  g_fake_serial.open_calls++;
  if (g_fake_serial.open_failures > 0) {
    g_fake_serial.open_failures--;
    plat_set_last_error(g_fake_serial.open_error);
    return kNoPort;
  }
  g_fake_serial.is_open = true;
  return 1;
}

plat_port plat_serial_open_path(const char* path) {
  (void)path;
  return plat_serial_open(0);
}

bool plat_serial_configure(plat_port, uint32_t baud, bool two_stop_bits, bool write_timeouts) {
  if (g_fake_serial.fail_configure) {
    plat_set_last_error(22);
    return false;
  }
  g_fake_serial.baud = g_fake_serial.runs_at ? g_fake_serial.runs_at : baud;
  g_fake_serial.two_stop_bits = two_stop_bits;
  g_fake_serial.write_timeouts = write_timeouts;
  return true;
}

bool plat_serial_get_baud(plat_port, uint32_t* baud) {
  *baud = g_fake_serial.baud;
  return true;
}

bool plat_serial_set_baud(plat_port, uint32_t baud) {
  if (g_fake_serial.fail_set_baud) {
    plat_set_last_error(22);
    return false;
  }
  g_fake_serial.set_baud_calls++;
  g_fake_serial.baud = g_fake_serial.runs_at ? g_fake_serial.runs_at : baud;
  return true;
}

long plat_serial_read(plat_port, void* buf, size_t max) {
  if (g_fake_serial.hang_up_when_drained && g_incoming.empty()) g_fake_serial.hung_up = true;
  if (g_fake_serial.hung_up) {
    plat_set_last_error(kErrReadAborted);
    return -1;
  }
  if (g_fake_serial.read_error) {
    plat_set_last_error(g_fake_serial.read_error);
    g_fake_serial.read_error = 0;
    return -1;
  }
  size_t n = 0;
  uint8_t* out = static_cast<uint8_t*>(buf);
  while (n < max && !g_incoming.empty() && arrived(g_incoming.front())) {
    out[n++] = g_incoming.front().byte;
    g_incoming.pop_front();
  }
  // Polling an empty line takes time on a real port too; without this a
  // loop that polls without sleeping would never see its limit pass.
  if (n == 0) fake_clock_advance(1);
  return (long)n;
}

bool plat_serial_write(plat_port, const void* data, size_t n, size_t* written) {
  *written = 0;
  if (g_fake_serial.hung_up) {
    plat_set_last_error(kErrReadAborted);
    return false;
  }
  if (g_fake_serial.write_error) {
    plat_set_last_error(g_fake_serial.write_error);
    g_fake_serial.write_error = 0;
    return false;
  }
  size_t take = g_fake_serial.write_stalled ? 0 : n;
  if (g_fake_serial.write_chunk && take > g_fake_serial.write_chunk)
    take = g_fake_serial.write_chunk;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < take; i++) {
    g_fake_serial.written.push_back((char)p[i]);
    if (g_fake_serial.on_write) g_fake_serial.on_write(p[i]);
  }
  *written = take;
  if (take < n) {
    fake_clock_advance((uint32_t)take + 10);
    plat_set_last_error(kErrWriteTimeout);
    return false;
  }
  return true;
}

int plat_serial_wait_rx(plat_port, uint32_t limit_ms) {
  if (g_fake_serial.hang_up_when_drained && g_incoming.empty()) g_fake_serial.hung_up = true;
  if (g_fake_serial.hung_up) {
    plat_set_last_error(kErrReadAborted);
    return -1;
  }
  if (!g_incoming.empty()) {
    const Arrival& a = g_incoming.front();
    if (arrived(a)) return 1;
    uint32_t wait = a.at - fake_clock_now();
    if (limit_ms == 0 || wait <= limit_ms) {
      fake_clock_advance(wait);
      return 1;
    }
  }
  if (limit_ms == 0) {
    // Nothing will ever come: a real port would block for good. Fail
    // loudly instead of hanging the test.
    std::fprintf(stderr, "fake serial: wait without limit on an empty line\n");
    plat_set_last_error(kErrReadAborted);
    return -1;
  }
  fake_clock_advance(limit_ms);
  return 0;
}

void plat_serial_close(plat_port) {
  g_fake_serial.is_open = false;
  g_fake_serial.close_calls++;
}

void plat_serial_restore_all() {}

bool plat_serial_device_name(int com_number, char* buf, size_t size) {
  std::snprintf(buf, size, "FAKE%d", com_number);
  return true;
}
