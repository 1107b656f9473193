#include "tools/boxsim/dialogue.h"

#include <cstdlib>
#include <utility>

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
constexpr size_t kBlockSize = 132;

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

// Sends `s` to the tool. In the download stage the box's first answer
// starts the paced transfer's timing.
void say(Dialogue* d, const std::string& s) {
  if (s.empty()) return;
  if (s.size() < 80) logv(*d->log, "-> \"%s\"", printable(s).c_str());
  line_send(d->line, s, d->box.stage == Stage::kDownload);
}

void say_byte(Dialogue* d, unsigned char c) { say(d, std::string(1, char(c))); }

// ---- run end ----

[[noreturn]] void end_run(Dialogue* d, int code) {
  int exit_code = report_end(&d->report, *d->cfg, code);
  line_close(d->line);
  std::exit(exit_code);
}

[[noreturn]] void hang_up(Dialogue* d, int point) {
  logv(*d->log, "hanging up at %s", point_name(point));
  line_hang_up(d->line);
  dialogue_abort(d, std::string("hangup at ") + point_name(point), 1);
}

void stop_timers(Dialogue* d) {
  d->nak_at = d->block_at = d->finish_at = d->pump_at = d->announce_at = -1;
}

// Notes the first fault the box met: with faults on some boxes only, the
// box is done once the tool closes the line after it.
void met(Dialogue* d, const std::string& fault) {
  if (d->box.fault_met.empty()) d->box.fault_met = fault;
}

void go_dead(Dialogue* d, int point) {
  logv(*d->log, "silent from now on (%s)", point_name(point));
  d->box.fail = std::string("silent at ") + point_name(point);
  met(d, d->box.fail);
  d->box.stage = Stage::kDead;
  stop_timers(d);
}

// Waits (bounded) until the tool has read everything, then ends the run:
// closing the master earlier would hang up the line under unread bytes.
void begin_ending(Dialogue* d) {
  d->ending = true;
  stop_timers(d);
  int64_t t = now_ms();
  d->end_by = t + 3000;
  if (d->give_up_at >= 0 && d->give_up_at < d->end_by) d->end_by = d->give_up_at;
  d->drain_check_at = t + 50;
  d->drained_checks = 0;
}

void start_box(Dialogue* d, int number);

void finish_box(Dialogue* d, bool ok, const std::string& verdict, bool run_over) {
  const Box& b = d->box;
  std::string line = report_box(&d->report, *d->cfg, b, ok, verdict);
  logv(*d->log, "%s", line.c_str());
  if (run_over || b.number >= d->cfg->boxes) begin_ending(d);
  else start_box(d, b.number + 1);
}

// The tool stops after these, so nothing more will come for later boxes,
// unless faults go to some boxes only: the next box is then a good one.
void fail_for_good(Dialogue* d, const std::string& reason) {
  d->box.fail = reason;
  finish_box(d, false, "FAIL " + reason, !faults_per_box(*d->cfg));
}

std::string error_line(const Dialogue* d, int point) {
  if (!d->cfg->error_line.empty()) return d->cfg->error_line;
  static const char* const kTexts[] = {
      "keyword rejected",        "access denied",    "sync lost",
      "no valid bootloader",     "download refused", "transfer aborted",
      "flash programming failed"};
  return std::string("\r\nERROR: ") + kTexts[point] + "\r\n";
}

// ---- identification ----

void start_attempt(Dialogue* d, const char* why) {
  Box& b = d->box;
  b.attempts++;
  logv(*d->log, "identification attempt %d (%s)", b.attempts, why);
  if (b.stage == Stage::kEndless) line_drop_unsent(d->line);  // the endless reply stops here
  stop_timers(d);
}

// A box already in its bootloader with no keyword in plain mode cannot tell
// when the tool opens the line, so it repeats its announcement.
void arm_reannounce(Dialogue* d) {
  if (d->cfg->mode == Mode::kPlain && !d->cfg->need_keyword) d->announce_at = now_ms() + 2000;
}

void start_download(Dialogue* d) {
  const Config& o = *d->cfg;
  Box& b = d->box;
  if (d->f.silent_at == kDownload) return go_dead(d, kDownload);
  if (d->f.hangup_at == kDownload) hang_up(d, kDownload);
  b.reached_download = true;
  if (d->f.error_at == kDownload) {
    say(d, error_line(d, kDownload));
    return fail_for_good(d, "error at download");
  }
  say(d, o.start_text);
  b.stage = Stage::kDownload;
  d->nak_at = now_ms() + o.first_nak_ms;
  arm_reannounce(d);
}

void announce_version(Dialogue* d) {
  const Config& o = *d->cfg;
  Box& b = d->box;
  b.rate_seen = line_rate(*d->line);
  if (d->f.silent_at == kVersion) return go_dead(d, kVersion);
  if (d->f.hangup_at == kVersion) hang_up(d, kVersion);
  say(d, o.garbage);
  b.stage = Stage::kWaiting;
  if (d->f.error_at == kVersion) {
    met(d, "error at version");
    say(d, error_line(d, kVersion));
    return arm_reannounce(d);
  }
  if (b.attempts <= d->f.bad_version_times) {
    met(d, "bad version line");
    say(d, "Bootloader Version: ???\r\n");
    return arm_reannounce(d);
  }
  if (b.attempts <= d->f.bad_version_times + d->f.silent_version_times) {
    met(d, "no version line");
    logv(*d->log, "keeping the version line back");
    return arm_reannounce(d);
  }
  if (d->f.endless_version) {
    met(d, "endless version line");
    logv(*d->log, "sending a version line without end");
    say(d, o.version_prefix);
    b.stage = Stage::kEndless;
    d->pump_at = now_ms();
    return;
  }
  say(d, o.version_prefix + o.version + "\r\n");
  if (o.has_second_version) say(d, o.second_version + "\r\n");
  start_download(d);
}

void on_keyword(Dialogue* d) {
  const Config& o = *d->cfg;
  Box& b = d->box;
  b.keywords++;
  logv(*d->log, "keyword received (%d)", b.keywords);
  if (!o.need_keyword) return;  // a box already in its bootloader ignores it
  if (d->f.silent_at == kKeyword) return go_dead(d, kKeyword);
  start_attempt(d, "keyword");
  if (d->f.hangup_at == kKeyword) hang_up(d, kKeyword);
  if (d->f.error_at == kKeyword) {
    met(d, "error at keyword");
    say(d, error_line(d, kKeyword));
  }
  if (o.mode == Mode::kPlain) return announce_version(d);
  if (d->f.silent_at == kGrant) return go_dead(d, kGrant);
  if (d->f.hangup_at == kGrant) hang_up(d, kGrant);
  if (d->f.error_at == kGrant) {
    met(d, "error at grant");
    say(d, error_line(d, kGrant));
  } else if (o.send_grant) say(d, o.grant);
  b.stage = Stage::kSync;
}

unsigned rate_for_code(const Dialogue* d, unsigned char code) {
  if (code == kSpeedF1) return 460800;
  if (code == kSpeedF2) return 921600;
  return d->cfg->f0_rate;
}

void echo_digit(Dialogue* d, unsigned char digit) {
  const Config& o = *d->cfg;
  switch (o.echo) {
    case EchoMode::kCorrect: return say_byte(d, digit);
    case EchoMode::kWrong:
      return say_byte(d, static_cast<unsigned char>('0' + (digit - '0' + 1) % 10));
    case EchoMode::kNone: return;
    case EchoMode::kMulti: return say(d, std::string("x") + char(digit));
    case EchoMode::kBlank: return say(d, std::string(" ") + char(digit));
  }
}

void on_sync_byte(Dialogue* d, unsigned char c) {
  const Config& o = *d->cfg;
  Box& b = d->box;
  if (c >= '0' && c <= '9') {
    b.stage = Stage::kSync;  // digits after the start byte: the tool began again
    if (d->f.silent_at == kEcho) return go_dead(d, kEcho);
    if (d->f.hangup_at == kEcho) hang_up(d, kEcho);
    if (d->f.error_at == kEcho && !b.echo_error_done) {
      b.echo_error_done = true;
      met(d, "error at echo");
      return say(d, error_line(d, kEcho));
    }
    return echo_digit(d, c);
  }
  if (b.stage == Stage::kSync) {
    if (c == kSyncStart) {
      logv(*d->log, "start byte");
      b.stage = Stage::kSpeedByte;
      if (o.read_after_sync) say(d, "+");
    }
    return;
  }
  // kSpeedByte
  if (c == kSpeedKeep) {
    logv(*d->log, "speed byte: keep (line at %u baud)", line_rate(*d->line));
    if (o.read_after_sync) say(d, "+");
    return announce_version(d);
  }
  if (c == kSpeedF0 || c == kSpeedF1 || c == kSpeedF2) {
    unsigned r = rate_for_code(d, c);
    if (o.read_after_sync) say(d, "+");
    if (o.speed == SpeedMode::kHonour) b.box_rate = r;
    logv(*d->log, "speed code 0x%02X: %u baud, box now at %u", c, r, b.box_rate);
    b.stage = Stage::kSync;  // a second synchronisation follows at the new rate
  }
}

// ---- XMODEM receiver ----

void on_eot(Dialogue* d) {
  const Config& o = *d->cfg;
  Box& b = d->box;
  if (!b.got_eot) line_transfer_done(d->line, b.number, b.blocks);
  line_turnaround(d->line);
  say_byte(d, kAck);
  if (b.got_eot) return;
  b.got_eot = true;
  b.reached_download = true;
  logv(*d->log, "EOT after %d blocks, %zu bytes", b.blocks, b.data.size());
  b.stage = Stage::kFinish;
  stop_timers(d);
  if (d->f.silent_at == kFinish) return go_dead(d, kFinish);
  d->finish_at = now_ms() + o.finish_delay_ms;
}

void process_block(Dialogue* d) {
  Box& b = d->box;
  const std::string blk = std::move(b.block);
  b.block.clear();
  if (!b.transfer_fault_done) {
    b.transfer_fault_done = true;
    if (d->f.silent_at == kTransfer) return go_dead(d, kTransfer);
    if (d->f.hangup_at == kTransfer) hang_up(d, kTransfer);
    if (d->f.error_at == kTransfer) {
      say(d, error_line(d, kTransfer));
      return fail_for_good(d, "error at transfer");
    }
  }
  const unsigned char n = static_cast<unsigned char>(blk[1]);
  const unsigned char cn = static_cast<unsigned char>(blk[2]);
  unsigned char sum = 0;
  for (size_t i = 3; i < 3 + kPayload; ++i) sum = static_cast<unsigned char>(sum + blk[i]);
  if ((n ^ cn) != 0xFF || sum != static_cast<unsigned char>(blk[3 + kPayload])) {
    logv(*d->log, "block %u damaged (complement %02X, checksum %02X want %02X): NAK", n, cn,
         static_cast<unsigned char>(blk[3 + kPayload]), sum);
    b.naks++;
    return say_byte(d, kNak);
  }
  if (n == b.expect) {
    if (d->f.nak_block == b.ordinal && !b.nak_fault_done) {
      b.nak_fault_done = true;
      met(d, "NAK at block " + std::to_string(b.ordinal));
      b.naks++;
      logv(*d->log, "block %u: NAK on purpose", n);
      return say_byte(d, kNak);
    }
    if (d->f.can_block == b.ordinal && !b.can_fault_done) {
      b.can_fault_done = true;
      met(d, "CAN at block " + std::to_string(b.ordinal));
      logv(*d->log, "block %u: CAN on purpose", n);
      return say_byte(d, kCan);
    }
  } else if (b.blocks > 0 && n == static_cast<unsigned char>(b.expect - 1)) {
    b.duplicates++;
    logv(*d->log, "block %u again: ACK, dropped", n);
    return say_byte(d, kAck);
  } else {
    // Kept going so the dialogue ends; the box fails in the summary.
    logv(*d->log, "block %u out of sequence, expected %u", n, b.expect);
    if (b.fail.empty())
      b.fail = "block sequence: expected " + std::to_string(b.expect) + " got " + std::to_string(n);
  }
  b.data.append(blk, 3, kPayload);
  b.blocks++;
  b.ordinal++;
  b.expect = static_cast<unsigned char>(n + 1);
  say_byte(d, kAck);
}

void on_xmodem_byte(Dialogue* d, unsigned char c) {
  Box& b = d->box;
  if (b.block.empty()) {
    if (c == kSoh) {
      b.block.push_back(char(c));
      d->block_at = now_ms() + 1000;
    } else if (c == kEot) {
      on_eot(d);
    }
    return;
  }
  b.block.push_back(char(c));
  d->block_at = now_ms() + 1000;
  if (b.block.size() == kBlockSize) {
    d->block_at = -1;
    line_turnaround(d->line);
    process_block(d);
  }
}

void finish_programming(Dialogue* d) {
  const Config& o = *d->cfg;
  if (d->f.hangup_at == kFinish) hang_up(d, kFinish);
  if (d->f.error_at == kFinish) {
    say(d, error_line(d, kFinish));
    return fail_for_good(d, "error at finish");
  }
  say(d, o.progress);
  say(d, "\r\nfinished!\r\n");
  Verdict v = judge_box(o, d->box);
  finish_box(d, v.ok, v.text, v.run_over);
}

// ---- byte dispatch ----

bool keyword_matters(Stage s) {
  return s == Stage::kWake || s == Stage::kSync || s == Stage::kSpeedByte || s == Stage::kWaiting ||
         s == Stage::kEndless || s == Stage::kDownload;
}

bool keyword_seen(Dialogue* d, unsigned char c) {
  const std::string& k = d->cfg->keyword;
  if (k.empty()) return false;
  d->keyword_window.push_back(char(c));
  if (d->keyword_window.size() > k.size()) d->keyword_window.erase(0, 1);
  if (d->keyword_window != k) return false;
  d->keyword_window.clear();
  return true;
}

void on_byte(Dialogue* d, unsigned char c) {
  const Config& o = *d->cfg;
  Box& b = d->box;
  if (d->ending || b.stage == Stage::kDead) return;
  if (keyword_matters(b.stage)) {
    unsigned rate = line_rate(*d->line);
    b.rate_seen = rate;
    if (o.speed != SpeedMode::kAny && rate != b.box_rate) {
      // The box's UART runs at another rate: what arrives is noise to it.
      logv(*d->log, "byte 0x%02X at %u baud, box runs at %u: noise", c, rate, b.box_rate);
      return;
    }
    if (keyword_seen(d, c)) return on_keyword(d);
  }
  switch (b.stage) {
    case Stage::kWake: return;
    case Stage::kSync:
    case Stage::kSpeedByte: return on_sync_byte(d, c);
    case Stage::kWaiting:
    case Stage::kEndless:
    case Stage::kDownload:
      // Digits here mean the tool retries the identification without keyword.
      if (o.mode == Mode::kSync && c >= '0' && c <= '9') {
        start_attempt(d, "digits");
        b.stage = Stage::kSync;
        return on_sync_byte(d, c);
      }
      if (b.stage != Stage::kDownload) return;
      if (c == kSoh) {
        b.stage = Stage::kReceive;
        stop_timers(d);
        return on_xmodem_byte(d, c);
      }
      if (c == kEot) return on_eot(d);
      return;
    case Stage::kReceive: return on_xmodem_byte(d, c);
    case Stage::kFinish:
      if (c == kEot) say_byte(d, kAck);
      return;
    case Stage::kDead: return;
  }
}

void start_box(Dialogue* d, int number) {
  const Config& o = *d->cfg;
  d->box = Box{};
  d->box.number = number;
  d->f = faults_for_box(o, number);
  d->log->box = number;
  d->keyword_window.clear();
  stop_timers(d);
  logv(*d->log, "ready");
  if (o.need_keyword) return;
  d->box.attempts = 1;
  if (o.mode == Mode::kSync) {
    d->box.stage = Stage::kSync;
    return;
  }
  announce_version(d);
}

void run_timers(Dialogue* d, int64_t t) {
  const Config& o = *d->cfg;
  Box& b = d->box;
  if (d->nak_at >= 0 && t >= d->nak_at) {
    d->nak_at = t + o.nak_interval_ms;
    if (o.ack_early && !b.ack_early_done) {
      // The tool must take this as "block 1 done" and start with block 2.
      b.ack_early_done = true;
      b.expect = 2;
      b.ordinal = 2;
      logv(*d->log, "ACK before any block");
      say_byte(d, kAck);
    } else {
      say_byte(d, kNak);
    }
  }
  if (d->block_at >= 0 && t >= d->block_at) {
    d->block_at = -1;
    logv(*d->log, "block cut short after %zu bytes: NAK", b.block.size());
    b.block.clear();
    b.naks++;
    say_byte(d, kNak);
  }
  if (d->pump_at >= 0 && t >= d->pump_at) {
    d->pump_at = t + 1;
    // Paced, the line sets the rate: keep it busy.
    size_t unsent = line_unsent(*d->line);
    if (unsent < 4096) say(d, std::string(d->line->paced ? 4096 - unsent : 64, 'A'));
  }
  if (d->announce_at >= 0 && t >= d->announce_at) {
    d->announce_at = -1;
    start_attempt(d, "repeat");
    announce_version(d);
  }
  if (d->finish_at >= 0 && t >= d->finish_at) {
    d->finish_at = -1;
    finish_programming(d);
  }
}

void check_drained(Dialogue* d, int64_t t) {
  if (t < d->drain_check_at) return;
  d->drain_check_at = t + 50;
  if (line_unsent(*d->line) == 0 && line_unread_by_tool(*d->line) == 0) d->drained_checks++;
  else d->drained_checks = 0;
  if (d->drained_checks >= 3 || t >= d->end_by) end_run(d, 0);
}

}  // namespace

void dialogue_start(Dialogue* d, const Config* cfg, Line* line, Log* log, int64_t t0) {
  d->cfg = cfg;
  d->line = line;
  d->log = log;
  if (d->cfg->timeout_s > 0) d->give_up_at = t0 + int64_t(d->cfg->timeout_s) * 1000;
  start_box(d, 1);
}

void dialogue_byte(void* d, unsigned char c) { on_byte(static_cast<Dialogue*>(d), c); }

void dialogue_line_closed(void* p) {
  Dialogue* d = static_cast<Dialogue*>(p);
  const Box& b = d->box;
  if (d->ending || !faults_per_box(*d->cfg) || b.fault_met.empty()) return;
  logv(*d->log, "the tool closed the line: the next box takes this one's place");
  // What the tool left unread was this box's; the next finds a quiet line.
  line_fresh(d->line);
  finish_box(d, false, "FAIL " + (b.fail.empty() ? b.fault_met : b.fail), false);
}

int64_t dialogue_tick(Dialogue* d, int64_t t) {
  if (d->give_up_at >= 0 && t >= d->give_up_at) {
    if (d->ending) end_run(d, 0);
    dialogue_abort(d, std::string("timeout at ") + stage_name(d->box.stage), 2);
  }
  if (d->ending) check_drained(d, t);
  else run_timers(d, t);
  int64_t next = d->give_up_at;
  for (int64_t at : {d->nak_at, d->block_at, d->finish_at, d->pump_at, d->announce_at,
                     d->ending ? d->drain_check_at : int64_t(-1)})
    if (at >= 0 && (next < 0 || at < next)) next = at;
  return next;
}

void dialogue_abort(Dialogue* d, const std::string& reason, int code) {
  if (d->ending) end_run(d, code);  // every box has its line already
  const Box& b = d->box;
  report_box(&d->report, *d->cfg, b, false, "FAIL " + (b.fail.empty() ? reason : b.fail));
  report_unreached(&d->report, *d->cfg, b.number + 1);
  end_run(d, code);
}
