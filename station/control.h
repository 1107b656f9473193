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
};

struct StationEvent {
  StationInput input = StationInput::kTick;
  double now = 0;  // station seconds
  size_t slot = 0;
  int signals = 0;         // kStop: requests counted so far
  bool terminate = false;  // kStop: the last was a kill, not a Ctrl-C
  int exit_code = 0;       // kRunEnded: -1 when killed
  std::string text;        // kRunLine, kStartFailed
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

// A run asked to stop that has not ended after this long is killed.
constexpr double kStationStopGrace = 10.0;

// Applies `e` to `st` and schedules: returns what to carry out, in order.
// A kStart already counts the slot as running; when it cannot start, feed
// kStartFailed.
std::vector<StationAction> station_apply(Station* st, const StationEvent& e);

// True once the station has nothing left to do: no run goes on and, with
// the web view and no drain, no slot waits parked for an unpark.
bool station_over(const Station& st);
