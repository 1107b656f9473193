// The box's side of the dialogue as a state machine: each byte the tool
// writes and each timer that runs out moves the box being served through
// its stages (wake, identification, download, transfer, finish), with the
// faults the options stage on the way; the boxes are served one after the
// other. The Dialogue is this file's state; the rest only passes it on.
#pragma once
#include <cstdint>
#include <string>

#include "tools/boxsim/box.h"
#include "tools/boxsim/line.h"
#include "tools/boxsim/log.h"
#include "tools/boxsim/options.h"
#include "tools/boxsim/report.h"

struct Dialogue {
  const Config* cfg = nullptr;
  Line* line = nullptr;
  Log* log = nullptr;
  Report report;
  Box box;
  Faults f;  // the faults the box being served meets
  std::string keyword_window;
  int64_t give_up_at = -1;
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

// Starts the run begun at `t0` (ms), played as `cfg` says on `line`, with
// its steps to `log`: the time limit and the first box.
void dialogue_start(Dialogue* d, const Config* cfg, Line* line, Log* log, int64_t t0);

// Takes one byte the tool wrote; `d` is the Dialogue (a ByteHandler).
void dialogue_byte(void* d, unsigned char c);

// The tool has closed the line (it is done with the box): a box met by a
// fault of its own is done too, and the next box takes its place.
void dialogue_line_closed(void* d);

// Runs what is due at `t` (ms): the timers, or at the end the wait for the
// tool to read the last answers, and the time limit; these may end the
// process. Returns when it wants to be called again (ms), -1 for no limit.
int64_t dialogue_tick(Dialogue* d, int64_t t);

// Ends the run before every box was served: the current box fails with
// `reason` (or the fault it met before), the ones after it were never
// reached; the process exits with `code`.
[[noreturn]] void dialogue_abort(Dialogue* d, const std::string& reason, int code);
