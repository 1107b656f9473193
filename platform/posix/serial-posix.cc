// Serial devices on Linux, made to behave like the Win32 COM port the
// serial logic was written against: exclusive open, raw 8N1, reads that
// return at once, and writes cut short by a time-out of 1 ms per byte + 10.
#include "platform/serial.h"
#include "platform/stop.h"
#include "platform/posix/stop-posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <atomic>
#include <cstddef>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/posix/termios2.h"

namespace {

// COM numbers to device names. The serial ports follow the numbering that
// other Windows-on-Linux layers use (COM n is ttyS(n-1)); USB and ACM
// adapters get blocks of their own; 1000 and up are pseudo-terminals, the
// way to reach simulators and network serial bridges.
struct ComRange {
  int first_com;
  int count;
  const char* prefix;
};

const ComRange kComRanges[] = {
    {1, 32, "/dev/ttyS"},
    {33, 32, "/dev/ttyUSB"},
    {65, 32, "/dev/ttyACM"},
    {1000, INT_MAX - 1000, "/dev/pts/"},
};

const ComRange* find_com_range(int com_number) {
  for (const ComRange& r : kComRanges) {
    if (com_number >= r.first_com && com_number - r.first_com < r.count) return &r;
  }
  return nullptr;
}

// Rates termios names with a constant; all others go through termios2.
struct StdSpeed {
  uint32_t baud;
  speed_t code;
};

const StdSpeed kStdSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
    {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
};

// Returns the termios constant for `baud`, or B0 when it has none.
speed_t find_std_speed(uint32_t baud) {
  for (const StdSpeed& s : kStdSpeeds) {
    if (s.baud == baud) return s.code;
  }
  return B0;
}

// What a handle stands for. Win32 keeps the time-out setting in the driver;
// here the write has to know it.
struct Port {
  int fd;
  bool write_timeouts;
  bool have_saved;
  termios saved;
  bool set_low_latency;  // we turned the driver's low-latency mode on
  bool set_exclusive;    // we put the tty in exclusive mode
};

// The open ports live in a fixed table, not on the heap, so that the end of
// the run (the exit routine, a signal) can put every one of them back
// without allocating or taking a lock. A slot is claimed before its port is
// filled in and given back after the port is closed; `used` is what
// restore_all trusts, and it is set only once the slot is complete.
constexpr int kMaxPorts = 16;

struct PortSlot {
  Port port;
  std::atomic<bool> used;
};

PortSlot g_slots[kMaxPorts];
std::atomic<bool> g_claimed[kMaxPorts];

Port* port_of(plat_port port) { return reinterpret_cast<Port*>(port); }

// Returns a free slot's index, or -1 when all are taken.
int claim_slot() {
  for (int i = 0; i < kMaxPorts; ++i) {
    bool expected = false;
    if (g_claimed[i].compare_exchange_strong(expected, true)) {
      g_slots[i].port = Port{};
      return i;
    }
  }
  return -1;
}

int slot_of(Port* p) { return static_cast<int>(reinterpret_cast<PortSlot*>(p) - g_slots); }

void release_slot(int i) {
  g_slots[i].used.store(false);
  g_claimed[i].store(false);
}

bool fail_errno() {
  plat_set_last_error(static_cast<uint32_t>(errno));
  return false;
}

// The errors of a device that is gone (hung up, unplugged) become the one
// value the serial logic tests for.
bool fail_io_errno() {
  bool gone = errno == EIO || errno == ENXIO || errno == ENODEV;
  plat_set_last_error(gone ? kErrReadAborted : static_cast<uint32_t>(errno));
  return false;
}

// Sets `baud` on `fd` whose other settings are already in `t`.
// Returns true on success.
bool apply_baud(int fd, termios* t, uint32_t baud) {
  if (baud == 0) {
    // B0 would hang the line up, which no caller means.
    plat_set_last_error(EINVAL);
    return false;
  }
  speed_t code = find_std_speed(baud);
  if (code != B0) cfsetspeed(t, code);
  if (tcsetattr(fd, TCSANOW, t) != 0) return fail_errno();
  if (code == B0) {
    int err = termios2_set_baud(fd, baud);
    if (err != 0) {
      plat_set_last_error(static_cast<uint32_t>(err));
      return false;
    }
  }
  return true;
}

// USB serial adapters hold received bytes for their latency timer (16 ms on
// common chips) before passing them on, and XMODEM waits for every answer:
// that timer, not the rate, sets the pace. Drivers that know low-latency
// mode shorten it; ptys and others refuse, and the port works as it is.
void ask_low_latency(Port* p) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
  serial_struct ss{};
  if (ioctl(p->fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY) != 0) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  p->set_low_latency = ioctl(p->fd, TIOCSSERIAL, &ss) == 0;
#else
  (void)p;
#endif
}

// Puts the flag back as it was before the open.
void drop_low_latency(Port* p) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
  serial_struct ss{};
  if (p->set_low_latency && ioctl(p->fd, TIOCGSERIAL, &ss) == 0) {
    ss.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(p->fd, TIOCSSERIAL, &ss);
  }
#else
  (void)p;
#endif
}

// A pty slave whose master closed reads as end of file without an error;
// only poll tells that apart from "nothing yet". Returns true if hung up.
bool hung_up(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR)) != 0;
}

constexpr int kStopped = -2;

// Waits up to `wait_ms` (-1: no limit) for `events` on `fd` or for a stop
// request, whichever comes first. The request is looked for before the
// wait too: one that came just before it would not interrupt it. Returns
// 1 with `*revents` set, 0 when the time passed (or a signal that is no
// request interrupted it), kStopped, or -1 with errno.
int poll_with_stop(int fd, short events, int wait_ms, short* revents = nullptr) {
  if (plat_stop_signal() != kStopNone) return kStopped;
  pollfd pf[1 + kStopPollFds] = {{fd, events, 0}};
  int n = stop_poll_fds(pf + 1);
  int r = poll(pf, 1 + n, wait_ms);
  if (plat_stop_signal() != kStopNone) return kStopped;
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (revents != nullptr) *revents = pf[0].revents;
  return pf[0].revents != 0 ? 1 : 0;
}

}  // namespace

bool plat_serial_device_name(int com_number, char* buf, size_t size) {
  const ComRange* r = find_com_range(com_number);
  if (r == nullptr) return false;
  int n = std::snprintf(buf, size, "%s%d", r->prefix, com_number - r->first_com);
  return n > 0 && static_cast<size_t>(n) < size;
}

plat_port plat_serial_open(int com_number) {
  char name[64];
  if (!plat_serial_device_name(com_number, name, sizeof name)) {
    plat_set_last_error(ENOENT);
    return kNoPort;
  }
  return plat_serial_open_path(name);
}

int plat_serial_port_name(const char* arg, int* com_number) {
  (void)com_number;
  return arg[0] == '/' ? 2 : 0;
}

plat_port plat_serial_open_path(const char* name) {
  int slot = claim_slot();
  if (slot < 0) {
    plat_set_last_error(EMFILE);
    return kNoPort;
  }
  Port* p = &g_slots[slot].port;
  // O_NOCTTY: the tool must not become the line's session leader and get
  // SIGHUP when the device goes away. O_NONBLOCK: a UART without carrier
  // (CLOCAL still off) would hold the open until a carrier comes. The flag
  // stays: reads return at once by design, and writes wait in poll, where
  // their time limit is kept.
  p->fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p->fd < 0) {
    fail_errno();
    release_slot(slot);
    return kNoPort;
  }
  // Win32 opens COM ports unshared; flock gives the same to every process
  // that asks, TIOCEXCL also to those that don't. Root is let through a
  // TIOCEXCL line by the kernel, so a line another program holds that way
  // is refused here, before it is touched, as busy as a flock'ed one.
  int excl = 0;
#ifdef TIOCGEXCL
  if (ioctl(p->fd, TIOCGEXCL, &excl) != 0) excl = 0;
#endif
  if (excl != 0 || flock(p->fd, LOCK_EX | LOCK_NB) != 0) {
    plat_set_last_error(excl != 0 || errno == EWOULDBLOCK ? EBUSY : errno);
    close(p->fd);
    release_slot(slot);
    return kNoPort;
  }
  p->set_exclusive = ioctl(p->fd, TIOCEXCL) == 0;
  ask_low_latency(p);
  g_slots[slot].used.store(true);
  return reinterpret_cast<plat_port>(p);
}

bool plat_serial_configure(plat_port port, uint32_t baud, bool two_stop_bits, bool write_timeouts) {
  Port* p = port_of(port);
  termios t;
  if (tcgetattr(p->fd, &t) != 0) return fail_errno();
  if (!p->have_saved) {
    p->saved = t;
    // restore_all may run from a signal: it must never see the flag
    // before the settings it guards.
    std::atomic_signal_fence(std::memory_order_seq_cst);
    p->have_saved = true;
  }
  cfmakeraw(&t);
  t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  if (two_stop_bits) t.c_cflag |= CSTOPB;
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  // Reads return at once with what is there; the callers poll.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (!apply_baud(p->fd, &t, baud)) return false;
  // A pseudo-terminal has no modem lines and refuses this; that is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(p->fd, TIOCMBIC, &lines);
  p->write_timeouts = write_timeouts;
  return true;
}

bool plat_serial_get_baud(plat_port port, uint32_t* baud) {
  int err = termios2_get_baud(port_of(port)->fd, baud);
  if (err != 0) {
    plat_set_last_error(static_cast<uint32_t>(err));
    return false;
  }
  return true;
}

bool plat_serial_set_baud(plat_port port, uint32_t baud) {
  Port* p = port_of(port);
  termios t;
  if (tcgetattr(p->fd, &t) != 0) return fail_errno();
  return apply_baud(p->fd, &t, baud);
}

long plat_serial_read(plat_port port, void* buf, size_t max) {
  int fd = port_of(port)->fd;
  ssize_t r = read(fd, buf, max);
  if (r > 0) return static_cast<long>(r);
  if (r == 0) {
    if (max > 0 && hung_up(fd)) {
      plat_set_last_error(kErrReadAborted);
      return -1;
    }
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  fail_io_errno();
  return -1;
}

bool plat_serial_write(plat_port port, const void* data, size_t n, size_t* written) {
  Port* p = port_of(port);
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  // The Win32 total write time-out: 1 ms per byte plus 10 ms.
  uint64_t limit = static_cast<uint64_t>(n) + 10;
  uint32_t start = plat_now_ms();
  size_t done = 0;
  while (done < n) {
    ssize_t r = write(p->fd, bytes + done, n - done);
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *written = done;
      return fail_io_errno();
    }
    int wait = -1;
    if (p->write_timeouts) {
      uint32_t elapsed = plat_now_ms() - start;
      if (elapsed >= limit) {
        *written = done;
        plat_set_last_error(kErrWriteTimeout);
        return false;
      }
      uint64_t left = limit - elapsed;
      wait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    // A write without a limit waits for the far end for as long as it
    // takes: a stop request ends it.
    int ready = poll_with_stop(p->fd, POLLOUT, wait);
    if (ready == kStopped) {
      *written = done;
      plat_set_last_error(EINTR);
      return false;
    }
    if (ready < 0) {
      *written = done;
      return fail_errno();
    }
  }
  *written = done;
  return true;
}

int plat_serial_wait_rx(plat_port port, uint32_t limit_ms) {
  int fd = port_of(port)->fd;
  uint32_t start = plat_now_ms();
  for (;;) {
    int wait = -1;
    if (limit_ms != 0) {
      uint32_t elapsed = plat_now_ms() - start;
      if (elapsed >= limit_ms) return 0;
      uint32_t left = limit_ms - elapsed;
      wait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }
    short revents = 0;
    int r = poll_with_stop(fd, POLLIN, wait, &revents);
    // A stop request ends a wait that may have no limit; the caller looks
    // for it.
    if (r == kStopped) return 0;
    if (r < 0) {
      fail_errno();
      return -1;
    }
    if (r == 0) continue;
    if (revents & (POLLHUP | POLLERR)) {
      plat_set_last_error(kErrReadAborted);
      return -1;
    }
    if (revents & POLLNVAL) {
      plat_set_last_error(EBADF);
      return -1;
    }
    if (revents & POLLIN) return 1;
  }
}

void plat_serial_close(plat_port port) {
  if (port == kNoPort) return;
  Port* p = port_of(port);
  int slot = slot_of(p);
  // Out of restore_all's sight before anything is put back and closed.
  g_slots[slot].used.store(false);
  // TCSADRAIN: a UART still sending must finish at the speed it started
  // with. Never flush: on a pty that loses bytes the far end has not read.
  if (p->have_saved) tcsetattr(p->fd, TCSADRAIN, &p->saved);
  drop_low_latency(p);
  // The exclusive mode belongs to the tty, not to this descriptor; clear it
  // so a simulator holding the line open does not lock the next opener out.
  // Only ours: a mode someone else set is theirs to clear.
  if (p->set_exclusive) ioctl(p->fd, TIOCNXCL);
  flock(p->fd, LOCK_UN);
  close(p->fd);
  release_slot(slot);
}

void plat_serial_restore_all() {
  for (PortSlot& s : g_slots) {
    if (!s.used.load()) continue;
    Port* p = &s.port;
    // TCSANOW: the run is ending, and a drain could wait for good on a line
    // that no longer moves. Nothing is flushed either way.
    if (p->have_saved) tcsetattr(p->fd, TCSANOW, &p->saved);
    drop_low_latency(p);
    if (p->set_exclusive) ioctl(p->fd, TIOCNXCL);
  }
}
