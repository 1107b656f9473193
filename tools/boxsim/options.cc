#include "tools/boxsim/options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kPointNames[] = {"keyword",  "grant",    "echo",  "version",
                                   "download", "transfer", "finish"};

void usage(FILE* f) {
  fputs(
      "usage: update-boxsim [options]   (boxsim in a build tree)\n"
      "Plays a box's serial bootloader on a pseudo-terminal for update and\n"
      "update-station. Prints \"COM <n>\" (the port number for update -p) and\n"
      "\"PTY <path>\", a summary line per box at the end.\n"
      "Exit: 0 every box verified, 1 otherwise, 2 time-out. Texts take \\r \\n \\t \\xHH.\n"
      "  --boxes N               boxes in a row (1)\n"
      "  --expect FILE           received data must be FILE padded to 128\n"
      "  --expect-filler         success means the 400-byte filler block arrived\n"
      "  --out FILE              write the received data (and FILE.<n> with --boxes)\n"
      "  --timeout SEC           give up after SEC seconds, exit 2 (60; 0 = never)\n"
      "  --link PATH             also make a symlink PATH to the pty (replaces a link\n"
      "                          to a pty an earlier run left, nothing else)\n"
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
      "  --fault-every K         only boxes K, 2K, ... meet the faults given\n"
      "  --faults LIST           faults of single boxes, BOX:FAULT=VALUE,... where FAULT\n"
      "                          is silent-at error-at endless-at nak-block can-block\n"
      "                          bad-version-times silent-version-times\n"
      "  --pace                  real line timing at the line's rate and frame\n"
      "  --turnaround MS         paced: from a block's last byte to its answer (1)\n"
      "  --latency MS            paced: adapter delay before the tool sees a byte (0)\n"
      "  -v, --verbose           log every step to stderr\n"
      "Summary: BOX <n> OK|FILLER|FAIL <reason> ... naks counts refused blocks;\n"
      "block numbers in --nak-block/--can-block count from 1 without wrapping.\n"
      "Paced, EOT prints PACE BOX <n> transfer <us> us blocks <n> rate <baud> bits <n>\n"
      "(from the tool seeing the box's first answer in the download stage to EOT).\n"
      "--turnaround and --latency imply --pace.\n"
      "STAGE: keyword grant echo version download transfer finish\n"
      "With --fault-every or --faults a faulted box is done when the tool closes the\n"
      "line (at once after its ERROR: line at download, transfer or finish) and the\n"
      "next box is a good one; --hangup-at ends the line, so it goes to every box.\n"
      "Installed: update-boxsim, update-netsim, update-padtool beside update,\n"
      "update-station, update-server and update-report.\n",
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

int point_of(const char* val) {
  for (int i = 0; i <= kFinish; ++i)
    if (strcmp(val, kPointNames[i]) == 0) return i;
  return kNoPoint;
}

// The fault options, which --faults takes by the same names.
enum class FaultKind { kPoint, kNumber, kEndless };
struct FaultOption {
  const char* name;
  FaultKind kind;
  int Faults::*field;  // kEndless: none
  int min;             // kNumber
  bool per_box;        // may go to single boxes
};
const FaultOption kFaultOptions[] = {
    {"silent-at", FaultKind::kPoint, &Faults::silent_at, 0, true},
    {"error-at", FaultKind::kPoint, &Faults::error_at, 0, true},
    {"hangup-at", FaultKind::kPoint, &Faults::hangup_at, 0, false},
    {"endless-at", FaultKind::kEndless, nullptr, 0, true},
    {"nak-block", FaultKind::kNumber, &Faults::nak_block, 1, true},
    {"can-block", FaultKind::kNumber, &Faults::can_block, 1, true},
    {"bad-version-times", FaultKind::kNumber, &Faults::bad_version_times, 0, true},
    {"silent-version-times", FaultKind::kNumber, &Faults::silent_version_times, 0, true},
};

const FaultOption* fault_option(const std::string& name) {
  for (const FaultOption& f : kFaultOptions)
    if (name == f.name) return &f;
  return nullptr;
}

// Sets fault `opt` to `val` in `f`. Returns false when the value is bad.
bool set_fault(Faults* f, const FaultOption& opt, const char* val) {
  switch (opt.kind) {
    case FaultKind::kPoint: {
      int p = point_of(val);
      if (p == kNoPoint) return false;
      f->*opt.field = p;
      return true;
    }
    case FaultKind::kEndless:
      if (strcmp(val, "version") != 0) return false;
      f->endless_version = true;
      return true;
    case FaultKind::kNumber: {
      char* end = nullptr;
      errno = 0;
      long v = strtol(val, &end, 10);
      if (errno != 0 || end == val || *end != '\0' || v < opt.min || v > 1000000) return false;
      f->*opt.field = int(v);
      return true;
    }
  }
  return false;
}

// Fields `over` sets win over those of `base`.
Faults merge_faults(Faults base, const Faults& over) {
  const Faults none;
  for (const FaultOption& opt : kFaultOptions)
    if (opt.field && over.*opt.field != none.*opt.field) base.*opt.field = over.*opt.field;
  if (over.endless_version) base.endless_version = true;
  return base;
}

// --faults 3:error-at=download,7:silent-at=transfer
void parse_box_faults(const char* list, std::map<int, Faults>* out) {
  std::string all = list;
  size_t start = 0;
  for (;;) {
    size_t comma = all.find(',', start);
    std::string item =
        all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t colon = item.find(':');
    size_t eq = item.find('=');
    if (colon == std::string::npos || eq == std::string::npos || eq < colon)
      bad_arg("faults", list);
    std::string box = item.substr(0, colon);
    char* end = nullptr;
    long n = strtol(box.c_str(), &end, 10);
    const FaultOption* opt = fault_option(item.substr(colon + 1, eq - colon - 1));
    if (box.empty() || *end != '\0' || n < 1 || n > 1000000 || !opt || !opt->per_box ||
        !set_fault(&(*out)[int(n)], *opt, item.c_str() + eq + 1))
      bad_arg("faults", item.c_str());
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

[[noreturn]] void refuse(const char* why) {
  fprintf(stderr, "boxsim: %s\n", why);
  exit(2);
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

}  // namespace

const char* point_name(int point) { return kPointNames[point]; }

bool any_fault(const Faults& f) {
  const Faults none;
  for (const FaultOption& opt : kFaultOptions)
    if (opt.field && f.*opt.field != none.*opt.field) return true;
  return f.endless_version;
}

bool faults_per_box(const Config& cfg) { return cfg.fault_every > 0 || !cfg.box_faults.empty(); }

Faults faults_for_box(const Config& cfg, int number) {
  if (!faults_per_box(cfg)) return cfg.faults;
  Faults f;
  if (cfg.fault_every > 0 && number % cfg.fault_every == 0) f = cfg.faults;
  auto own = cfg.box_faults.find(number);
  if (own != cfg.box_faults.end()) f = merge_faults(f, own->second);
  return f;
}

void parse_options(int argc, char** argv, Config* cfg) {
  enum {
    kBoxes = 256,
    kExpect,
    kExpectFiller,
    kTimeout,
    kLink,
    kKeywordOpt,
    kNoKeyword,
    kMode,
    kGrantOpt,
    kNoGrant,
    kEchoOpt,
    kF0Rate,
    kSpeed,
    kReadAfterSync,
    kVersionOpt,
    kPrefix,
    kSecond,
    kBadTimes,
    kSilentTimes,
    kStartText,
    kNakInterval,
    kFirstNak,
    kFinishDelay,
    kProgress,
    kOut,
    kNakBlock,
    kCanBlock,
    kAckEarly,
    kGarbage,
    kSilentAt,
    kErrorAt,
    kErrorLine,
    kHangupAt,
    kEndlessAt,
    kHelp,
    kFaultEvery,
    kFaultList
  };
  enum { kPace = 512, kTurnaround, kLatency };
  static const option kLong[] = {{"boxes", required_argument, nullptr, kBoxes},
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
                                 {"fault-every", required_argument, nullptr, kFaultEvery},
                                 {"faults", required_argument, nullptr, kFaultList},
                                 {"pace", no_argument, nullptr, kPace},
                                 {"turnaround", required_argument, nullptr, kTurnaround},
                                 {"latency", required_argument, nullptr, kLatency},
                                 {"verbose", no_argument, nullptr, 'v'},
                                 {"help", no_argument, nullptr, kHelp},
                                 {nullptr, 0, nullptr, 0}};
  Config& o = *cfg;
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
      case kGrantOpt:
        o.grant = unescape(optarg);
        o.send_grant = true;
        break;
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
        if (strcmp(optarg, "honour") == 0 || strcmp(optarg, "honor") == 0)
          o.speed = SpeedMode::kHonour;
        else if (strcmp(optarg, "ignore") == 0) o.speed = SpeedMode::kIgnore;
        else if (strcmp(optarg, "any") == 0) o.speed = SpeedMode::kAny;
        else bad_arg(name, optarg);
        break;
      case kReadAfterSync: o.read_after_sync = true; break;
      case kVersionOpt: o.version = unescape(optarg); break;
      case kPrefix: o.version_prefix = unescape(optarg); break;
      case kSecond:
        o.second_version = unescape(optarg);
        o.has_second_version = true;
        break;
      case kBadTimes:
      case kSilentTimes:
      case kNakBlock:
      case kCanBlock:
      case kSilentAt:
      case kErrorAt:
      case kHangupAt:
      case kEndlessAt:
        if (!set_fault(&o.faults, *fault_option(name), optarg)) bad_arg(name, optarg);
        break;
      case kFaultEvery: o.fault_every = int(number_arg(name, optarg, 1)); break;
      case kFaultList: parse_box_faults(optarg, &o.box_faults); break;
      case kStartText: o.start_text = unescape(optarg); break;
      case kNakInterval: o.nak_interval_ms = int(number_arg(name, optarg, 1)); break;
      case kFirstNak: o.first_nak_ms = int(number_arg(name, optarg, 0)); break;
      case kFinishDelay: o.finish_delay_ms = int(number_arg(name, optarg, 0)); break;
      case kProgress: o.progress = unescape(optarg); break;
      case kOut: o.out_path = optarg; break;
      case kAckEarly: o.ack_early = true; break;
      case kGarbage: o.garbage = unescape(optarg); break;
      case kErrorLine: o.error_line = unescape(optarg); break;
      case kPace: o.pace = true; break;
      case kTurnaround:
        o.pace = true;
        o.turnaround_ns = pace_ms_arg(name, optarg);
        break;
      case kLatency:
        o.pace = true;
        o.latency_ns = pace_ms_arg(name, optarg);
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
  if (o.fault_every > 0 && !any_fault(o.faults))
    refuse("--fault-every needs a fault to give (--silent-at, --error-at, ...)");
  if (!o.box_faults.empty() && o.fault_every == 0 && any_fault(o.faults))
    refuse("fault options beside --faults need --fault-every to say which boxes meet them");
  if (faults_per_box(o) && o.faults.hangup_at != kNoPoint)
    refuse("--hangup-at ends the line for every later box: not with --fault-every");
  if (!o.box_faults.empty() && o.box_faults.rbegin()->first > o.boxes) {
    fprintf(stderr, "boxsim: --faults names box %d of %d\n", o.box_faults.rbegin()->first, o.boxes);
    exit(2);
  }
}

bool load_expect(Config* cfg) {
  if (cfg->expect_path.empty()) return true;
  FILE* f = fopen(cfg->expect_path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) cfg->expect_data.append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  cfg->have_expect = ok;
  return ok;
}
