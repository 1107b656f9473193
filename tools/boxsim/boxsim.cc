// boxsim: plays a set-top box's serial bootloader on a pseudo-terminal, so
// that the update tool can be run end to end without hardware.
//
// Written from the box's point of view and on its own: it shares no code or
// constants with the tool, so a test against it checks the tool against a
// second reading of the protocol rather than against itself.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "tools/boxsim/line_rate.h"
#include "tools/boxsim/pace.h"

namespace {

// What the box's firmware sends and expects on the wire.
constexpr unsigned char kSoh = 0x01;
constexpr unsigned char kEot = 0x04;
constexpr unsigned char kAck = 0x06;
constexpr unsigned char kNak = 0x15;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kSyncStart = 0xAF;
constexpr unsigned char kSpeedKeep = 0xFE;
constexpr unsigned char kSpeedF0 = 0xF0;
constexpr unsigned char kSpeedF1 = 0xF1;
constexpr unsigned char kSpeedF2 = 0xF2;
constexpr unsigned kHomeRate = 115200;
constexpr size_t kBlockSize = 132;
constexpr size_t kPayload = 128;

enum class Mode { kSync, kPlain };
enum class EchoMode { kCorrect, kWrong, kNone, kMulti, kBlank };
enum class SpeedMode { kHonour, kIgnore, kAny };

// Points of the dialogue where a fault can be placed.
enum Point { kNoPoint = -1, kKeyword, kGrant, kEcho, kVersion, kDownload, kTransfer, kFinish };
const char* const kPointNames[] = {"keyword",  "grant",    "echo",  "version",
                                   "download", "transfer", "finish"};

struct Options {
  int boxes = 1;
  std::string expect_path;
  bool expect_filler = false;
  int timeout_s = 60;
  std::string link;
  std::string keyword = "qkopacom";
  bool need_keyword = true;
  Mode mode = Mode::kSync;
  std::string grant = "granted\r\n";
  bool send_grant = true;
  EchoMode echo = EchoMode::kCorrect;
  unsigned f0_rate = 230400;
  SpeedMode speed = SpeedMode::kHonour;
  bool read_after_sync = false;
  std::string version = "17.0";
  std::string version_prefix = "\r\nBootloader Version: ";
  std::string second_version;
  bool has_second_version = false;
  int bad_version_times = 0;
  int silent_version_times = 0;
  std::string start_text = "Now start download\r\n";
  int nak_interval_ms = 3000;
  int first_nak_ms = 100;
  int finish_delay_ms = 200;
  std::string progress;
  std::string out_path;
  int nak_block = 0;
  int can_block = 0;
  bool ack_early = false;
  std::string garbage;
  int silent_at = kNoPoint;
  int error_at = kNoPoint;
  int hangup_at = kNoPoint;
  bool endless_version = false;
  std::string error_line;
  bool verbose = false;
};

enum class Stage {
  kWake,       // waiting for the keyword
  kSync,       // echoing digits, waiting for the start byte
  kSpeedByte,  // start byte seen, waiting for the speed byte
  kWaiting,    // identification failed on purpose, waiting for a retry
  kEndless,    // sending a version reply that never ends
  kDownload,   // start text sent, NAKing for the first block
  kReceive,    // XMODEM transfer running
  kFinish,     // EOT seen, "programming the flash"
  kDead,       // stopped answering for good
};

const char* stage_name(Stage s) {
  switch (s) {
    case Stage::kWake: return "wake";
    case Stage::kSync: return "sync";
    case Stage::kSpeedByte: return "speed byte";
    case Stage::kWaiting: return "identification";
    case Stage::kEndless: return "version";
    case Stage::kDownload: return "download";
    case Stage::kReceive: return "transfer";
    case Stage::kFinish: return "finish";
    case Stage::kDead: return "dead";
  }
  return "?";
}

struct Box {
  int number = 0;
  Stage stage = Stage::kWake;
  int keywords = 0;
  int attempts = 0;          // identification attempts begun
  unsigned box_rate = kHomeRate;  // the rate the box's own UART runs at
  unsigned rate_seen = 0;    // line rate of the tool during identification
  bool echo_error_done = false;
  bool reached_download = false;
  // XMODEM receiver
  std::string data;
  std::string block;         // the block being assembled
  unsigned char expect = 1;  // block number expected next (wire value)
  int ordinal = 1;           // 1-based count of the block expected next
  int blocks = 0;
  int naks = 0;
  int duplicates = 0;
  bool nak_fault_done = false;
  bool can_fault_done = false;
  bool transfer_fault_done = false;
  bool ack_early_done = false;
  bool got_eot = false;
  std::string fail;          // first reason this box cannot pass
};

struct Sim {
  Options o;
  int master = -1;
  int slave = -1;
  std::string pty_path;
  std::string out;  // bytes for the tool not yet written
  std::string expect_data;
  bool have_expect = false;
  int64_t t0 = 0;
  int64_t give_up_at = -1;
  Box box;
  std::string keyword_window;
  std::vector<std::string> summary;
  int boxes_ok = 0;
  bool out_file_written = false;
  // Timers, -1 when off.
  int64_t nak_at = -1;
  int64_t block_at = -1;
  int64_t finish_at = -1;
  int64_t pump_at = -1;
  int64_t announce_at = -1;
  // Ending: wait until the tool has read what we sent.
  bool ending = false;
  int64_t end_by = -1;
  int64_t drain_check_at = -1;
  int drained_checks = 0;
};

Sim g;
volatile sig_atomic_t g_stop = 0;

int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

__attribute__((format(printf, 1, 2))) void logv(const char* fmt, ...) {
  if (!g.o.verbose) return;
  fprintf(stderr, "boxsim %6lld ms box %d: ", (long long)(now_ms() - g.t0), g.box.number);
  va_list ap;
  va_start(ap, fmt);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  fputc('\n', stderr);
}

std::string printable(const std::string& s) {
  std::string r;
  for (unsigned char c : s) {
    if (c == '\r') r += "\\r";
    else if (c == '\n') r += "\\n";
    else if (c < 0x20 || c >= 0x7f) {
      char b[8];
      snprintf(b, sizeof b, "\\x%02x", c);
      r += b;
    } else r += char(c);
  }
  return r;
}

// ---- the line ----

void flush_out() {
  while (!g.out.empty()) {
    ssize_t n = write(g.master, g.out.data(), g.out.size());
    if (n > 0) {
      g.out.erase(0, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) logv("write failed: %s", strerror(errno));
    return;
  }
}

bool paced();
void pace_send(const std::string& s);

void send(const std::string& s) {
  if (s.empty()) return;
  if (s.size() < 80) logv("-> \"%s\"", printable(s).c_str());
  if (paced()) return pace_send(s);
  g.out += s;
  flush_out();
}

void send_byte(unsigned char c) { send(std::string(1, char(c))); }

unsigned rate_from_speed_t(speed_t sp) {
  static const struct { speed_t sp; unsigned rate; } kRates[] = {
      {B9600, 9600},     {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
      {B115200, 115200}, {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
      {B576000, 576000}, {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
      {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
      {B3500000, 3500000}, {B4000000, 4000000}};
  for (const auto& r : kRates)
    if (r.sp == sp) return r.rate;
  return 0;
}

// The rate the tool has set on its end: the pty keeps one set of line
// settings, so the master reads back what the slave's opener chose.
unsigned line_rate() {
  unsigned r = kernel_line_rate(g.master);
  if (r != 0) return r;
  termios t{};
  if (tcgetattr(g.master, &t) != 0) return 0;
  return rate_from_speed_t(cfgetospeed(&t));
}

// Bytes received by the slave side that its reader has not taken yet.
int unread_by_tool() {
  int n = 0;
  if (ioctl(g.slave, FIONREAD, &n) != 0) return 0;
  return n;
}

// ---- paced line (--pace) ----
// Bytes take the time the line's rate gives them in both directions. What
// the tool writes is handled as soon as it is read, but every answer leaves
// no earlier than the bytes it answers would have arrived (after a block or
// EOT plus the box's turnaround), and reaches the tool only after the
// adapter's latency. Times are in ns of the monotonic clock.

struct Timed {
  int64_t due;  // when the tool may see it
  char c;
};

struct Pace {
  bool on = false;
  int64_t turnaround_ns = 1000000;
  int64_t latency_ns = 0;
  LineClock to_box;
  LineClock to_tool;
  int64_t event_at = -1;        // arrival of the byte being handled, -1: now
  std::deque<Timed> queue;      // answers on their way to the tool
  int64_t late_ns = 0;          // how late the last answer was handed over
  int64_t transfer_from = -1;   // the tool saw the box's first answer in
                                // the download stage (its NAK for block 1)
};

Pace g_pace;

bool paced() { return g_pace.on; }

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t pace_event_ns() { return g_pace.event_at >= 0 ? g_pace.event_at : now_ns(); }

unsigned line_frame_bits() {
  unsigned bits = kernel_frame_bits(g.master);
  return bits != 0 ? bits : 10;
}

// Bytes for the tool not yet written, paced ones included.
size_t unsent() { return g.out.size() + g_pace.queue.size(); }

// Hands the tool what is due by now.
void pace_release() {
  if (g_pace.queue.empty()) return;
  int64_t t = now_ns();
  while (!g_pace.queue.empty() && g_pace.queue.front().due <= t) {
    // Capped: a credit is only right for the tool's answer to this byte.
    g_pace.late_ns = std::min<int64_t>(t - g_pace.queue.front().due, 1000000);
    g.out += g_pace.queue.front().c;
    g_pace.queue.pop_front();
  }
  flush_out();
}

void pace_send(const std::string& s) {
  int64_t at = pace_event_ns();
  unsigned rate = line_rate();
  unsigned bits = line_frame_bits();
  size_t first = g_pace.queue.size();
  for (char c : s) {
    int64_t done = line_byte_done(&g_pace.to_tool, at, rate, bits);
    g_pace.queue.push_back({done + g_pace.latency_ns, c});
  }
  if (g.box.stage == Stage::kDownload && g_pace.transfer_from < 0)
    g_pace.transfer_from = g_pace.queue[first].due;
  pace_release();
}

// What was not yet sent is gone; the line falls idle.
void drop_unsent() {
  g.out.clear();
  g_pace.queue.clear();
  g_pace.to_tool = LineClock{};
}

// The box answers a complete block or EOT only after its turnaround.
void pace_turnaround() {
  if (g_pace.on) g_pace.event_at = pace_event_ns() + g_pace.turnaround_ns;
}

// EOT has arrived: reports the transfer from the moment the tool saw the
// box's first answer in the download stage to this one. Stop and wait
// allows blocks x (1330 bit times + turnaround + latency) + one byte for it.
void pace_transfer_done(int blocks) {
  if (!g_pace.on || g_pace.transfer_from < 0) return;
  long long us = (pace_event_ns() - g_pace.transfer_from) / 1000;
  printf("PACE BOX %d transfer %lld us blocks %d rate %u bits %u\n", g.box.number, us, blocks,
         line_rate(), line_frame_bits());
  fflush(stdout);
  g_pace.transfer_from = -1;
}

void on_byte(unsigned char c);

// Takes what the tool wrote; paced, each byte is handled at its arrival.
void take_bytes(const unsigned char* buf, ssize_t n) {
  if (!g_pace.on) {
    for (ssize_t i = 0; i < n; ++i) on_byte(buf[i]);
    return;
  }
  // The tool answers what it saw late by our own wake-up: that delay is the
  // simulator's, not the line's or the tool's, so it does not count.
  int64_t t = now_ns() - g_pace.late_ns;
  g_pace.late_ns = 0;
  unsigned rate = line_rate();
  unsigned bits = line_frame_bits();
  for (ssize_t i = 0; i < n; ++i) {
    g_pace.event_at = line_byte_done(&g_pace.to_box, t, rate, bits);
    on_byte(buf[i]);
  }
  g_pace.event_at = -1;
}

// poll, but paced it wakes to the ns for the next answer due.
int wait_line(pollfd* p, int wait_ms) {
  if (!g_pace.on || g_pace.queue.empty()) return poll(p, 1, wait_ms);
  int64_t left = std::max<int64_t>(0, g_pace.queue.front().due - now_ns());
  if (wait_ms >= 0) left = std::min(left, int64_t(wait_ms) * 1000000);
  timespec ts{time_t(left / 1000000000), long(left % 1000000000)};
  return ppoll(p, 1, &ts, nullptr);
}

void pace_start() {
  // Wake-ups late by the default 50 us slack would add up at 921600.
  if (g_pace.on) prctl(PR_SET_TIMERSLACK, 1UL);
}

// ---- run end ----

std::string box_stats(const Box& b) {
  char buf[160];
  snprintf(buf, sizeof buf, "received %zu bytes blocks %d naks %d speed %u keywords %d",
           b.data.size(), b.blocks, b.naks, b.rate_seen, b.keywords);
  return buf;
}

void write_file(const std::string& path, const std::string& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) {
    fprintf(stderr, "boxsim: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return;
  }
  if (!data.empty()) fwrite(data.data(), 1, data.size(), f);
  fclose(f);
}

void write_outputs(const Box& b) {
  if (g.o.out_path.empty() || !b.reached_download) return;
  write_file(g.o.out_path, b.data);
  g.out_file_written = true;
  if (g.o.boxes > 1) write_file(g.o.out_path + "." + std::to_string(b.number), b.data);
}

[[noreturn]] void end_run(int code) {
  if (!g.o.out_path.empty() && !g.out_file_written) write_file(g.o.out_path, "");
  for (const auto& line : g.summary) printf("%s\n", line.c_str());
  bool ok = code == 0 && g.boxes_ok == g.o.boxes;
  printf("RESULT %s\n", ok ? "OK" : "FAIL");
  fflush(stdout);
  if (!g.o.link.empty()) unlink(g.o.link.c_str());
  if (g.master >= 0) close(g.master);
  if (g.slave >= 0) close(g.slave);
  std::exit(code == 0 && !ok ? 1 : code);
}

// Ends the run before every box was served: the current box fails with
// `reason`, the ones after it were never reached.
[[noreturn]] void abort_run(const std::string& reason, int code) {
  if (g.ending) end_run(code);  // every box has its line already
  Box& b = g.box;
  std::string why = b.fail.empty() ? reason : b.fail;
  g.summary.push_back("BOX " + std::to_string(b.number) + " FAIL " + why + " (" + box_stats(b) +
                      ")");
  write_outputs(b);
  for (int n = b.number + 1; n <= g.o.boxes; ++n)
    g.summary.push_back("BOX " + std::to_string(n) + " FAIL not reached");
  end_run(code);
}

[[noreturn]] void hang_up(int point) {
  logv("hanging up at %s", kPointNames[point]);
  close(g.master);
  g.master = -1;
  abort_run(std::string("hangup at ") + kPointNames[point], 1);
}

void stop_timers() { g.nak_at = g.block_at = g.finish_at = g.pump_at = g.announce_at = -1; }

void go_dead(int point) {
  logv("silent from now on (%s)", kPointNames[point]);
  g.box.fail = std::string("silent at ") + kPointNames[point];
  g.box.stage = Stage::kDead;
  stop_timers();
}

// Waits (bounded) until the tool has read everything, then ends the run:
// closing the master earlier would hang up the line under unread bytes.
void begin_ending() {
  g.ending = true;
  stop_timers();
  int64_t t = now_ms();
  g.end_by = t + 3000;
  if (g.give_up_at >= 0 && g.give_up_at < g.end_by) g.end_by = g.give_up_at;
  g.drain_check_at = t + 50;
  g.drained_checks = 0;
}

void start_box(int number);

void finish_box(bool ok, const std::string& verdict, bool run_over) {
  Box& b = g.box;
  // Built up in steps: GCC 12 warns falsely (-Wrestrict) on the chained +.
  std::string line = "BOX ";
  line += std::to_string(b.number);
  line += ' ';
  line += verdict;
  const std::string stats = box_stats(b);
  line += ok ? " " : " (";
  line += stats;
  if (!ok) line += ')';
  g.summary.push_back(line);
  if (ok) g.boxes_ok++;
  write_outputs(b);
  logv("%s", line.c_str());
  if (run_over || b.number >= g.o.boxes)
    begin_ending();
  else
    start_box(b.number + 1);
}

// The tool stops after these, so nothing more will come for later boxes.
void fail_for_good(const std::string& reason) {
  g.box.fail = reason;
  finish_box(false, "FAIL " + reason, true);
}

std::string error_line(int point) {
  if (!g.o.error_line.empty()) return g.o.error_line;
  static const char* const kTexts[] = {
      "keyword rejected",     "access denied",     "sync lost",
      "no valid bootloader",  "download refused",  "transfer aborted",
      "flash programming failed"};
  return std::string("\r\nERROR: ") + kTexts[point] + "\r\n";
}

// ---- identification ----

void announce_version();

void start_attempt(const char* why) {
  Box& b = g.box;
  b.attempts++;
  logv("identification attempt %d (%s)", b.attempts, why);
  if (b.stage == Stage::kEndless) drop_unsent();  // the endless reply stops here
  stop_timers();
}

// A box already in its bootloader with no keyword in plain mode cannot tell
// when the tool opens the line, so it repeats its announcement.
void arm_reannounce() {
  if (g.o.mode == Mode::kPlain && !g.o.need_keyword) g.announce_at = now_ms() + 2000;
}

void start_download() {
  Box& b = g.box;
  if (g.o.silent_at == kDownload) return go_dead(kDownload);
  if (g.o.hangup_at == kDownload) hang_up(kDownload);
  b.reached_download = true;
  if (g.o.error_at == kDownload) {
    send(error_line(kDownload));
    return fail_for_good("error at download");
  }
  send(g.o.start_text);
  b.stage = Stage::kDownload;
  g.nak_at = now_ms() + g.o.first_nak_ms;
  arm_reannounce();
}

void announce_version() {
  Box& b = g.box;
  b.rate_seen = line_rate();
  if (g.o.silent_at == kVersion) return go_dead(kVersion);
  if (g.o.hangup_at == kVersion) hang_up(kVersion);
  send(g.o.garbage);
  b.stage = Stage::kWaiting;
  if (g.o.error_at == kVersion) {
    send(error_line(kVersion));
    return arm_reannounce();
  }
  if (b.attempts <= g.o.bad_version_times) {
    send("Bootloader Version: ???\r\n");
    return arm_reannounce();
  }
  if (b.attempts <= g.o.bad_version_times + g.o.silent_version_times) {
    logv("keeping the version line back");
    return arm_reannounce();
  }
  if (g.o.endless_version) {
    logv("sending a version line without end");
    send(g.o.version_prefix);
    b.stage = Stage::kEndless;
    g.pump_at = now_ms();
    return;
  }
  send(g.o.version_prefix + g.o.version + "\r\n");
  if (g.o.has_second_version) send(g.o.second_version + "\r\n");
  start_download();
}

void on_keyword() {
  Box& b = g.box;
  b.keywords++;
  logv("keyword received (%d)", b.keywords);
  if (!g.o.need_keyword) return;  // a box already in its bootloader ignores it
  if (g.o.silent_at == kKeyword) return go_dead(kKeyword);
  start_attempt("keyword");
  if (g.o.hangup_at == kKeyword) hang_up(kKeyword);
  if (g.o.error_at == kKeyword) send(error_line(kKeyword));
  if (g.o.mode == Mode::kPlain) return announce_version();
  if (g.o.silent_at == kGrant) return go_dead(kGrant);
  if (g.o.hangup_at == kGrant) hang_up(kGrant);
  if (g.o.error_at == kGrant)
    send(error_line(kGrant));
  else if (g.o.send_grant)
    send(g.o.grant);
  b.stage = Stage::kSync;
}

unsigned rate_for_code(unsigned char code) {
  if (code == kSpeedF1) return 460800;
  if (code == kSpeedF2) return 921600;
  return g.o.f0_rate;
}

void echo_digit(unsigned char d) {
  switch (g.o.echo) {
    case EchoMode::kCorrect: return send_byte(d);
    case EchoMode::kWrong: return send_byte(static_cast<unsigned char>('0' + (d - '0' + 1) % 10));
    case EchoMode::kNone: return;
    case EchoMode::kMulti: return send(std::string("x") + char(d));
    case EchoMode::kBlank: return send(std::string(" ") + char(d));
  }
}

void on_sync_byte(unsigned char c) {
  Box& b = g.box;
  if (c >= '0' && c <= '9') {
    b.stage = Stage::kSync;  // digits after the start byte: the tool began again
    if (g.o.silent_at == kEcho) return go_dead(kEcho);
    if (g.o.hangup_at == kEcho) hang_up(kEcho);
    if (g.o.error_at == kEcho && !b.echo_error_done) {
      b.echo_error_done = true;
      return send(error_line(kEcho));
    }
    return echo_digit(c);
  }
  if (b.stage == Stage::kSync) {
    if (c == kSyncStart) {
      logv("start byte");
      b.stage = Stage::kSpeedByte;
      if (g.o.read_after_sync) send("+");
    }
    return;
  }
  // kSpeedByte
  if (c == kSpeedKeep) {
    logv("speed byte: keep (line at %u baud)", line_rate());
    if (g.o.read_after_sync) send("+");
    return announce_version();
  }
  if (c == kSpeedF0 || c == kSpeedF1 || c == kSpeedF2) {
    unsigned r = rate_for_code(c);
    if (g.o.read_after_sync) send("+");
    if (g.o.speed == SpeedMode::kHonour) b.box_rate = r;
    logv("speed code 0x%02X: %u baud, box now at %u", c, r, b.box_rate);
    b.stage = Stage::kSync;  // a second synchronisation follows at the new rate
  }
}

// ---- XMODEM receiver ----

void on_eot() {
  Box& b = g.box;
  if (!b.got_eot) pace_transfer_done(b.blocks);
  pace_turnaround();
  send_byte(kAck);
  if (b.got_eot) return;
  b.got_eot = true;
  b.reached_download = true;
  logv("EOT after %d blocks, %zu bytes", b.blocks, b.data.size());
  b.stage = Stage::kFinish;
  stop_timers();
  if (g.o.silent_at == kFinish) return go_dead(kFinish);
  g.finish_at = now_ms() + g.o.finish_delay_ms;
}

void process_block() {
  Box& b = g.box;
  const std::string blk = std::move(b.block);
  b.block.clear();
  if (!b.transfer_fault_done) {
    b.transfer_fault_done = true;
    if (g.o.silent_at == kTransfer) return go_dead(kTransfer);
    if (g.o.hangup_at == kTransfer) hang_up(kTransfer);
    if (g.o.error_at == kTransfer) {
      send(error_line(kTransfer));
      return fail_for_good("error at transfer");
    }
  }
  const unsigned char n = static_cast<unsigned char>(blk[1]);
  const unsigned char cn = static_cast<unsigned char>(blk[2]);
  unsigned char sum = 0;
  for (size_t i = 3; i < 3 + kPayload; ++i) sum = static_cast<unsigned char>(sum + blk[i]);
  if ((n ^ cn) != 0xFF || sum != static_cast<unsigned char>(blk[3 + kPayload])) {
    logv("block %u damaged (complement %02X, checksum %02X want %02X): NAK", n, cn,
         static_cast<unsigned char>(blk[3 + kPayload]), sum);
    b.naks++;
    return send_byte(kNak);
  }
  if (n == b.expect) {
    if (g.o.nak_block == b.ordinal && !b.nak_fault_done) {
      b.nak_fault_done = true;
      b.naks++;
      logv("block %u: NAK on purpose", n);
      return send_byte(kNak);
    }
    if (g.o.can_block == b.ordinal && !b.can_fault_done) {
      b.can_fault_done = true;
      logv("block %u: CAN on purpose", n);
      return send_byte(kCan);
    }
  } else if (b.blocks > 0 && n == static_cast<unsigned char>(b.expect - 1)) {
    b.duplicates++;
    logv("block %u again: ACK, dropped", n);
    return send_byte(kAck);
  } else {
    // Kept going so the dialogue ends; the box fails in the summary.
    logv("block %u out of sequence, expected %u", n, b.expect);
    if (b.fail.empty())
      b.fail = "block sequence: expected " + std::to_string(b.expect) + " got " +
               std::to_string(n);
  }
  b.data.append(blk, 3, kPayload);
  b.blocks++;
  b.ordinal++;
  b.expect = static_cast<unsigned char>(n + 1);
  send_byte(kAck);
}

void on_xmodem_byte(unsigned char c) {
  Box& b = g.box;
  if (b.block.empty()) {
    if (c == kSoh) {
      b.block.push_back(char(c));
      g.block_at = now_ms() + 1000;
    } else if (c == kEot) {
      on_eot();
    }
    return;
  }
  b.block.push_back(char(c));
  g.block_at = now_ms() + 1000;
  if (b.block.size() == kBlockSize) {
    g.block_at = -1;
    pace_turnaround();
    process_block();
  }
}

bool is_filler(const std::string& d) {
  if (d.size() != 512) return false;
  static const unsigned char kHead[4] = {0x00, 0x00, 0x01, 0x91};
  for (size_t i = 0; i < 400; ++i) {
    unsigned char want = i < 4 ? kHead[i] : 0x01;
    if (static_cast<unsigned char>(d[i]) != want) return false;
  }
  return true;
}

void finish_programming() {
  Box& b = g.box;
  if (g.o.hangup_at == kFinish) hang_up(kFinish);
  if (g.o.error_at == kFinish) {
    send(error_line(kFinish));
    return fail_for_good("error at finish");
  }
  send(g.o.progress);
  send("\r\nfinished!\r\n");

  bool filler = is_filler(b.data);
  if (!b.fail.empty()) return finish_box(false, "FAIL " + b.fail, filler);
  if (b.blocks == 0) return finish_box(false, "FAIL no data", false);
  if (g.o.expect_filler) {
    if (filler) return finish_box(true, "FILLER", true);
    return finish_box(false, "FAIL no filler block", false);
  }
  // After the filler the tool stops: no further box will come.
  if (filler) return finish_box(false, "FAIL filler block received", true);
  if (g.have_expect) {
    std::string want = g.expect_data;
    if (g.o.ack_early) want.erase(0, std::min(want.size(), kPayload));  // block 1 skipped
    size_t padded = (want.size() + kPayload - 1) / kPayload * kPayload;
    if (b.data.size() != padded)
      return finish_box(false, "FAIL length " + std::to_string(b.data.size()) + " expected " +
                                   std::to_string(padded), false);
    if (b.data.compare(0, want.size(), want) != 0) {
      size_t i = 0;
      while (b.data[i] == want[i]) ++i;
      return finish_box(false, "FAIL content differs at byte " + std::to_string(i), false);
    }
  }
  finish_box(true, "OK", false);
}

// ---- byte dispatch ----

bool keyword_matters(Stage s) {
  return s == Stage::kWake || s == Stage::kSync || s == Stage::kSpeedByte ||
         s == Stage::kWaiting || s == Stage::kEndless || s == Stage::kDownload;
}

bool keyword_seen(unsigned char c) {
  const std::string& k = g.o.keyword;
  if (k.empty()) return false;
  g.keyword_window.push_back(char(c));
  if (g.keyword_window.size() > k.size()) g.keyword_window.erase(0, 1);
  if (g.keyword_window != k) return false;
  g.keyword_window.clear();
  return true;
}

void on_byte(unsigned char c) {
  Box& b = g.box;
  if (g.ending || b.stage == Stage::kDead) return;
  if (keyword_matters(b.stage)) {
    unsigned rate = line_rate();
    b.rate_seen = rate;
    if (g.o.speed != SpeedMode::kAny && rate != b.box_rate) {
      // The box's UART runs at another rate: what arrives is noise to it.
      logv("byte 0x%02X at %u baud, box runs at %u: noise", c, rate, b.box_rate);
      return;
    }
    if (keyword_seen(c)) return on_keyword();
  }
  switch (b.stage) {
    case Stage::kWake:
      return;
    case Stage::kSync:
    case Stage::kSpeedByte:
      return on_sync_byte(c);
    case Stage::kWaiting:
    case Stage::kEndless:
    case Stage::kDownload:
      // Digits here mean the tool retries the identification without keyword.
      if (g.o.mode == Mode::kSync && c >= '0' && c <= '9') {
        start_attempt("digits");
        b.stage = Stage::kSync;
        return on_sync_byte(c);
      }
      if (b.stage != Stage::kDownload) return;
      if (c == kSoh) {
        b.stage = Stage::kReceive;
        stop_timers();
        return on_xmodem_byte(c);
      }
      if (c == kEot) return on_eot();
      return;
    case Stage::kReceive:
      return on_xmodem_byte(c);
    case Stage::kFinish:
      if (c == kEot) send_byte(kAck);
      return;
    case Stage::kDead:
      return;
  }
}

void start_box(int number) {
  g.box = Box{};
  g.box.number = number;
  g.keyword_window.clear();
  stop_timers();
  logv("ready");
  if (g.o.need_keyword) return;
  g.box.attempts = 1;
  if (g.o.mode == Mode::kSync) {
    g.box.stage = Stage::kSync;
    return;
  }
  announce_version();
}

void run_timers(int64_t t) {
  Box& b = g.box;
  if (g.nak_at >= 0 && t >= g.nak_at) {
    g.nak_at = t + g.o.nak_interval_ms;
    if (g.o.ack_early && !b.ack_early_done) {
      // The tool must take this as "block 1 done" and start with block 2.
      b.ack_early_done = true;
      b.expect = 2;
      b.ordinal = 2;
      logv("ACK before any block");
      send_byte(kAck);
    } else {
      send_byte(kNak);
    }
  }
  if (g.block_at >= 0 && t >= g.block_at) {
    g.block_at = -1;
    logv("block cut short after %zu bytes: NAK", b.block.size());
    b.block.clear();
    b.naks++;
    send_byte(kNak);
  }
  if (g.pump_at >= 0 && t >= g.pump_at) {
    g.pump_at = t + 1;
    // Paced, the line sets the rate: keep it busy.
    if (unsent() < 4096) send(std::string(paced() ? 4096 - unsent() : 64, 'A'));
  }
  if (g.announce_at >= 0 && t >= g.announce_at) {
    g.announce_at = -1;
    start_attempt("repeat");
    announce_version();
  }
  if (g.finish_at >= 0 && t >= g.finish_at) {
    g.finish_at = -1;
    finish_programming();
  }
}

void check_drained(int64_t t) {
  if (t < g.drain_check_at) return;
  g.drain_check_at = t + 50;
  if (unsent() == 0 && unread_by_tool() == 0)
    g.drained_checks++;
  else
    g.drained_checks = 0;
  if (g.drained_checks >= 3 || t >= g.end_by) end_run(0);
}

void main_loop() {
  for (;;) {
    pace_release();
    int64_t t = now_ms();
    if (g_stop) abort_run("interrupted", 2);
    if (g.give_up_at >= 0 && t >= g.give_up_at) {
      if (g.ending) end_run(0);
      abort_run(std::string("timeout at ") + stage_name(g.box.stage), 2);
    }
    if (g.ending)
      check_drained(t);
    else
      run_timers(t);
    t = now_ms();

    int64_t next = g.give_up_at;
    for (int64_t at : {g.nak_at, g.block_at, g.finish_at, g.pump_at, g.announce_at,
                       g.ending ? g.drain_check_at : int64_t(-1)})
      if (at >= 0 && (next < 0 || at < next)) next = at;
    int wait = -1;
    if (next >= 0) wait = int(std::max<int64_t>(0, std::min<int64_t>(next - t, INT_MAX)));

    pollfd p{g.master, short(POLLIN | (g.out.empty() ? 0 : POLLOUT)), 0};
    int r = wait_line(&p, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      perror("boxsim: poll");
      abort_run("poll failed", 2);
    }
    if (r == 0) continue;
    if (p.revents & POLLOUT) flush_out();
    if (p.revents & POLLIN) {
      unsigned char buf[4096];
      ssize_t n = read(g.master, buf, sizeof buf);
      take_bytes(buf, n);
    } else if (p.revents & (POLLHUP | POLLERR)) {
      usleep(10000);  // cannot happen while we hold the slave; do not spin
    }
  }
}

// ---- start-up ----

void usage(FILE* f) {
  fputs(
      "usage: boxsim [options]\n"
      "Plays a box's serial bootloader on a pseudo-terminal. Prints \"COM <n>\" (the\n"
      "port number for the tool) and \"PTY <path>\", a summary line per box at the end.\n"
      "Exit: 0 every box verified, 1 otherwise, 2 time-out. Texts take \\r \\n \\t \\xHH.\n"
      "  --boxes N               boxes in a row (1)\n"
      "  --expect FILE           received data must be FILE padded to 128\n"
      "  --expect-filler         success means the 400-byte filler block arrived\n"
      "  --out FILE              write the received data (and FILE.<n> with --boxes)\n"
      "  --timeout SEC           give up after SEC seconds, exit 2 (60; 0 = never)\n"
      "  --link PATH             also make a symlink PATH to the pty\n"
      "  --keyword TEXT          wake-up keyword (qkopacom)\n"
      "  --no-keyword            box sits in its bootloader already\n"
      "  --mode sync|plain       plain: no grant, no digit sync (sync)\n"
      "  --grant TEXT            grant reply (granted\\r\\n)\n"
      "  --no-grant              send no grant reply\n"
      "  --echo correct|wrong|none|multi|blank\n"
      "  --speed honour|ignore|any   reaction to a speed code (honour)\n"
      "  --f0-rate N             rate of speed code 0xF0 (230400)\n"
      "  --read-after-sync       send one byte after the start and speed bytes\n"
      "  --version TEXT          bootloader version text (17.0)\n"
      "  --version-prefix TEXT   text before it (\\r\\nBootloader Version: )\n"
      "  --second-version TEXT   a further line after the version line\n"
      "  --bad-version-times N   first N attempts send an unparseable version line\n"
      "  --silent-version-times N  the next N attempts send no version line\n"
      "  --start-text TEXT       download prompt (Now start download\\r\\n)\n"
      "  --nak-interval MS       NAK repeat while waiting for block 1 (3000)\n"
      "  --first-nak MS          delay of the first NAK after the prompt (100)\n"
      "  --finish-delay MS       pause before finished! (200)\n"
      "  --progress TEXT         text sent before finished!\n"
      "  --nak-block N           NAK block N the first time\n"
      "  --can-block N           answer CAN to block N the first time\n"
      "  --ack-early             ACK before the first block (expects block 2 first)\n"
      "  --garbage TEXT          sent before the version line\n"
      "  --silent-at STAGE       stop answering for good\n"
      "  --error-at STAGE        send an ERROR: line there\n"
      "  --error-line TEXT       the ERROR: line to send\n"
      "  --hangup-at STAGE       close the pty and exit\n"
      "  --endless-at version    a version reply that never ends\n"
      "  --pace                  real line timing at the line's rate and frame\n"
      "  --turnaround MS         paced: from a block's last byte to its answer (1)\n"
      "  --latency MS            paced: adapter delay before the tool sees a byte (0)\n"
      "  -v, --verbose           log every step to stderr\n"
      "Summary: BOX <n> OK|FILLER|FAIL <reason> ... naks counts refused blocks;\n"
      "block numbers in --nak-block/--can-block count from 1 without wrapping.\n"
      "Paced, EOT prints PACE BOX <n> transfer <us> us blocks <n> rate <baud> bits <n>\n"
      "(from the tool seeing the box's first answer in the download stage to EOT).\n"
      "--turnaround and --latency imply --pace.\n"
      "STAGE: keyword grant echo version download transfer finish\n",
      f);
}

[[noreturn]] void bad_arg(const char* opt, const char* val) {
  fprintf(stderr, "boxsim: bad value for --%s: %s\n", opt, val);
  exit(2);
}

long number_arg(const char* opt, const char* val, long min) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(val, &end, 10);
  if (errno != 0 || end == val || *end != '\0' || v < min) bad_arg(opt, val);
  return v;
}

// Milliseconds for the paced line, in ns; a minute at most.
int64_t pace_ms_arg(const char* opt, const char* val) {
  long ms = number_arg(opt, val, 0);
  if (ms > 60000) bad_arg(opt, val);
  return int64_t(ms) * 1000000;
}

int point_arg(const char* opt, const char* val) {
  for (int i = 0; i <= kFinish; ++i)
    if (strcmp(val, kPointNames[i]) == 0) return i;
  bad_arg(opt, val);
}

std::string unescape(const char* s) {
  std::string r;
  for (; *s; ++s) {
    if (*s != '\\' || s[1] == '\0') {
      r += *s;
      continue;
    }
    ++s;
    switch (*s) {
      case 'r': r += '\r'; break;
      case 'n': r += '\n'; break;
      case 't': r += '\t'; break;
      case '0': r += '\0'; break;
      case 'x': {
        int v = 0, digits = 0;
        while (digits < 2 && isxdigit(static_cast<unsigned char>(s[1]))) {
          char h = s[1];
          v = v * 16 + (h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
          ++s;
          ++digits;
        }
        r += char(v);
        break;
      }
      default: r += *s; break;
    }
  }
  return r;
}

void parse_options(int argc, char** argv) {
  enum {
    kBoxes = 256, kExpect, kExpectFiller, kTimeout, kLink, kKeywordOpt, kNoKeyword, kMode,
    kGrantOpt, kNoGrant, kEchoOpt, kF0Rate, kSpeed, kReadAfterSync, kVersionOpt, kPrefix,
    kSecond, kBadTimes, kSilentTimes, kStartText, kNakInterval, kFirstNak, kFinishDelay,
    kProgress, kOut, kNakBlock, kCanBlock, kAckEarly, kGarbage, kSilentAt, kErrorAt,
    kErrorLine, kHangupAt, kEndlessAt, kHelp
  };
  enum { kPace = 512, kTurnaround, kLatency };
  static const option kLong[] = {
      {"boxes", required_argument, nullptr, kBoxes},
      {"expect", required_argument, nullptr, kExpect},
      {"expect-filler", no_argument, nullptr, kExpectFiller},
      {"timeout", required_argument, nullptr, kTimeout},
      {"link", required_argument, nullptr, kLink},
      {"keyword", required_argument, nullptr, kKeywordOpt},
      {"no-keyword", no_argument, nullptr, kNoKeyword},
      {"mode", required_argument, nullptr, kMode},
      {"grant", required_argument, nullptr, kGrantOpt},
      {"no-grant", no_argument, nullptr, kNoGrant},
      {"echo", required_argument, nullptr, kEchoOpt},
      {"f0-rate", required_argument, nullptr, kF0Rate},
      {"speed", required_argument, nullptr, kSpeed},
      {"read-after-sync", no_argument, nullptr, kReadAfterSync},
      {"version", required_argument, nullptr, kVersionOpt},
      {"version-prefix", required_argument, nullptr, kPrefix},
      {"second-version", required_argument, nullptr, kSecond},
      {"bad-version-times", required_argument, nullptr, kBadTimes},
      {"silent-version-times", required_argument, nullptr, kSilentTimes},
      {"start-text", required_argument, nullptr, kStartText},
      {"nak-interval", required_argument, nullptr, kNakInterval},
      {"first-nak", required_argument, nullptr, kFirstNak},
      {"finish-delay", required_argument, nullptr, kFinishDelay},
      {"progress", required_argument, nullptr, kProgress},
      {"out", required_argument, nullptr, kOut},
      {"nak-block", required_argument, nullptr, kNakBlock},
      {"can-block", required_argument, nullptr, kCanBlock},
      {"ack-early", no_argument, nullptr, kAckEarly},
      {"garbage", required_argument, nullptr, kGarbage},
      {"silent-at", required_argument, nullptr, kSilentAt},
      {"error-at", required_argument, nullptr, kErrorAt},
      {"error-line", required_argument, nullptr, kErrorLine},
      {"hangup-at", required_argument, nullptr, kHangupAt},
      {"endless-at", required_argument, nullptr, kEndlessAt},
      {"pace", no_argument, nullptr, kPace},
      {"turnaround", required_argument, nullptr, kTurnaround},
      {"latency", required_argument, nullptr, kLatency},
      {"verbose", no_argument, nullptr, 'v'},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0}};
  Options& o = g.o;
  int c;
  while ((c = getopt_long(argc, argv, "vh", kLong, nullptr)) != -1) {
    const char* name = "";
    for (const option* l = kLong; l->name; ++l)
      if (l->val == c) name = l->name;
    switch (c) {
      case kBoxes: o.boxes = int(number_arg(name, optarg, 1)); break;
      case kExpect: o.expect_path = optarg; break;
      case kExpectFiller: o.expect_filler = true; break;
      case kTimeout: o.timeout_s = int(number_arg(name, optarg, 0)); break;
      case kLink: o.link = optarg; break;
      case kKeywordOpt: o.keyword = unescape(optarg); break;
      case kNoKeyword: o.need_keyword = false; break;
      case kMode:
        if (strcmp(optarg, "sync") == 0) o.mode = Mode::kSync;
        else if (strcmp(optarg, "plain") == 0) o.mode = Mode::kPlain;
        else bad_arg(name, optarg);
        break;
      case kGrantOpt: o.grant = unescape(optarg); o.send_grant = true; break;
      case kNoGrant: o.send_grant = false; break;
      case kEchoOpt: {
        static const char* const kNames[] = {"correct", "wrong", "none", "multi", "blank"};
        int i = 0;
        while (i < 5 && strcmp(optarg, kNames[i]) != 0) ++i;
        if (i == 5) bad_arg(name, optarg);
        o.echo = static_cast<EchoMode>(i);
        break;
      }
      case kF0Rate: o.f0_rate = unsigned(number_arg(name, optarg, 1)); break;
      case kSpeed:
        if (strcmp(optarg, "honour") == 0 || strcmp(optarg, "honor") == 0) o.speed = SpeedMode::kHonour;
        else if (strcmp(optarg, "ignore") == 0) o.speed = SpeedMode::kIgnore;
        else if (strcmp(optarg, "any") == 0) o.speed = SpeedMode::kAny;
        else bad_arg(name, optarg);
        break;
      case kReadAfterSync: o.read_after_sync = true; break;
      case kVersionOpt: o.version = unescape(optarg); break;
      case kPrefix: o.version_prefix = unescape(optarg); break;
      case kSecond: o.second_version = unescape(optarg); o.has_second_version = true; break;
      case kBadTimes: o.bad_version_times = int(number_arg(name, optarg, 0)); break;
      case kSilentTimes: o.silent_version_times = int(number_arg(name, optarg, 0)); break;
      case kStartText: o.start_text = unescape(optarg); break;
      case kNakInterval: o.nak_interval_ms = int(number_arg(name, optarg, 1)); break;
      case kFirstNak: o.first_nak_ms = int(number_arg(name, optarg, 0)); break;
      case kFinishDelay: o.finish_delay_ms = int(number_arg(name, optarg, 0)); break;
      case kProgress: o.progress = unescape(optarg); break;
      case kOut: o.out_path = optarg; break;
      case kNakBlock: o.nak_block = int(number_arg(name, optarg, 1)); break;
      case kCanBlock: o.can_block = int(number_arg(name, optarg, 1)); break;
      case kAckEarly: o.ack_early = true; break;
      case kGarbage: o.garbage = unescape(optarg); break;
      case kSilentAt: o.silent_at = point_arg(name, optarg); break;
      case kErrorAt: o.error_at = point_arg(name, optarg); break;
      case kErrorLine: o.error_line = unescape(optarg); break;
      case kHangupAt: o.hangup_at = point_arg(name, optarg); break;
      case kEndlessAt:
        if (strcmp(optarg, "version") != 0) bad_arg(name, optarg);
        o.endless_version = true;
        break;
      case kPace: g_pace.on = true; break;
      case kTurnaround:
        g_pace.on = true;
        g_pace.turnaround_ns = pace_ms_arg(name, optarg);
        break;
      case kLatency:
        g_pace.on = true;
        g_pace.latency_ns = pace_ms_arg(name, optarg);
        break;
      case 'v': o.verbose = true; break;
      case kHelp:
      case 'h': usage(stdout); exit(0);
      default: usage(stderr); exit(2);
    }
  }
  if (optind != argc) {
    fprintf(stderr, "boxsim: unexpected argument %s\n", argv[optind]);
    exit(2);
  }
}

bool read_whole(const std::string& path, std::string* data) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) data->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

void open_pty() {
  g.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (g.master < 0 || grantpt(g.master) != 0 || unlockpt(g.master) != 0) {
    perror("boxsim: pseudo-terminal");
    exit(2);
  }
  char name[128];
  if (ptsname_r(g.master, name, sizeof name) != 0) {
    perror("boxsim: ptsname");
    exit(2);
  }
  g.pty_path = name;
  // Held for our whole life: the tool closes and reopens the port (test open,
  // next box), and without another opener the master would see a hang-up.
  g.slave = open(name, O_RDWR | O_NOCTTY);
  if (g.slave < 0) {
    perror("boxsim: open slave");
    exit(2);
  }
  termios t{};
  tcgetattr(g.slave, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  tcsetattr(g.slave, TCSANOW, &t);
  fcntl(g.master, F_SETFL, fcntl(g.master, F_GETFL) | O_NONBLOCK);
}

void on_signal(int) { g_stop = 1; }

}  // namespace

int main(int argc, char** argv) {
  parse_options(argc, argv);
  pace_start();
  g.t0 = now_ms();
  if (!g.o.expect_path.empty()) {
    if (!read_whole(g.o.expect_path, &g.expect_data)) {
      fprintf(stderr, "boxsim: cannot read %s\n", g.o.expect_path.c_str());
      return 2;
    }
    g.have_expect = true;
  }
  open_pty();

  int pts = -1;
  if (sscanf(g.pty_path.c_str(), "/dev/pts/%d", &pts) != 1) {
    fprintf(stderr, "boxsim: unexpected pty name %s\n", g.pty_path.c_str());
    return 2;
  }
  if (!g.o.link.empty()) {
    struct stat st{};
    if (lstat(g.o.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(g.o.link.c_str());
    if (symlink(g.pty_path.c_str(), g.o.link.c_str()) != 0) {
      fprintf(stderr, "boxsim: cannot link %s: %s\n", g.o.link.c_str(), strerror(errno));
      return 2;
    }
  }

  struct sigaction sa{};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  printf("COM %d\nPTY %s\n", 1000 + pts, g.pty_path.c_str());
  fflush(stdout);

  if (g.o.timeout_s > 0) g.give_up_at = g.t0 + int64_t(g.o.timeout_s) * 1000;
  start_box(1);
  main_loop();
}
