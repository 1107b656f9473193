#include "tools/boxsim/line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/boxsim/line_rate.h"

namespace {

void flush_out(Line* l) {
  while (!l->out.empty()) {
    ssize_t n = write(l->master, l->out.data(), l->out.size());
    if (n > 0) {
      l->out.erase(0, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) logv(*l->log, "write failed: %s", strerror(errno));
    return;
  }
}

unsigned rate_from_speed_t(speed_t sp) {
  static const struct {
    speed_t sp;
    unsigned rate;
  } kRates[] = {{B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
                {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
                {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
                {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
                {B3500000, 3500000}, {B4000000, 4000000}};
  for (const auto& r : kRates)
    if (r.sp == sp) return r.rate;
  return 0;
}

unsigned line_frame_bits(const Line& l) {
  unsigned bits = kernel_frame_bits(l.master);
  return bits != 0 ? bits : 10;
}

int64_t pace_event_ns(const Line& l) { return l.event_at >= 0 ? l.event_at : now_ns(); }

void pace_send(Line* l, const std::string& s, bool download) {
  int64_t at = pace_event_ns(*l);
  unsigned rate = line_rate(*l);
  unsigned bits = line_frame_bits(*l);
  size_t first = l->queue.size();
  for (char c : s) {
    int64_t done = line_byte_done(&l->to_tool, at, rate, bits);
    l->queue.push_back({done + l->latency_ns, c});
  }
  if (download && l->transfer_from < 0) l->transfer_from = l->queue[first].due;
  line_release(l);
}

// Takes what the tool wrote; paced, each byte is handled at its arrival.
void take_bytes(Line* l, const unsigned char* buf, ssize_t n, ByteHandler on_byte, void* ctx) {
  if (!l->paced) {
    for (ssize_t i = 0; i < n; ++i) on_byte(ctx, buf[i]);
    return;
  }
  // The tool answers what it saw late by our own wake-up: that delay is the
  // simulator's, not the line's or the tool's, so it does not count.
  int64_t t = now_ns() - l->late_ns;
  l->late_ns = 0;
  unsigned rate = line_rate(*l);
  unsigned bits = line_frame_bits(*l);
  for (ssize_t i = 0; i < n; ++i) {
    l->event_at = line_byte_done(&l->to_box, t, rate, bits);
    on_byte(ctx, buf[i]);
  }
  l->event_at = -1;
}

// poll, but paced it wakes to the ns for the next answer due.
int wait_line(const Line& l, pollfd* p, nfds_t n, int wait_ms) {
  if (!l.paced || l.queue.empty()) return poll(p, n, wait_ms);
  int64_t left = std::max<int64_t>(0, l.queue.front().due - now_ns());
  if (wait_ms >= 0) left = std::min(left, int64_t(wait_ms) * 1000000);
  timespec ts{time_t(left / 1000000000), long(left % 1000000000)};
  return ppoll(p, n, &ts, nullptr);
}

// True when the tool's end was closed since the last call.
bool tool_closed(Line* l) {
  bool closed = false;
  alignas(inotify_event) char buf[4096];
  ssize_t n;
  while ((n = read(l->closes, buf, sizeof buf)) > 0) {
    for (ssize_t at = 0; at < n;) {
      const inotify_event* e = reinterpret_cast<const inotify_event*>(buf + at);
      if (e->mask & IN_CLOSE) closed = true;
      at += ssize_t(sizeof *e + e->len);
    }
  }
  return closed;
}

// The target of symlink `path`, "" when it is none.
std::string link_target(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, size_t(n)) : std::string();
}

}  // namespace

void line_open(Line* l, const Log* log, bool paced, int64_t turnaround_ns, int64_t latency_ns,
               bool watch_closes) {
  l->log = log;
  l->paced = paced;
  l->turnaround_ns = turnaround_ns;
  l->latency_ns = latency_ns;
  // Wake-ups late by the default 50 us slack would add up at 921600.
  if (paced) prctl(PR_SET_TIMERSLACK, 1UL);
  l->master = posix_openpt(O_RDWR | O_NOCTTY);
  if (l->master < 0 || grantpt(l->master) != 0 || unlockpt(l->master) != 0) {
    perror("boxsim: pseudo-terminal");
    exit(2);
  }
  char name[128];
  if (ptsname_r(l->master, name, sizeof name) != 0) {
    perror("boxsim: ptsname");
    exit(2);
  }
  l->pty_path = name;
  // Held for our whole life: the tool closes and reopens the port (test open,
  // next box), and without another opener the master would see a hang-up.
  l->slave = open(name, O_RDWR | O_NOCTTY);
  if (l->slave < 0) {
    perror("boxsim: open slave");
    exit(2);
  }
  termios t{};
  tcgetattr(l->slave, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(l->slave, TCSANOW, &t);
  fcntl(l->master, F_SETFL, fcntl(l->master, F_GETFL) | O_NONBLOCK);
  if (!watch_closes) return;
  // Our own slave end is open already and stays so: every close seen is
  // another opener's, the tool's.
  l->closes = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (l->closes < 0 || inotify_add_watch(l->closes, name, IN_CLOSE) < 0) {
    perror("boxsim: inotify");
    exit(2);
  }
}

bool line_link(Line* l, const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 &&
      (!S_ISLNK(st.st_mode) || link_target(path).rfind("/dev/pts/", 0) != 0)) {
    fprintf(stderr, "boxsim: %s exists and is no link to a pseudo-terminal: left as it is\n",
            path.c_str());
    return false;
  }
  // Made beside it and renamed over it: the path never leads nowhere.
  std::string tmp = path + ".boxsim-" + std::to_string(getpid());
  unlink(tmp.c_str());
  if (symlink(l->pty_path.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    fprintf(stderr, "boxsim: cannot link %s: %s\n", path.c_str(), strerror(errno));
    unlink(tmp.c_str());
    return false;
  }
  l->link = path;
  return true;
}

void line_close(Line* l) {
  // Another simulator may have taken the path over since.
  if (!l->link.empty() && link_target(l->link) == l->pty_path) unlink(l->link.c_str());
  if (l->closes >= 0) close(l->closes);
  if (l->master >= 0) close(l->master);
  if (l->slave >= 0) close(l->slave);
}

void line_hang_up(Line* l) {
  close(l->master);
  l->master = -1;
}

void line_send(Line* l, const std::string& s, bool download) {
  if (l->paced) return pace_send(l, s, download);
  l->out += s;
  flush_out(l);
}

// The pty keeps one set of line settings, so the master reads back what
// the slave's opener chose.
unsigned line_rate(const Line& l) {
  unsigned r = kernel_line_rate(l.master);
  if (r != 0) return r;
  termios t{};
  if (tcgetattr(l.master, &t) != 0) return 0;
  return rate_from_speed_t(cfgetospeed(&t));
}

size_t line_unsent(const Line& l) { return l.out.size() + l.queue.size(); }

int line_unread_by_tool(const Line& l) {
  int n = 0;
  if (ioctl(l.slave, FIONREAD, &n) != 0) return 0;
  return n;
}

void line_release(Line* l) {
  if (l->queue.empty()) return;
  int64_t t = now_ns();
  while (!l->queue.empty() && l->queue.front().due <= t) {
    // Capped: a credit is only right for the tool's answer to this byte.
    l->late_ns = std::min<int64_t>(t - l->queue.front().due, 1000000);
    l->out += l->queue.front().c;
    l->queue.pop_front();
  }
  flush_out(l);
}

void line_drop_unsent(Line* l) {
  l->out.clear();
  l->queue.clear();
  l->to_tool = LineClock{};
}

void line_fresh(Line* l) {
  line_drop_unsent(l);
  tcflush(l->slave, TCIFLUSH);
}

void line_turnaround(Line* l) {
  if (l->paced) l->event_at = pace_event_ns(*l) + l->turnaround_ns;
}

// Stop and wait allows blocks x (1330 bit times + turnaround + latency) +
// one byte for it.
void line_transfer_done(Line* l, int box, int blocks) {
  if (!l->paced || l->transfer_from < 0) return;
  long long us = (pace_event_ns(*l) - l->transfer_from) / 1000;
  printf("PACE BOX %d transfer %lld us blocks %d rate %u bits %u\n", box, us, blocks, line_rate(*l),
         line_frame_bits(*l));
  fflush(stdout);
  l->transfer_from = -1;
}

int line_serve(Line* l, int wait_ms, ByteHandler on_byte, CloseHandler on_close, void* ctx) {
  pollfd p[2] = {{l->master, short(POLLIN | (l->out.empty() ? 0 : POLLOUT)), 0},
                 {l->closes, POLLIN, 0}};
  int r = wait_line(*l, p, l->closes >= 0 ? 2 : 1, wait_ms);
  if (r <= 0) return r;
  if (p[0].revents & POLLOUT) flush_out(l);
  // A close goes first: bytes read with it may be the next run's, for the
  // next box, and the box the tool left needs none that came before it.
  if (l->closes >= 0 && (p[1].revents & POLLIN) && tool_closed(l)) on_close(ctx);
  if (p[0].revents & POLLIN) {
    unsigned char buf[4096];
    ssize_t n = read(l->master, buf, sizeof buf);
    take_bytes(l, buf, n, on_byte, ctx);
  } else if (p[0].revents & (POLLHUP | POLLERR)) {
    usleep(10000);  // cannot happen while we hold the slave; do not spin
  }
  return r;
}
