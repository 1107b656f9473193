// What the run tells its caller: the box's own check of what it received,
// a summary line per box, the received data written out (--out), and the
// RESULT line and exit code at the end.
#pragma once
#include <string>
#include <vector>

#include "tools/boxsim/box.h"
#include "tools/boxsim/options.h"

struct Report {
  std::vector<std::string> summary;  // printed at the end, a line per box
  int boxes_ok = 0;
  bool out_file_written = false;
};

// The box's check after "finished!": `text` is the summary's verdict (OK,
// FILLER or FAIL and the reason); `run_over`, the tool stops after this box
// (it sent the filler block), so no later box will come.
struct Verdict {
  bool ok;
  std::string text;
  bool run_over;
};
Verdict judge_box(const Config& cfg, const Box& b);

// Records box `b`'s summary line with `verdict` and writes the data it
// received. Returns the line.
std::string report_box(Report* r, const Config& cfg, const Box& b, bool ok,
                       const std::string& verdict);

// Records boxes `first` to the last as never reached.
void report_unreached(Report* r, const Config& cfg, int first);

// Prints the summary and the RESULT line. Returns the exit code: `code`,
// or 1 where `code` is 0 but not every box passed.
int report_end(Report* r, const Config& cfg, int code);
