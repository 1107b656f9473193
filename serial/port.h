// The serial port layer: open with the tool's line settings, speed change,
// timed write, wait for text and read byte. Failures leave their reason in
// plat_last_error().
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/serial.h"

// The tool's own error values (the customer bit set).
constexpr uint32_t ERR_RECEIVE_FULL = 0x20000001;
constexpr uint32_t ERR_TIMEOUT = 0x20000002;
constexpr uint32_t ERR_BOX_ERROR = 0x20000007;

constexpr size_t kReceiveBufferSize = 10240;

// Text received from the box; NUL-terminated after every read of
// wait_for_text, and may hold NULs of its own. Also scratch space for the
// keyword and version lines.
extern char g_receive_buffer[kReceiveBufferSize + 1];

// Opens the device at `path` when it is not nullptr (a port given by its
// device name), else COM port `com_port` (10 tries, 50 ms apart), at `baud`
// with the tool's line settings. Returns the handle, or kNoPort with the
// last error.
plat_port port_open_named(const char* path, int com_port, uint32_t baud, bool no_write_timeouts,
                          bool two_stop_bits);

// Switches an open port to `baud`. Returns true on success; on failure the
// port has been closed.
bool port_set_speed(plat_port port, uint32_t baud);

// Sleeps `ms`, in slices: a stop request that comes meanwhile ends the run
// within a slice, not after the whole pause.
void pause_or_stop(uint32_t ms);

// now - start in unsigned 32-bit arithmetic.
uint32_t elapsed_ms(uint32_t start, uint32_t now);

// Writes all `n` bytes within `limit_ms` (0 = no limit). Returns true on
// success; false with ERR_TIMEOUT or the platform error.
bool timed_write(plat_port port, const void* data, size_t n, uint32_t limit_ms);

// Collects bytes until `text` or "ERROR:" is among them (NULs included),
// `limit_ms` passes (0 = no limit), the receive buffer fills or a read
// fails. Returns true when `text` came; false with ERR_BOX_ERROR (the box's
// line printed in visible form and kept for last_box_error), ERR_TIMEOUT,
// ERR_RECEIVE_FULL, or the read's error (kErrReadAborted when the device is
// gone).
bool wait_for_text(plat_port port, const char* text, uint32_t limit_ms);

// The box's last "ERROR:" line since clear_box_error, from "ERROR:" to its
// line end (without CR and LF) in visible form (core/visible.h); "" when
// none came.
const char* last_box_error();

// Forgets the box's "ERROR:" line: the start of a new attempt.
void clear_box_error();

// Reads one byte into `*dst`. Returns false only when the read fails; true
// when a byte came or, with a limit, when the limit passed (`*dst` then
// unchanged; the caller tells the cases apart by its own clock).
bool read_byte(plat_port port, uint8_t* dst, uint32_t limit_ms);

// Closes the port.
void port_close(plat_port port);

// Prints message 41 with the driver's error value: the line of every open
// or speed change of the port that failed, kept as the attempt's cause.
void report_port_failure();

// Prints message 49 with the last error in hex: a wait for the box that
// ended without its text.
void report_wait_failure();
