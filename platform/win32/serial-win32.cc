// COM ports through the Win32 communications API. The driver keeps the
// line settings and time-outs per handle, so a handle is all there is.
#include "platform/serial.h"
#include "platform/stop.h"

#include <windows.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/win32/fold-win32.h"
#include "platform/win32/stop-win32.h"

namespace {

HANDLE handle_of(plat_port port) { return reinterpret_cast<HANDLE>(port); }

// MinGW's headers lack ERROR_NO_SUCH_DEVICE.
constexpr DWORD kErrNoSuchDevice = 433;

// What drivers report on an open handle whose device hung up or went away
// (an unplugged USB adapter; under Wine a pty whose other end closed). The
// logic above knows one value for all of them, kErrReadAborted (995), the
// one the POSIX backend gives for a hang-up or an I/O error too.
//   5    ERROR_ACCESS_DENIED         on an open handle: its device was removed
//   21   ERROR_NOT_READY             device not ready (Wine: the pty hung up)
//   22   ERROR_BAD_COMMAND           the device no longer takes requests
//   31   ERROR_GEN_FAILURE           the device does not answer its driver
//   55   ERROR_DEV_NOT_EXIST         the device no longer exists
//   433  ERROR_NO_SUCH_DEVICE        the device no longer exists
//   995  ERROR_OPERATION_ABORTED     the driver aborted the request
//   1117 ERROR_IO_DEVICE             I/O device error (POSIX: EIO)
//   1167 ERROR_DEVICE_NOT_CONNECTED  the device is not connected
//   1617 ERROR_DEVICE_REMOVED        the device was removed
// Opening is not mapped: there 5 means a port another program holds.
const DWORD kDeviceGone[] = {
    ERROR_ACCESS_DENIED,        ERROR_NOT_READY,      ERROR_BAD_COMMAND,       ERROR_GEN_FAILURE,
    ERROR_DEV_NOT_EXIST,        kErrNoSuchDevice,     ERROR_OPERATION_ABORTED, ERROR_IO_DEVICE,
    ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED,
};

bool device_gone(DWORD err) {
  for (DWORD e : kDeviceGone) {
    if (e == err) return true;
  }
  return false;
}

// Leaves the failed call's reason as last error, the device-gone family
// folded into kErrReadAborted; the driver's own code stays readable
// through plat_last_driver_error() for the messages.
void map_port_error() {
  DWORD err = GetLastError();
  win32_set_folded_error(err, device_gone(err) ? kErrReadAborted : err);
}

// Sleep(1) lasts a whole scheduler tick (15.6 ms by default) unless the
// timer resolution is raised; the waits below poll at 1 ms. Raised while a
// port is open, the way multimedia programs do it.
constexpr UINT kTimerResolutionMs = 1;
constexpr uint32_t kQuickPollMs = 50;
constexpr DWORD kSlowPollMs = 5;

// Caps a byte count at what one ReadFile or WriteFile takes.
DWORD dword_count(size_t n) { return n > MAXDWORD ? MAXDWORD : static_cast<DWORD>(n); }

// 1 when the driver holds a received byte, 0 when not, -1 on failure.
int rx_queued(HANDLE h) {
  COMSTAT st;
  DWORD errors;
  if (!ClearCommError(h, &errors, &st)) {
    map_port_error();
    return -1;
  }
  return st.cbInQue > 0 ? 1 : 0;
}

// Polls the queue until a byte is there or `limit_ms` passed (0 = no
// limit). Returns as plat_serial_wait_rx does. Every millisecond at first,
// as fast as a block's answer comes; a line silent for longer is looked at
// at the pace of the text wait, so a silent box costs next to nothing.
int poll_rx(HANDLE h, uint32_t limit_ms) {
  uint32_t start = plat_now_ms();
  for (;;) {
    int queued = rx_queued(h);
    if (queued != 0) return queued;
    uint32_t spent = plat_now_ms() - start;
    if (limit_ms != 0 && spent >= limit_ms) return 0;
    // A wait without a limit returns early for a stop request; the caller
    // looks for it.
    if (plat_stop_signal() != kStopNone) return 0;
    DWORD pause = spent < kQuickPollMs ? 1 : kSlowPollMs;
    if (limit_ms != 0 && limit_ms - spent < pause) pause = limit_ms - spent;
    Sleep(pause);
  }
}

}  // namespace

bool plat_serial_device_name(int com_number, char* buf, size_t size) {
  if (com_number < 1) return false;
  // Only COM1-COM9 are predefined DOS names; from 10 on the device
  // namespace prefix is required.
  const char* format = com_number < 10 ? "COM%i" : "\\\\.\\COM%i";
  int n = std::snprintf(buf, size, format, com_number);
  return n > 0 && static_cast<size_t>(n) < size;
}

plat_port plat_serial_open(int com_number) {
  char name[32];
  if (!plat_serial_device_name(com_number, name, sizeof name)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return kNoPort;
  }
  return plat_serial_open_path(name);
}

int plat_serial_port_name(const char* arg, int* com_number) {
  // "COM12" and "\\.\COM12" both name port 12; the number is read like
  // any other, so the port behaves exactly as -p 12.
  const char* p = arg;
  if (std::strncmp(p, "\\\\.\\", 4) == 0) p += 4;
  if (_strnicmp(p, "COM", 3) != 0 || p[3] < '1' || p[3] > '9') return 0;
  int n = 0;
  for (p += 3; *p; p++) {
    if (*p < '0' || *p > '9' || n > 100000) return 0;
    n = n * 10 + (*p - '0');
  }
  *com_number = n;
  return 1;
}

plat_port plat_serial_open_path(const char* name) {
  SECURITY_ATTRIBUTES sa;
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = nullptr;
  sa.bInheritHandle = TRUE;
  // No sharing: a second opener gets ERROR_ACCESS_DENIED, which the caller
  // retries.
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, &sa, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kNoPort;
  timeBeginPeriod(kTimerResolutionMs);
  return reinterpret_cast<plat_port>(h);
}

bool plat_serial_configure(plat_port port, uint32_t baud, bool two_stop_bits, bool write_timeouts) {
  HANDLE h = handle_of(port);
  DCB dcb;
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  // Every other field stays as the driver reports it.
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.fParity = FALSE;
  dcb.StopBits = two_stop_bits ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(h, &dcb)) return false;

  // MAXDWORD with zero totals: a read returns at once with what the driver
  // holds, possibly nothing.
  COMMTIMEOUTS to;
  to.ReadIntervalTimeout = MAXDWORD;
  to.ReadTotalTimeoutMultiplier = 0;
  to.ReadTotalTimeoutConstant = 0;
  to.WriteTotalTimeoutMultiplier = write_timeouts ? 1 : 0;
  to.WriteTotalTimeoutConstant = write_timeouts ? 10 : 0;
  return SetCommTimeouts(h, &to) != 0;
}

bool plat_serial_get_baud(plat_port port, uint32_t* baud) {
  DCB dcb;
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle_of(port), &dcb)) return false;
  *baud = dcb.BaudRate;
  return true;
}

bool plat_serial_set_baud(plat_port port, uint32_t baud) {
  HANDLE h = handle_of(port);
  DCB dcb;
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) return false;
  dcb.BaudRate = baud;
  return SetCommState(h, &dcb) != 0;
}

long plat_serial_read(plat_port port, void* buf, size_t max) {
  DWORD got = 0;
  if (!ReadFile(handle_of(port), buf, dword_count(max), &got, nullptr)) {
    map_port_error();
    return -1;
  }
  return static_cast<long>(got);
}

bool plat_serial_write(plat_port port, const void* data, size_t n, size_t* written) {
  DWORD count = dword_count(n);
  DWORD done = 0;
  BOOL ok = WriteFile(handle_of(port), data, count, &done, nullptr);
  *written = done;
  if (!ok) {
    // ERROR_COUNTER_TIMEOUT is no device fault and passes unchanged.
    map_port_error();
    return false;
  }
  // Some drivers end a timed-out write successfully but short; report it
  // the same way as those that fail it with ERROR_COUNTER_TIMEOUT.
  if (done < n) {
    SetLastError(kErrWriteTimeout);
    return false;
  }
  return true;
}

int plat_serial_wait_rx(plat_port port, uint32_t limit_ms) {
  HANDLE h = handle_of(port);
  // WaitCommEvent has no time limit without overlapped I/O; poll the queue.
  if (limit_ms != 0) return poll_rx(h, limit_ms);
  // The event reports only bytes that arrive after the mask is set, so look
  // at the queue once the mask is in place.
  if (!SetCommMask(h, EV_RXCHAR)) {
    map_port_error();
    return -1;
  }
  int queued = rx_queued(h);
  if (queued != 0) return queued;
  DWORD events = 0;
  // A stop request cancels this wait (CancelSynchronousIo): that is no
  // device error.
  if (!win32_stop_cancellable_begin()) return 0;
  BOOL waited = WaitCommEvent(h, &events, nullptr);
  DWORD err = GetLastError();
  win32_stop_cancellable_end();
  if (!waited) {
    if (plat_stop_signal() != kStopNone) return 0;
    SetLastError(err);
    map_port_error();
    return -1;
  }
  if (events & EV_RXCHAR) return 1;
  // The wait ended without a byte: Wine ends every one after a millisecond
  // on a pty, drivers may on a line error. Asked again at once it would spin
  // (half a core under Wine); the queue is polled for the rest of this wait.
  return poll_rx(h, 0);
}

void plat_serial_close(plat_port port) {
  if (port == kNoPort) return;
  CloseHandle(handle_of(port));
  timeEndPeriod(kTimerResolutionMs);
}

// Nothing to put back here. A Win32 COM driver keeps the line settings
// past the close, but this backend has never put them back at a regular
// close either (every opener, this tool too, sets its own at the open), so
// a run that ends early leaves the port as a regular end would; the handle
// itself is closed by the process end.
void plat_serial_restore_all() {}
