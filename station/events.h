// One run's event stream (JSON Lines from the tool's --events) read into the
// state the view shows and the summary counts.
#pragma once
#include <string>

enum class RunResult { kNone, kOk, kFailed, kStopped };

struct RunState {
  std::string phase;        // "" before the first phase event
  std::string box_version;  // "" until the box has told it
  long line_speed = 0;
  int percent = -1;           // -1 before the download
  long bytes = 0, total = 0;  // at the end: the record's bytes_sent
  bool ended = false;         // the end record arrived
  RunResult result = RunResult::kNone;
  std::string error;         // the journal's error text, "" when none
  std::string box_error;     // the box's own "ERROR:" line, "" when none
  std::string error_detail;  // the record's error_detail, "" when none
  double seconds = 0;
  std::string file_version, file_checksum;
  std::string record;  // the end's journal record as one line of JSON
};

// What one line changed.
enum class EventKind { kBad, kPhase, kBox, kSpeed, kProgress, kEnd, kOther };

// Applies one line of the stream to `r`. A line that is not a JSON object
// with an "event" is kBad and changes nothing.
EventKind apply_event(const std::string& line, RunState* r);

// The cause a failed run counts under: the box's own line when it sent one,
// else the tool's error text.
std::string failure_cause(const RunState& r);
