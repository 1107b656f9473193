#include "serial/port.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "core/exit.h"
#include "core/report.h"
#include "core/visible.h"
#include "platform/clock.h"
#include "platform/error.h"

// One spare byte keeps the text NUL-terminated when the buffer is full.
char g_receive_buffer[kReceiveBufferSize + 1];

namespace {

// The box's last "ERROR:" line in visible form, without its line end.
std::string g_box_error;

constexpr int kOpenAttempts = 10;
constexpr uint32_t kOpenRetryMs = 50;
constexpr uint32_t kSettleMs = 300;
constexpr uint32_t kSpeedSettleMs = 500;
constexpr uint32_t kTextPollMs = 5;
constexpr uint32_t kPauseSliceMs = 50;
const char kBoxErrorMarker[] = "ERROR:";
// A UART's divisor runs a rate up to about 3% off (921600 as 923077); a
// device further off kept another rate (Wine on a pty takes 250000 and
// stays at 38400) and the box would never be heard.
constexpr uint64_t kRateTolerancePercent = 3;

// True when a device running at `actual` serves a request for `asked`.
bool rate_taken(uint32_t asked, uint32_t actual) {
  uint64_t off = asked > actual ? asked - actual : actual - asked;
  return off * 100 <= asked * kRateTolerancePercent;
}

// Reads the rate back after setting `baud`. Returns true when it took;
// false with the last error set.
bool check_rate(plat_port port, uint32_t baud) {
  uint32_t actual;
  if (!plat_serial_get_baud(port, &actual)) return false;
  if (rate_taken(baud, actual)) return true;
  plat_set_last_error(kErrRateRefused);
  return false;
}

}  // namespace

uint32_t elapsed_ms(uint32_t start, uint32_t now) { return now - start; }

void pause_or_stop(uint32_t ms) {
  while (ms > 0) {
    exit_if_stopped();
    uint32_t slice = ms < kPauseSliceMs ? ms : kPauseSliceMs;
    plat_sleep_ms(slice);
    ms -= slice;
  }
  exit_if_stopped();
}

plat_port port_open_named(const char* path, int com_port, uint32_t baud, bool no_write_timeouts,
                          bool two_stop_bits) {
  plat_port port = kNoPort;
  // A port another program is just letting go of is retried for about
  // half a second before the open counts as failed.
  for (int attempt = 0; attempt < kOpenAttempts; attempt++) {
    plat_set_last_error(0);
    port = path ? plat_serial_open_path(path) : plat_serial_open(com_port);
    if (port != kNoPort) break;
    plat_sleep_ms(kOpenRetryMs);
  }
  if (port == kNoPort) return kNoPort;
  if (!plat_serial_configure(port, baud, two_stop_bits, !no_write_timeouts)) {
    uint32_t err = plat_last_error();
    plat_serial_close(port);
    plat_set_last_error(err);
    return kNoPort;
  }
  pause_or_stop(kSettleMs);
  if (!check_rate(port, baud)) {
    uint32_t err = plat_last_error();
    plat_serial_close(port);
    plat_set_last_error(err);
    return kNoPort;
  }
  return port;
}

bool port_set_speed(plat_port port, uint32_t baud) {
  pause_or_stop(kSettleMs);
  uint32_t current;
  if (!plat_serial_get_baud(port, &current)) goto fail;
  if (current == baud) return true;
  if (!plat_serial_set_baud(port, baud)) goto fail;
  if (!check_rate(port, baud)) goto fail;
  pause_or_stop(kSpeedSettleMs);
  return true;
fail:
  uint32_t err = plat_last_error();
  plat_serial_close(port);
  plat_set_last_error(err);
  return false;
}

const char* last_box_error() { return g_box_error.c_str(); }

void clear_box_error() { g_box_error.clear(); }

void port_close(plat_port port) {
  if (port != kNoPort) plat_serial_close(port);
}

bool timed_write(plat_port port, const void* data, size_t n, uint32_t limit_ms) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  uint32_t start = plat_now_ms();
  for (;;) {
    size_t written = 0;
    if (!plat_serial_write(port, p, n, &written) && plat_last_error() != kErrWriteTimeout) {
      // A write without a limit ends early only for a stop request.
      exit_if_stopped();
      return false;
    }
    // The limit is tested before completion: a write that finishes late
    // still fails, as the box may have given up meanwhile.
    if (limit_ms && elapsed_ms(start, plat_now_ms()) > limit_ms) {
      plat_set_last_error(ERR_TIMEOUT);
      return false;
    }
    p += written;
    n -= written;
    if (n == 0) return true;
  }
}

bool wait_for_text(plat_port port, const char* text, uint32_t limit_ms) {
  size_t used = 0;
  size_t free_bytes = kReceiveBufferSize - 1;
  g_receive_buffer[0] = '\0';
  uint32_t start = plat_now_ms();
  bool found = false;
  size_t marker = std::string_view::npos;
  for (;;) {
    long got = plat_serial_read(port, g_receive_buffer + used, free_bytes);
    // A device that is gone (unplugged, hung up) sends nothing ever again:
    // end the wait with its error rather than poll it for good.
    if (got < 0) return false;
    if (got > 0) {
      used += (size_t)got;
      free_bytes -= (size_t)got;
      g_receive_buffer[used] = '\0';
      if (free_bytes == 0) {
        plat_set_last_error(ERR_RECEIVE_FULL);
        return false;
      }
      // The bytes themselves are searched: a NUL from line noise or a
      // box's reset must not hide the answer that follows it.
      std::string_view received(g_receive_buffer, used);
      found = received.find(text) != std::string_view::npos;
      marker = received.find(kBoxErrorMarker);
    }
    if (found || marker != std::string_view::npos) break;
    // The waits for "finished!" have no limit by design: a stop request is
    // their only way out.
    exit_if_stopped();
    plat_sleep_ms(kTextPollMs);
    if (limit_ms && elapsed_ms(start, plat_now_ms()) > limit_ms) break;
  }
  if (marker != std::string_view::npos) {
    // The line as far as it came; a CR before its LF is shown as it was
    // sent, the record keeps the text alone.
    std::string_view line(g_receive_buffer + marker, used - marker);
    line = line.substr(0, line.find('\n'));
    std::string_view text = line.substr(0, line.find_first_of("\r\n"));
    g_box_error = visible_text(text.data(), text.size());
    plat_set_last_error(ERR_BOX_ERROR);
    // Its bytes are the box's: escape sequences must not act on the
    // technician's terminal.
    std::printf("\n\n%s\n\n", visible_text(line.data(), line.size()).c_str());
    return false;
  }
  if (found) return true;
  plat_set_last_error(ERR_TIMEOUT);
  return false;
}

bool read_byte(plat_port port, uint8_t* dst, uint32_t limit_ms) {
  uint32_t start = plat_now_ms();
  for (;;) {
    long got = plat_serial_read(port, dst, 1);
    if (got < 0) return false;
    if (got == 1) return true;
    exit_if_stopped();
    uint32_t spent = elapsed_ms(start, plat_now_ms());
    if (limit_ms && spent > limit_ms) return true;
    // Sleep in the receive wait instead of spinning: same results, no
    // core burnt while the box is silent.
    int ready = plat_serial_wait_rx(port, limit_ms ? limit_ms - spent + 1 : 0);
    if (ready < 0) return false;
  }
}

void report_port_failure() {
  // The driver's own code: a report shows what the driver said, not the
  // fold the logic decides by.
  uint32_t err = plat_last_driver_error();
  report_failure(stderr, error_code((long)err), {41}, " %li)\n", (long)err);
  report_detail(error_value_text(err));
}

void report_wait_failure() {
  uint32_t err = plat_last_driver_error();
  report_failure(stderr, error_code((long)err), {49}, " %lx\n", (unsigned long)err);
  report_detail(error_value_text(err));
}
