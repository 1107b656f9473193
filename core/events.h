// The event stream (--events FILE): JSON Lines a supervisor follows while
// the run goes, one object a line with "time" and "event":
//   {"event":"phase","phase":"sync"}
//   {"event":"box","box_version":"23.0"}
//   {"event":"speed","line_speed":921600}
//   {"event":"progress","percent":42,"bytes":12345,"total":29312}
//   {"event":"end","record":{...the journal record...}}
// Each line goes out in one write as it happens, not synced: it is a live
// view, the journal is the record.
#pragma once
#include <cstdint>
#include <string>

#include "core/phase.h"

// Opens the stream at `path` for appending, without blocking on a FIFO that
// has no reader; `program` names the tool in its error line. Returns true
// on success; false after a line on standard error.
bool events_open(const char* program, const char* path);

void events_phase(Phase p);
void events_box_version(uint16_t major, uint16_t minor);
void events_line_speed(uint32_t baud);

// Transfer progress: `done` of `total` image bytes acknowledged. Lines come
// at most once per whole percent, and always for the first and last byte.
void events_progress(uint32_t done, uint32_t total);

// The attempt's end: `record` is the journal's JSON object (no line end).
void events_end(const std::string& record);
