// The serial device primitives the port layer (serial/port.h) builds on.
// Every failure leaves its reason in plat_last_error().
#pragma once
#include <cstddef>
#include <cstdint>

using plat_port = intptr_t;
constexpr plat_port kNoPort = -1;

// One attempt to open COM port `com_number` exclusively. A port held by
// another opener fails (busy); the caller retries. The open never waits
// for a carrier, and a line another program holds exclusively (POSIX:
// TIOCEXCL) counts as held even where the system would let us in.
plat_port plat_serial_open(int com_number);

// The same for the device at `path` (a port given by its device name).
plat_port plat_serial_open_path(const char* path);

// Reads a port argument that names a device rather than a number. Returns
// 2 when `arg` is a device path to open as given (POSIX: it begins with
// "/"), 1 with `*com_number` set when it names a COM number by its device
// name (Windows: "COM12", "\\.\COM12"), 0 otherwise (the caller reads a
// number).
int plat_serial_port_name(const char* arg, int* com_number);

// Applies the tool's line settings: `baud`, 8 data bits, no parity, one or
// two stop bits, no flow control, DTR and RTS off, reads that never block.
// With `write_timeouts` a write may take 1 ms per byte + 10 ms before it is
// cut short. Where a device keeps its settings past the close (a POSIX
// tty), those found at the first configure are restored at close. Returns
// true on success.
bool plat_serial_configure(plat_port port, uint32_t baud, bool two_stop_bits, bool write_timeouts);

// Reads back the line speed. Returns true on success.
bool plat_serial_get_baud(plat_port port, uint32_t* baud);

// Changes only the line speed; standard and arbitrary rates. Returns true
// on success.
bool plat_serial_set_baud(plat_port port, uint32_t baud);

// Reads what has arrived, up to `max` bytes, without waiting. Returns the
// count (0 when nothing is there) or -1 on failure (kErrReadAborted when the
// device hung up or failed).
long plat_serial_read(plat_port port, void* buf, size_t max);

// Writes `n` bytes; `*written` receives the count that went out. Without
// write time-outs it returns only when all went out or the call failed.
// Returns true when all bytes went out; false with kErrWriteTimeout when the
// write time-out cut it short, kErrReadAborted when the device is gone
// (hung up, unplugged), or with the platform error.
bool plat_serial_write(plat_port port, const void* data, size_t n, size_t* written);

// Waits until at least one byte can be read, or `limit_ms` passed (0 = no
// limit). Returns 1 when a byte is there, 0 when the limit passed, -1 on
// failure (kErrReadAborted on hang-up).
int plat_serial_wait_rx(plat_port port, uint32_t limit_ms);

// Restores the saved settings and closes the device.
void plat_serial_close(plat_port port);

// Puts back, on every port still open, what the open and the configure
// changed (POSIX: the saved termios settings, the driver's low-latency
// flag, the exclusive mode), without closing anything and without waiting
// for output to drain. For the ends of a run that leave a port open: the
// exit routine, and a signal's way out. Works on a fixed table with
// tcsetattr and ioctl only: no allocation, no lock, so it may run where a
// signal interrupted anything else of this layer. The ports stay usable,
// and a later close still closes them. Windows: nothing to do (see there).
void plat_serial_restore_all();

// The device path of a COM number under this platform's naming, written
// into `buf`. Returns false when the number names no device.
bool plat_serial_device_name(int com_number, char* buf, size_t size);
