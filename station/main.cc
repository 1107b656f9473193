// update-station: one run of update per box, on many ports at once, with a
// live view (or one line per event when the output is not a terminal) and
// a summary at the end.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/stop.h"
#include "station/events.h"
#include "station/options.h"
#include "station/slots.h"
#include "station/web.h"

namespace {

using Clock = std::chrono::steady_clock;

// The parent's side of one slot's current run.
struct Run {
  PlatChannel ch;
  PlatProcess proc;
  std::string buf;  // an incomplete line
  bool eof = false;
  bool stop_sent = false;
  double stop_time = 0;
  bool hard_sent = false;
};

// A run asked to stop that has not ended after this long is killed.
constexpr double kStopGrace = 10.0;
constexpr double kRedraw = 0.2;

Clock::time_point g_start;
StationTally g_tally;  // what the metrics count

double now() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }

void out(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

std::string update_program(const StationOptions& o) {
  if (!o.update_path.empty()) return o.update_path;
  std::string name = std::string("update") + plat_executable_suffix();
  std::string beside = plat_program_dir() + name;
  return plat_file_exists(beside) ? beside : name;
}

// Starts slot i's next run. False when it could not start (the slot has
// counted that as a failed attempt).
bool start_run(Station* st, size_t i, Run* run, const StationOptions& o, const std::string& prog,
               bool live) {
  Slot& s = st->slots[i];
  *run = Run();
  s.run = RunState();
  s.run_started = now();
  bool ok = plat_channel_open(&run->ch);
  if (ok) {
    std::vector<std::string> argv = {prog, "-p", s.port, "--events", run->ch.path};
    argv.insert(argv.end(), o.pass.begin(), o.pass.end());
    ok = plat_process_start(argv, &run->ch, &run->proc);
    if (!ok) plat_channel_close(&run->ch);
  }
  if (ok) {
    s.running = true;
    return true;
  }
  RunState failed;
  failed.ended = true;
  failed.result = RunResult::kFailed;
  failed.error = "cannot start " + prog + ": " + std::strerror(errno);
  std::string line = finish_run(st, i, failed, 1);
  tally_run(&g_tally, i, failed, 1);
  if (!live) out(line);
  return false;
}

// Reads what slot i's run has sent.
void read_events(Station* st, size_t i, Run* run, bool live) {
  Slot& s = st->slots[i];
  char buf[8192];
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
      if (live || k != EventKind::kPhase || s.run.phase == before || s.run.phase == "end")
        continue;
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

}  // namespace

namespace {

// Draws the view over the `drawn` lines drawn last, each line wiped first
// so a shorter one leaves nothing behind, then `tail`. Returns the lines
// drawn.
int redraw(const Station& st, int drawn, const std::string& tail) {
  std::string frame = view_frame(st, now(), plat_terminal_columns());
  std::string text = drawn ? "\r\x1b[" + std::to_string(drawn) + "A" : "";
  size_t start = 0, eol;
  int lines = 0;
  while ((eol = frame.find('\n', start)) != std::string::npos) {
    text += "\x1b[2K" + frame.substr(start, eol - start + 1);
    start = eol + 1;
    lines++;
  }
  out(text + tail);
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  g_start = Clock::now();
  StationOptions o;
  std::string err = parse_station_options(argc, argv, &o);
  if (o.help) {
    std::fputs(kStationUsage, stdout);
    return 0;
  }
  if (!err.empty()) {
    std::fprintf(stderr, "update-station: %s\n%s", err.c_str(), kStationUsage);
    return 1;
  }
  plat_stop_install();
  const bool live = plat_stdout_is_vt();
  const std::string prog = update_program(o);

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
    web = web_start({o.http, o.token_file, o.station, st.slots.size(), now}, &why);
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
    // third kills them.
    int stops = plat_stop_count() + drain_asked;
    if (stops > stops_seen) {
      stops_seen = stops;
      StopSignal sig = plat_stop_signal();
      bool all = stops >= 2 || (sig != kStopNone && sig != kStopInterrupt);
      if (!draining || all) {
        std::string notice =
            all ? "Stopping every run now."
                : "Stopping: boxes on the line finish, no new ones start (Ctrl-C again stops them).";
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
      if (!s.parked) start_run(&st, i, &runs[i], o, prog, live);
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
      std::string line = finish_run(&st, i, s.run, run.proc.exit_code);
      tally_run(&g_tally, i, s.run, run.proc.exit_code);
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
  out(summary_text(st, now()));
  return station_exit_code(st);
}
