// update-station: one run of update per box, on many ports at once, with a
// live view (or one line per event when the output is not a terminal) and
// a summary at the end.
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/journal.h"
#include "core/messages.h"
#include "image/bootloader_table.h"
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
  bool stop_sent = false;
  double stop_time = 0;
  bool hard_sent = false;
};

// What the runs share that the station learnt before the first start.
struct Plan {
  std::string prog;
  const char* mode = "serial";
  bool have_image = false;
  JournalImage image = {};
};

// A run asked to stop that has not ended after this long is killed.
constexpr double kStopGrace = 10.0;
constexpr double kRedraw = 0.2;

Clock::time_point g_start;
bool g_output_gone = false;
StationTally g_tally;  // what the metrics count

double now() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }

// A reader that went away leaves the station supervising without output.
void out(const std::string& text) {
  if (g_output_gone) return;
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    if (errno != EINTR && errno != EAGAIN) g_output_gone = true;
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

// Writes the record of a run that left none of its own; a run the station
// stopped then counts as stopped.
void record_orphan(Station* st, size_t i, Run* run, const StationOptions& o, const Plan& plan,
                   int exit_code, const std::string& reason) {
  Slot& s = st->slots[i];
  OrphanRun orphan;
  orphan.station = station_name(o);
  orphan.port = s.port;
  orphan.mode = plan.mode;
  orphan.file = o.server ? "server" : o.file.c_str();
  orphan.have_image = plan.have_image;
  orphan.image = plan.image;
  orphan.run = s.run;
  orphan.seconds = now() - s.run_started;
  orphan.exit_code = exit_code;
  orphan.stopped = run->stop_sent;
  orphan.reason = reason;
  orphan.err_tail = run->err;
  std::string record = orphan_record(orphan);
  if (!journal_append(record)) {
    // The line on standard error said it; the slot goes on.
  }
  // Watchers of the web view see it as any run's record.
  s.run.record = record;
  if (run->stop_sent) {
    s.run.ended = true;
    s.run.result = RunResult::kStopped;
    s.run.error = station_stop_text(s.run.phase);
  }
}

// Starts slot i's next run. False when it could not start (the slot has
// counted that as a failed attempt).
bool start_run(Station* st, size_t i, Run* run, const StationOptions& o, const Plan& plan,
               bool live) {
  Slot& s = st->slots[i];
  *run = Run();
  s.run = RunState();
  s.run_started = now();
  bool ok = plat_channel_open(&run->ch);
  if (ok) {
    std::vector<std::string> argv = {plan.prog, "-p", s.port, "--events", run->ch.path};
    if (!o.station.empty()) argv.insert(argv.end(), {"--station", o.station});
    argv.insert(argv.end(), o.pass.begin(), o.pass.end());
    ok = plat_process_start(argv, &run->ch, &run->proc);
    if (!ok) plat_channel_close(&run->ch);
  }
  if (ok) {
    s.running = true;
    return true;
  }
  std::string reason = "cannot start " + plan.prog + ": " + plat_file_error_text(plat_last_error());
  record_orphan(st, i, run, o, plan, -1, reason);
  RunState failed;
  failed.ended = true;
  failed.result = RunResult::kFailed;
  failed.error = reason;
  std::string line = finish_run(st, i, failed, 1);
  tally_run(&g_tally, i, failed, 1);
  if (!live) out(line);
  return false;
}

// Reads what slot i's run has sent.
void read_events(Station* st, size_t i, Run* run, bool live) {
  Slot& s = st->slots[i];
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
      std::string before = s.run.phase;
      EventKind k = apply_event(line, &s.run);
      // The end has a line of its own once the run's exit is known.
      if (live || k != EventKind::kPhase || s.run.phase == before || s.run.phase == "end") continue;
      std::string text = s.run.phase;
      if (text == "download" && !s.run.box_version.empty()) {
        text += ", box " + s.run.box_version;
        if (s.run.line_speed) text += " at " + std::to_string(s.run.line_speed);
      }
      out(slot_line(s, text));
    }
  }
}

void stop_run(Run* run, bool hard) {
  if (run->hard_sent || (!hard && run->stop_sent)) return;
  plat_process_stop(&run->proc, hard);
  if (!run->stop_sent) run->stop_time = now();
  run->stop_sent = true;
  run->hard_sent = hard;
}

// Draws the view over the `drawn` lines drawn last, each line wiped first
// so a shorter one leaves nothing behind, then `tail`. Returns the lines
// drawn.
int redraw(const Station& st, int drawn, const std::string& tail) {
  std::string frame = view_frame(st, now(), plat_terminal_columns(), plat_terminal_rows());
  std::string text = drawn ? "\r\x1b[" + std::to_string(drawn) + "A" : "";
  size_t start = 0, eol;
  int lines = 0;
  while ((eol = frame.find('\n', start)) != std::string::npos) {
    text += "\x1b[2K" + frame.substr(start, eol - start + 1);
    start = eol + 1;
    lines++;
  }
  // A frame shorter than the last leaves no old rows under it.
  if (lines < drawn) text += "\x1b[J";
  out(text + tail);
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  plat_std_streams_guard();
  plat_start(&argc, &argv);
  g_start = Clock::now();
  StationOptions o;
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
  Plan plan;
  plan.prog = update_program(o);
  plan.mode = o.mode;
  if (!preflight(o, &plan)) return 1;
  plat_ignore_broken_pipe();
  plat_stop_install();
  const bool live = plat_stdout_is_vt();

  Station st;
  st.file = o.file;
  st.max_failures = o.max_failures;
  for (const std::string& p : o.ports) {
    Slot s;
    s.port = p;
    st.slots.push_back(s);
  }
  std::vector<Run> runs(st.slots.size());
  g_tally = tally_make(st.slots.size());
  WebView* web = nullptr;
  if (!o.http.empty()) {
    std::string why;
    web = web_start({o.http, o.token_file, station_name(o), st.slots.size(), now}, &why);
    if (!web) {
      std::fprintf(stderr, "update-station: %s\n", why.c_str());
      return 1;
    }
    std::fprintf(stderr, "update-station: web view at http://%s/\n", web_local(web).c_str());
    web_publish(web, st, g_tally, false, now());
  }
  int stops_seen = 0;
  int drain_asked = 0;  // 1 once the web view asked for a drain
  bool draining = false;
  double last_publish = 0;
  bool controlled = false;  // publish now: control requests wait for it
  double last_draw = -1;
  int drawn_lines = 0;
  if (live) out("\x1b[?25l");

  for (;;) {
    // Ctrl-C: the first lets boxes on the line finish and stops the runs
    // that have no box yet; the second (or a kill) stops every run; a
    // third kills them. Output gone counts as a first Ctrl-C, and so does a
    // drain asked for over the web.
    int stops = plat_stop_count() + drain_asked;
    if (stops > stops_seen || (g_output_gone && !draining)) {
      stops_seen = stops;
      StopSignal sig = plat_stop_signal();
      bool all = stops >= 2 || (sig != kStopNone && sig != kStopInterrupt);
      if (!draining || all) {
        std::string notice = all ? "Stopping every run now."
                                 : "Stopping: boxes on the line finish, no new ones start (Ctrl-C "
                                   "again stops them).";
        if (live) st.notice = notice;
        else out("update-station: " + notice + "\n");
      }
      draining = true;
      for (size_t i = 0; i < st.slots.size(); i++) {
        if (!st.slots[i].running) continue;
        if (all || st.slots[i].run.box_version.empty()) stop_run(&runs[i], stops >= 3);
      }
    }
    // A box that identifies after the first Ctrl-C still finishes; a run
    // that is still without a box is stopped as soon as the request is seen.
    for (size_t i = 0; i < st.slots.size(); i++) {
      Slot& s = st.slots[i];
      if (s.running && runs[i].stop_sent && !runs[i].hard_sent &&
          now() - runs[i].stop_time > kStopGrace)
        stop_run(&runs[i], true);
      if (s.running || s.done) continue;
      if (draining || (o.boxes && s.ok + s.failed >= o.boxes)) {
        s.done = true;
        continue;
      }
      if (!s.parked) start_run(&st, i, &runs[i], o, plan, live);
    }
    // With the web view, parked slots wait to be unparked until a drain.
    bool any_running = false;
    for (const Slot& s : st.slots) any_running |= s.running || (web && !draining && s.parked);
    if (!any_running) break;

    if (web && (controlled || now() - last_publish >= kRedraw)) {
      web_publish(web, st, g_tally, draining, now());
      last_publish = now();
      controlled = false;
    }

    std::vector<intptr_t> handles = {plat_stop_wait_handle()};
    if (web) handles.push_back(web_wait_handle(web));
    bool settling = false;
    for (size_t i = 0; i < st.slots.size(); i++) {
      if (!st.slots[i].running) continue;
      if (!runs[i].eof) handles.push_back(runs[i].ch.wait_handle);
      else settling = true;  // output closed: the exit follows at once
      handles.push_back(runs[i].proc.wait_handle);
      handles.push_back(runs[i].proc.err_wait);
    }
    plat_wait_any(handles, settling ? 5 : live ? 100 : web ? 200 : 250);
    plat_wait_handle_drain(plat_stop_wait_handle());
    for (const WebControl& c : web ? web_take(web) : std::vector<WebControl>()) {
      controlled = true;
      Slot& s = st.slots[c.slot];
      if (c.action == WebAction::kDrain) {
        drain_asked = draining ? drain_asked : 1;  // a drain is the first Ctrl-C, never the second
      } else if (c.action == WebAction::kUnpark) {
        s.parked = s.done = false;
        s.streak = 0;
      } else {
        // As with the first Ctrl-C: a box on the line finishes.
        s.parked = true;
        if (s.running && s.run.box_version.empty()) stop_run(&runs[c.slot], false);
      }
    }

    for (size_t i = 0; i < st.slots.size(); i++) {
      Slot& s = st.slots[i];
      if (!s.running) continue;
      Run& run = runs[i];
      read_events(&st, i, &run, live);
      if (!plat_process_poll(&run.proc)) continue;
      plat_channel_writer_ended(&run.ch);
      read_events(&st, i, &run, live);
      if (!run.eof) continue;
      if (!run.buf.empty()) apply_event(run.buf, &s.run);  // a last line without its end
      plat_channel_close(&run.ch);
      plat_process_release(&run.proc);
      int code = run.proc.killed ? -1 : run.proc.exit_code;
      if (!s.run.ended) record_orphan(&st, i, &run, o, plan, code, no_record_reason(code));
      std::string line = finish_run(&st, i, s.run, code);
      tally_run(&g_tally, i, s.run, code);
      if (web) web_attempt(web, s.run.record);
      if (!live) out(line);
    }
    if (live && now() - last_draw >= kRedraw) {
      drawn_lines = redraw(st, drawn_lines, "");
      last_draw = now();
    }
  }

  if (live) redraw(st, drawn_lines, "\x1b[?25h");
  if (web) {
    web_publish(web, st, g_tally, draining, now(), true);
    web_stop(web);
  }
  plat_terminal_restore();
  out(summary_text(st, now()));
  return g_output_gone ? 1 : station_exit_code(st);
}
