#include "core/exit.h"

#include <cstdio>
#include <cstdlib>

#include "core/messages.h"
#include "core/phase.h"
#include "core/report.h"
#include "platform/console.h"
#include "platform/stop.h"

namespace {

EndHook g_hook = nullptr;

// Runs the hook once: a failure inside it (a journal that cannot be
// written) must not come back here for a second record.
bool run_hook(RunEnd end, int code) {
  EndHook hook = g_hook;
  g_hook = nullptr;
  return hook == nullptr || hook(end, code);
}

}  // namespace

void set_end_hook(EndHook hook) { g_hook = hook; }

void exit_run(int code) {
  // A failure a stop request caused (an interrupted connect, say) is the
  // stop, not a fault of the box or the line.
  if (code != 0) exit_if_stopped();
  // The attempt's record goes out before the pause: the box is done with.
  // A record that cannot be kept fails the run.
  if (!run_hook(code == 0 ? RunEnd::kOk : RunEnd::kFailed, code)) code = 1;
  if (code > 0) {
    std::printf("%s -> ENTER\n", message(69));
    std::fflush(stdout);
    // Any character ends the pause; so does the end of the input, so a run
    // fed from a closed pipe or /dev/null never hangs here.
    plat_stdin_getc();
  }
  std::fflush(nullptr);
  std::exit(code);
}

void exit_if_stopped() {
  StopSignal s = plat_stop_signal();
  if (s == kStopNone) return;
  char line[128];
  std::snprintf(line, sizeof line, "Stopped by %s during %s.", plat_stop_name(s),
                phase_name(phase_current()));
  // A fresh line: a progress line may be open.
  std::fputs("\n", stderr);
  report_failure_text(stderr, kNoCode, line, line);
  run_hook(RunEnd::kStopped, 1);
  std::fflush(nullptr);
  std::exit(1);
}
