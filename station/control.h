// The station's rules as a state machine over the Station: what a stop
// request, a control request, a line from a run and a run's end do to the
// slots, and which runs start and stop. No clock, process or terminal
// here: the caller waits, feeds what happened in and carries out what
// comes back.
#pragma once
#include <string>
#include <vector>

#include "station/slots.h"

enum class StationInput {
  kTick,         // time passed (starts due, stops overdue)
  kStop,         // the system counted a stop request (Ctrl-C, a kill)
  kOutputGone,   // the reader of standard output went away
  kDrain,        // the web view asks for a drain
  kPark,         // the web view parks `slot`
  kUnpark,       // the web view unparks `slot`
  kRunLine,      // `slot`'s run sent the line `text`
  kRunEnded,     // `slot`'s run ended with `exit_code`
  kStartFailed,  // `slot`'s run could not start, for the reason `text`
  kScanLine,     // --scan: the line `text` came from standard input
  kScanEnded,    // --scan: standard input has ended
};

struct StationEvent {
  StationInput input = StationInput::kTick;
  double now = 0;  // station seconds
  size_t slot = 0;
  int signals = 0;         // kStop: requests counted so far
  bool terminate = false;  // kStop: the last was a kill, not a Ctrl-C
  int exit_code = 0;       // kRunEnded: -1 when killed
  std::string text;        // kRunLine, kStartFailed, kScanLine
  // kRunEnded, kStartFailed: the record the station wrote for a run that
  // left none of its own, else "".
  std::string record;
};

enum class StationDo {
  kUseUnit,  // the serial `text` is taken from the list, never to be used again
  kStart,    // start `slot`'s next run (for the unit `text` when not "")
  kStop,     // ask `slot`'s run to stop
  kKill,     // kill `slot`'s run
  kSay,      // write `text` (whole lines) to standard output
  kAttempt,  // a finished attempt's record `text` for the web view
};

struct StationAction {
  StationDo what;
  size_t slot = 0;
  std::string text;
};

// The records the status carries, for a page opened late.
constexpr size_t kStationLastAttempts = 20;

// A run asked to stop that has not ended after this long is killed.
constexpr double kStationStopGrace = 10.0;

// A line from the scanner read: the slot it names and the serial. A line
// whose first word is a number (up to 9 digits) and that goes on after it
// names that slot ("3 SN123"); any other line is the serial alone. Blanks
// around both are dropped; a blank line gives an empty serial.
struct ScanLine {
  bool named = false;
  unsigned long slot = 0;  // from 1, when named
  std::string unit;
};
ScanLine scan_parse(const std::string& line);

// Applies `e` to `st` and schedules: returns what to carry out, in order.
// A kStart already counts the slot as running; when it cannot start, feed
// kStartFailed.
std::vector<StationAction> station_apply(Station* st, const StationEvent& e);

// True once the station has nothing left to do: no run goes on, with the
// web view and no drain no slot waits parked for an unpark, and with
// --scan no slot that is neither parked nor done waits for a serial while
// the scanner's input is open.
bool station_over(const Station& st);
