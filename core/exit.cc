#include "core/exit.h"

#include <cstdio>
#include <cstdlib>

#include "core/journal.h"
#include "core/messages.h"
#include "platform/console.h"

void exit_run(int code) {
  // The attempt's record goes out before the pause: the box is done with.
  // A record that cannot be kept fails the run.
  if (!journal_end(code)) code = 1;
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
