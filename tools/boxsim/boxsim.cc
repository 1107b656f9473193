// boxsim: plays a set-top box's serial bootloader on a pseudo-terminal, so
// that the update tool can be run end to end without hardware.
//
// Written from the box's point of view and on its own: it shares no code or
// constants with the tool, so a test against it checks the tool against a
// second reading of the protocol rather than against itself.
//
// This file starts the run and turns its loop; options.cc reads the
// command line, line.cc is the (paced) line, dialogue.cc the box's side of
// the dialogue and report.cc what the run reports.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "platform/std_streams.h"
#include "tools/boxsim/dialogue.h"
#include "tools/boxsim/line.h"
#include "tools/boxsim/log.h"
#include "tools/boxsim/options.h"

namespace {

// Set by the signal handler, acted on by the loop.
volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

[[noreturn]] void serve(Dialogue* d, Line* line) {
  for (;;) {
    line_release(line);
    if (g_stop) dialogue_abort(d, "interrupted", 2);
    int64_t next = dialogue_tick(d, now_ms());
    int64_t t = now_ms();
    int wait = -1;
    if (next >= 0) wait = int(std::max<int64_t>(0, std::min<int64_t>(next - t, INT_MAX)));
    if (line_serve(line, wait, dialogue_byte, dialogue_line_closed, d) < 0) {
      if (errno == EINTR) continue;
      perror("boxsim: poll");
      dialogue_abort(d, "poll failed", 2);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  plat_std_streams_guard();
  Config cfg;
  parse_options(argc, argv, &cfg);
  Log log;
  log.verbose = cfg.verbose;
  log.t0_ms = now_ms();
  if (!load_expect(&cfg)) {
    fprintf(stderr, "boxsim: cannot read %s\n", cfg.expect_path.c_str());
    return 2;
  }
  Line line;
  line_open(&line, &log, cfg.pace, cfg.turnaround_ns, cfg.latency_ns, faults_per_box(cfg));

  int pts = -1;
  if (sscanf(line.pty_path.c_str(), "/dev/pts/%d", &pts) != 1) {
    fprintf(stderr, "boxsim: unexpected pty name %s\n", line.pty_path.c_str());
    return 2;
  }
  if (!cfg.link.empty() && !line_link(&line, cfg.link)) return 2;

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  printf("COM %d\nPTY %s\n", 1000 + pts, line.pty_path.c_str());
  fflush(stdout);

  Dialogue d;
  dialogue_start(&d, &cfg, &line, &log, log.t0_ms);
  serve(&d, &line);
}
