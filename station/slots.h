// The slots of a station and what their runs add up to: the counts, the
// parking rule, the live view's frame, the line mode's lines and the
// summary. Plain text out; writing it is the caller's.
#pragma once
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "http/prom.h"
#include "station/events.h"

struct Slot {
  std::string port;  // as given with -p
  int ok = 0, failed = 0;
  int streak = 0;  // failed attempts in a row
  bool parked = false;
  std::string last_error;
  std::string last_error_detail;  // the system's or the check's why, "" when none
  double good_seconds = 0;        // summed over the good boxes
  bool running = false;
  bool done = false;  // starts no more runs
  RunState run;
  double run_started = 0;  // station seconds
  bool stop_sent = false;  // the run was asked to stop
  bool hard_sent = false;  // ... and then killed
  double stop_time = 0;    // station seconds of the first ask
  std::string unit;        // the serial of the run going or last, "" = none
  bool retest = false;     // ... seen before in this shift
  bool keep_unit = false;  // no box took it: the next run has it again
  std::string next_unit;   // --scan: scanned for the next box, "" = none yet
  double idle_since = 0;   // station seconds: without a run since then
};

// The counts the metrics keep beyond the slots' own.
struct StationTally {
  struct PerSlot {
    double ok = 0, failed = 0, stopped = 0;  // runs by their journal result
    double bytes = 0;                        // image bytes of finished runs
  };
  std::vector<PerSlot> slots;
  PromHistogram good_seconds;  // durations of the good attempts
};

struct Station {
  std::vector<Slot> slots;
  std::string file, file_version, file_checksum;
  std::map<std::string, int> causes;  // failures by cause
  std::string notice;                 // a line under the view (stopping)
  int max_failures = 3;
  long boxes = 0;     // attempts per slot; 0 = no limit
  bool live = false;  // a live view: notices go to `notice`, no lines
  bool web = false;   // a web view: parked slots wait there for an unpark
  StationTally tally;
  // Units: with need_unit a run starts only with a serial, taken from
  // `units` in order; `seen` holds every serial started so far.
  bool need_unit = false;
  std::deque<std::string> units;
  std::set<std::string> seen;
  // Scanned serials (--scan): each slot's next one in Slot::next_unit;
  // once the input has ended no slot gets a new one.
  bool scan = false;
  bool scan_ended = false;
  std::string scan_notice;           // the last scan's answer, under the live view
  std::deque<std::string> attempts;  // the last records, newest last
  // The stop policy's state (station/control.h).
  int signals = 0;           // Ctrl-C and the like, counted by the system
  bool terminated = false;   // one was a kill, not a Ctrl-C
  int soft_stop = 0;         // 1: a drain or output gone came first
  int stops_seen = 0;        // signals + soft_stop, as last acted on
  bool draining = false;     // no new runs start
  bool output_gone = false;  // the reader of the output went away
};

// Counts a finished run of slot `i`: its end record in `r` (r.ended false
// when the run left none), its process's `exit_code`. Parks the slot at the
// station's limit of failures in a row. Returns the line mode's line for it.
std::string finish_run(Station* st, size_t i, const RunState& r, int exit_code);

// True when slot `i` waits for a scanned serial: no run, not parked or
// done, and no serial of its own yet.
bool slot_wants_unit(const Station& st, size_t i);

// The slot a scanned serial without a slot goes to: of those that want one
// the one without a run for longest, the first of them when tied;
// st.slots.size() when none wants one.
size_t scan_target(const Station& st);

// A line mode line: the port, a colon, the text.
std::string slot_line(const Slot& s, const std::string& text);

// The live view's frame at station time `now` (seconds): a header and one
// row per slot, each at most `columns` wide, each ending in a line feed.
// With `rows` (0: no limit) a frame that would not fit under rows - 1 lines
// shows only the slots running or failing and a line counting the rest.
std::string view_frame(const Station& st, double now, int columns, int rows = 0);

// The summary at the end, after `elapsed` seconds.
std::string summary_text(const Station& st, double elapsed);

// 0 when every attempt succeeded and the output was read to the end,
// else 1.
int station_exit_code(const Station& st);
