// update-station: one run of update per box, on many ports at once, with a
// live view (or one line per event when the output is not a terminal) and
// a summary at the end.
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/journal.h"
#include "core/messages.h"
#include "image/bootloader_table.h"
#include "http/auth.h"
#include "image/pad.h"
#include "image/signature.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/serial.h"
#include "platform/start.h"
#include "platform/std_streams.h"
#include "platform/stop.h"
#include "platform/terminal.h"
#include "station/control.h"
#include "station/events.h"
#include "station/options.h"
#include "station/records.h"
#include "station/slots.h"
#include "station/web.h"

namespace {

using Clock = std::chrono::steady_clock;

// The parent's side of one slot's current run.
struct Run {
  PlatChannel ch;
  PlatProcess proc;
  std::string buf;  // an incomplete line
  std::string err;  // the end of its standard error
  bool eof = false;
};

// What the runs share that the station learnt before the first start.
struct Plan {
  std::string prog;
  const char* mode = "serial";
  bool have_image = false;
  JournalImage image = {};
};

constexpr double kRedraw = 0.2;

// A scanned line longer than this is no serial: it goes in cut, to be
// refused as too long, and the rest of it is dropped.
constexpr size_t kScanLineMax = 256;

// Everything the loop carries out the station's actions with.
struct Loop {
  Clock::time_point start = Clock::now();
  StationOptions o;
  Plan plan;
  Station st;
  std::vector<Run> runs;
  WebView* web = nullptr;
  bool out_failed = false;  // a write failed: fed as output gone
  int drawn = 0;            // lines of the live view on the screen
  double last_draw = -1, last_publish = 0;
  // --scan: standard input and the line it is typing.
  intptr_t scan_wait = -1;
  std::string scan_buf;
  bool scan_skip = false;  // the rest of an overlong line
  bool scan_eof = false;
  double now() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
};

// A reader that went away leaves the station supervising without output.
void out(Loop* L, const std::string& text) {
  if (L->out_failed) return;
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    if (errno != EINTR && errno != EAGAIN) L->out_failed = true;
    std::clearerr(stdout);
  }
}

std::string update_program(const StationOptions& o) {
  if (!o.update_path.empty()) return o.update_path;
  std::string name = std::string("update") + plat_executable_suffix();
  std::string beside = plat_program_dir() + name;
  return plat_file_exists(beside) ? beside : name;
}

// The tool speaks German under its German name; its messages here too.
void language_of(const std::string& prog) {
  size_t sep = prog.find_last_of("/\\");
  std::string name = prog.substr(sep == std::string::npos ? 0 : sep + 1);
  for (char& c : name) c = (char)std::toupper((unsigned char)c);
  if (name.rfind("QLN", 0) == 0) name.erase(0, 3);
  set_language(name.rfind("AKTUALISIEREN", 0) == 0 ? 1 : 0);
}

// The same port twice would have two runs fight over one line.
std::string same_port_twice(const std::vector<std::string>& ports) {
  for (size_t i = 0; i < ports.size(); i++) {
    for (size_t j = 0; j < i; j++) {
      int a = 0, b = 0;
      int ka = plat_serial_port_name(ports[i].c_str(), &a);
      int kb = plat_serial_port_name(ports[j].c_str(), &b);
      if (ka == 0) a = (int)std::strtol(ports[i].c_str(), nullptr, 10);
      if (kb == 0) b = (int)std::strtol(ports[j].c_str(), nullptr, 10);
      bool same = ka == 2 || kb == 2
                      ? ports[i] == ports[j] || plat_same_file(ports[i].c_str(), ports[j].c_str())
                      : a == b;
      if (same) return ports[j] + " and " + ports[i] + " are the same port";
    }
  }
  return "";
}

// A signed line: the trust file and the file's signature, as every run
// checks them (the runs get --trust as given). Returns false after a line
// on standard error.
bool trust_preflight(const StationOptions& o) {
  Trust trust;
  std::string why;
  if (!trust_load(o.trust.c_str(), &trust, &why)) {
    std::fprintf(stderr, "update-station: trust file %s; no slot starts\n", why.c_str());
    return false;
  }
  if (o.server) return true;
  std::string sig = o.signature.empty() ? o.file + ".sig" : o.signature;
  FileVerdict v = verify_pad_file(o.file.c_str(), sig.c_str(), &trust);
  if (v.kind == FileVerdict::kSigned) return true;
  std::fprintf(stderr, "update-station: %s: signature check failed: %s\n", o.file.c_str(),
               v.kind == FileVerdict::kRefused ? v.why.c_str() : sig_result_text(v.sig));
  return false;
}

// What every run would check first, checked once before any starts: the
// ports, the program, the file (with the tool's own words) and the
// journal. Returns false after a line on standard error.
bool preflight(const StationOptions& o, Plan* plan) {
  std::string why = same_port_twice(o.ports);
  if (!why.empty()) {
    std::fprintf(stderr, "update-station: %s\n", why.c_str());
    return false;
  }
  if (!plat_program_runnable(plan->prog)) {
    std::fprintf(stderr, "update-station: cannot run %s: %s\n", plan->prog.c_str(),
                 plat_file_error_text(plat_last_error()));
    return false;
  }
  language_of(plan->prog);
  if (!o.server) {
    if (o.file.empty()) {
      std::fprintf(stderr, "update-station: no PAD file given\n");
      return false;
    }
    uint8_t format = 0;
    uint32_t version = 0, checksum = 0;
    bool too_big = false;
    uint32_t size = pad_verify(o.file.c_str(), &format, &version, &checksum, &too_big);
    if (too_big) {
      std::fprintf(stderr, "update-station: %s: %s\n", o.file.c_str(), message(102));
      return false;
    }
    if (size == 0) {
      std::fprintf(stderr, "update-station: %s: %s%s\n", o.file.c_str(), message(38), message(39));
      return false;
    }
    if (!is_known_format(format)) {
      std::fprintf(stderr, "update-station: %s: %s\n", o.file.c_str(), message(87));
      return false;
    }
    plan->have_image = true;
    plan->image = {size, format, true, checksum, version};
  }
  if (!o.trust.empty() && !trust_preflight(o)) return false;
  std::string journal = o.journal;
  const char* env = std::getenv("UPDATE_JOURNAL");
  if (journal.empty() && env) journal = env;
  if (!journal.empty()) {
    if (!o.server && plat_same_file(journal.c_str(), o.file.c_str())) {
      std::fprintf(stderr, "update-station: %s is the PAD file itself; no record goes there\n",
                   journal.c_str());
      return false;
    }
    if (!journal_open("update-station", journal.c_str())) return false;
  }
  return true;
}

// The name the station's own records carry: the one the runs are given,
// else the host's, which is what a run without --station writes.
std::string station_name(const StationOptions& o) {
  if (!o.station.empty()) return o.station;
  char host[256];
  plat_hostname(host, sizeof host);
  return host;
}

// Writes the record of slot i's run that left none of its own, for the
// reason given; returns it as one line of JSON.
std::string record_orphan(Loop* L, size_t i, int exit_code, const std::string& reason) {
  const Slot& s = L->st.slots[i];
  OrphanRun orphan;
  orphan.station = station_name(L->o);
  orphan.port = s.port;
  orphan.mode = L->plan.mode;
  orphan.file = L->o.server ? "server" : L->o.file.c_str();
  orphan.have_image = L->plan.have_image;
  orphan.image = L->plan.image;
  orphan.run = s.run;
  orphan.seconds = L->now() - s.run_started;
  orphan.exit_code = exit_code;
  orphan.stopped = s.stop_sent;
  orphan.reason = reason;
  orphan.err_tail = L->runs[i].err;
  std::string record = orphan_record(orphan);
  if (!journal_append(record)) {
    // The line on standard error said it; the slot goes on.
  }
  return record;
}

// The serials of --units FILE not yet used: each line of FILE (blank ones
// aside) once for every time it is there, less the lines of FILE.used,
// which keeps the list's state over a restart. Returns false after a line
// on standard error.
bool load_units(const std::string& path, std::deque<std::string>* units) {
  auto lines = [](const std::string& p, std::vector<std::string>* out) {
    std::FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) return false;
    char buf[256];
    while (std::fgets(buf, sizeof buf, f)) {
      std::string line = buf;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
      if (!line.empty()) out->push_back(line);
    }
    std::fclose(f);
    return true;
  };
  std::vector<std::string> all, used;
  if (!lines(path, &all)) {
    std::fprintf(stderr, "update-station: cannot read %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  for (const std::string& u : all) {
    std::string why = check_unit_text(u);
    if (!why.empty()) {
      std::fprintf(stderr, "update-station: %s: the serial %s %s\n", path.c_str(), u.c_str(),
                   why.c_str());
      return false;
    }
  }
  lines(path + ".used", &used);  // none yet: a fresh list
  std::map<std::string, int> spent;
  for (const std::string& u : used) spent[u]++;
  for (const std::string& u : all)
    if (spent[u] > 0) spent[u]--;
    else units->push_back(u);
  return true;
}

// Notes a serial as used before its run starts: a restart never gives it
// to a second box.
void use_unit(Loop* L, const std::string& unit) {
  std::string used = L->o.units_file + ".used";
  std::FILE* f = std::fopen(used.c_str(), "ab");
  bool ok = f && std::fprintf(f, "%s\n", unit.c_str()) > 0;
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok)
    std::fprintf(stderr, "update-station: cannot note %s in %s: %s\n", unit.c_str(), used.c_str(),
                 std::strerror(errno));
}

// Starts slot i's next run. Returns "" or why it could not start.
std::string start_run(Loop* L, size_t i) {
  Run* run = &L->runs[i];
  *run = Run();
  bool ok = plat_channel_open(&run->ch);
  if (ok) {
    std::vector<std::string> argv = {L->plan.prog, "-p", L->st.slots[i].port, "--events",
                                     run->ch.path};
    if (!L->o.station.empty()) argv.insert(argv.end(), {"--station", L->o.station});
    if (!L->o.operator_name.empty()) argv.insert(argv.end(), {"--operator", L->o.operator_name});
    if (!L->st.slots[i].unit.empty()) argv.insert(argv.end(), {"--unit", L->st.slots[i].unit});
    argv.insert(argv.end(), L->o.pass.begin(), L->o.pass.end());
    ok = plat_process_start(argv, &run->ch, &run->proc);
    if (!ok) plat_channel_close(&run->ch);
  }
  if (ok) return "";
  return "cannot start " + L->plan.prog + ": " + plat_file_error_text(plat_last_error());
}

StationEvent event(StationInput in, size_t slot = 0, std::string text = "") {
  StationEvent e;
  e.input = in;
  e.slot = slot;
  e.text = std::move(text);
  return e;
}

// Applies `e` to the station at this moment and carries out what follows.
void feed(Loop* L, StationEvent e) {
  e.now = L->now();
  for (const StationAction& a : station_apply(&L->st, e)) {
    switch (a.what) {
      case StationDo::kStart: {
        std::string why = start_run(L, a.slot);
        if (why.empty()) break;
        StationEvent failed = event(StationInput::kStartFailed, a.slot, why);
        failed.record = record_orphan(L, a.slot, -1, why);
        feed(L, failed);
        break;
      }
      case StationDo::kUseUnit: use_unit(L, a.text); break;
      case StationDo::kStop: plat_process_stop(&L->runs[a.slot].proc, false); break;
      case StationDo::kKill: plat_process_stop(&L->runs[a.slot].proc, true); break;
      case StationDo::kSay: out(L, a.text); break;
      case StationDo::kAttempt:
        if (L->web) web_attempt(L->web, a.text);
        break;
    }
  }
}

// Reads what slot i's run has sent, a line at a time into the station.
void read_run(Loop* L, size_t i) {
  Run* run = &L->runs[i];
  char buf[8192];
  for (int rounds = 0; rounds < 16; rounds++) {
    long n = plat_process_read_err(&run->proc, buf, sizeof buf);
    if (n <= 0) break;
    keep_tail(&run->err, buf, (size_t)n);
  }
  for (int rounds = 0; rounds < 16 && !run->eof; rounds++) {
    long n = plat_channel_read(&run->ch, buf, sizeof buf);
    if (n < 0) run->eof = true;
    if (n <= 0) break;
    run->buf.append(buf, n);
    size_t eol;
    while ((eol = run->buf.find('\n')) != std::string::npos) {
      std::string line = run->buf.substr(0, eol);
      run->buf.erase(0, eol + 1);
      feed(L, event(StationInput::kRunLine, i, line));
    }
  }
}

// Reads slot i's run and, once it has ended and said all, lets it go.
void reap(Loop* L, size_t i) {
  Run* run = &L->runs[i];
  read_run(L, i);
  if (!plat_process_poll(&run->proc)) return;
  plat_channel_writer_ended(&run->ch);
  read_run(L, i);
  if (!run->eof) return;
  // A last line without its end.
  if (!run->buf.empty()) feed(L, event(StationInput::kRunLine, i, run->buf));
  plat_channel_close(&run->ch);
  plat_process_release(&run->proc);
  StationEvent e = event(StationInput::kRunEnded, i);
  e.exit_code = run->proc.killed ? -1 : run->proc.exit_code;
  if (!L->st.slots[i].run.ended)
    e.record = record_orphan(L, i, e.exit_code, no_record_reason(e.exit_code));
  feed(L, e);
}

// Reads what the scanner has typed, a line at a time into the station;
// never waits for more.
void read_scan(Loop* L) {
  char buf[1024];
  for (int rounds = 0; rounds < 16 && !L->scan_eof; rounds++) {
    long n = plat_scan_read(buf, sizeof buf);
    if (n < 0) L->scan_eof = true;
    if (n <= 0) break;
    for (long k = 0; k < n; k++) {
      if (buf[k] == '\n') {
        if (!L->scan_skip) feed(L, event(StationInput::kScanLine, 0, L->scan_buf));
        L->scan_buf.clear();
        L->scan_skip = false;
      } else if (!L->scan_skip) {
        L->scan_buf += buf[k];
        if (L->scan_buf.size() > kScanLineMax) {
          feed(L, event(StationInput::kScanLine, 0, L->scan_buf));
          L->scan_buf.clear();
          L->scan_skip = true;
        }
      }
    }
  }
  if (!L->scan_eof) return;
  // A last line without its end is a line all the same.
  if (!L->scan_buf.empty() && !L->scan_skip)
    feed(L, event(StationInput::kScanLine, 0, L->scan_buf));
  L->scan_buf.clear();
  feed(L, event(StationInput::kScanEnded));
}

// Draws the view over the lines drawn last, each line wiped first so a
// shorter one leaves nothing behind, then `tail`.
void redraw(Loop* L, const std::string& tail) {
  std::string frame = view_frame(L->st, L->now(), plat_terminal_columns(), plat_terminal_rows());
  std::string text = L->drawn ? "\r\x1b[" + std::to_string(L->drawn) + "A" : "";
  size_t start = 0, eol;
  int lines = 0;
  while ((eol = frame.find('\n', start)) != std::string::npos) {
    text += "\x1b[2K" + frame.substr(start, eol - start + 1);
    start = eol + 1;
    lines++;
  }
  // A frame shorter than the last leaves no old rows under it.
  if (lines < L->drawn) text += "\x1b[J";
  out(L, text + tail);
  L->drawn = lines;
  L->last_draw = L->now();
}

// What the loop waits on: stop requests, the web view, the scanner, and
// every running run's output and exit. Returns the wait's limit in milliseconds.
int wait_handles(const Loop& L, std::vector<intptr_t>* handles) {
  *handles = {plat_stop_wait_handle()};
  if (L.web) handles->push_back(web_wait_handle(L.web));
  if (L.st.scan && !L.scan_eof) handles->push_back(L.scan_wait);
  bool settling = false;
  for (size_t i = 0; i < L.st.slots.size(); i++) {
    if (!L.st.slots[i].running) continue;
    if (!L.runs[i].eof) handles->push_back(L.runs[i].ch.wait_handle);
    else settling = true;  // output closed: the exit follows at once
    handles->push_back(L.runs[i].proc.wait_handle);
    handles->push_back(L.runs[i].proc.err_wait);
  }
  return settling ? 5 : L.st.live ? 100 : L.web ? 200 : 250;
}

}  // namespace

int main(int argc, char** argv) {
  plat_std_streams_guard();
  plat_start(&argc, &argv);
  Loop L;
  StationOptions& o = L.o;
  std::string err = parse_station_options(argc, argv, &o);
  if (o.help) {
    std::fputs(kStationUsage, stdout);
    return 0;
  }
  if (o.refused) {
    std::fprintf(stderr, "update-station: %s\n", err.c_str());
    return 2;
  }
  if (!err.empty()) {
    std::fprintf(stderr, "update-station: %s\n%s", err.c_str(), kStationUsage);
    return 1;
  }
  if (!o.token_file.empty()) {
    // A token that no request can match would leave control off unseen.
    std::string token, why = http_read_token(o.token_file, &token);
    if (!why.empty()) {
      std::fprintf(stderr, "update-station: %s\n", why.c_str());
      return 2;
    }
  }
  L.plan.prog = update_program(o);
  L.plan.mode = o.mode;
  if (!preflight(o, &L.plan)) return 1;
  if (!o.units_file.empty() && !load_units(o.units_file, &L.st.units)) return 1;
  plat_ignore_broken_pipe();
  plat_stop_install();

  Station& st = L.st;
  st.file = o.file;
  st.max_failures = o.max_failures;
  st.boxes = o.boxes;
  st.need_unit = !o.units_file.empty() || o.scan;
  st.scan = o.scan;
  st.live = plat_stdout_is_vt();
  for (const std::string& p : o.ports) {
    Slot s;
    s.port = p;
    st.slots.push_back(s);
  }
  st.tally = tally_make(st.slots.size());
  L.runs.resize(st.slots.size());
  if (!o.http.empty()) {
    std::string why;
    L.web = web_start({o.http, o.token_file, station_name(o), st.slots.size(),
                       [&L] { return L.now(); }, o.http_allow_hosts},
                      &why);
    if (!L.web) {
      std::fprintf(stderr, "update-station: %s\n", why.c_str());
      return 1;
    }
    std::fprintf(stderr, "update-station: web view at http://%s/\n", web_local(L.web).c_str());
    web_publish(L.web, st, L.now());
    st.web = true;
  }
  if (st.live) out(&L, "\x1b[?25l");
  if (st.scan) {
    L.scan_wait = plat_scan_open(st.live);
    std::string hint = "scan: each line is the serial of the next box (\"2 SN123\": for slot 2)";
    if (st.live) st.scan_notice = hint;
    else out(&L, "update-station: " + hint + "\n");
  }

  bool controlled = false;  // publish now: control requests wait for it
  for (;;) {
    if (int signals = plat_stop_count(); signals != st.signals) {
      StationEvent e = event(StationInput::kStop);
      e.signals = signals;
      StopSignal sig = plat_stop_signal();
      e.terminate = sig != kStopNone && sig != kStopInterrupt;
      feed(&L, e);
    }
    if (L.out_failed && !st.output_gone) feed(&L, event(StationInput::kOutputGone));
    feed(&L, event(StationInput::kTick));
    if (station_over(st)) break;
    if (L.web && (controlled || L.now() - L.last_publish >= kRedraw)) {
      web_publish(L.web, st, L.now());
      L.last_publish = L.now();
      controlled = false;
    }

    std::vector<intptr_t> handles;
    int timeout_ms = wait_handles(L, &handles);
    plat_wait_any(handles, timeout_ms);
    plat_wait_handle_drain(plat_stop_wait_handle());
    for (const WebControl& c : L.web ? web_take(L.web) : std::vector<WebControl>()) {
      controlled = true;
      StationInput in = c.action == WebAction::kDrain  ? StationInput::kDrain
                        : c.action == WebAction::kPark ? StationInput::kPark
                                                       : StationInput::kUnpark;
      feed(&L, event(in, c.slot));
    }
    if (st.scan) read_scan(&L);
    for (size_t i = 0; i < st.slots.size(); i++)
      if (st.slots[i].running) reap(&L, i);
    if (st.live && L.now() - L.last_draw >= kRedraw) redraw(&L, "");
  }

  if (st.live) redraw(&L, "\x1b[?25h");
  if (L.web) {
    web_publish(L.web, st, L.now(), true);
    web_stop(L.web);
  }
  plat_terminal_restore();
  out(&L, summary_text(st, L.now()));
  return L.out_failed ? 1 : station_exit_code(st);
}
