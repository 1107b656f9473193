// The journal lines the station writes itself, for runs that left none of
// their own (they could not start, were killed, or died), and the tail of
// a run's standard error those lines quote.
#pragma once
#include <string>

#include "core/journal.h"
#include "station/events.h"

// What the station knows of such a run.
struct OrphanRun {
  std::string station;      // the station's name
  std::string port;         // as given with -p
  const char* mode;         // the journal's mode
  const char* file;         // the PAD file as given, nullptr for none
  bool have_image = false;  // the file check before the start saw it
  JournalImage image = {};
  RunState run;  // its events so far
  double seconds = 0;
  int exit_code = -1;    // -1: killed, or never started
  bool stopped = false;  // the station asked it to stop
  std::string reason;    // why it left no record (unless stopped)
  std::string err_tail;  // the end of its standard error
};

// The record's error when the station stopped the run: "Stopped by the
// station during download." (the phase the run had reached).
std::string station_stop_text(const std::string& phase);

// Why a run that ended with `exit_code` left no record.
std::string no_record_reason(int exit_code);

// The record as one JSON object, without the line end: result "stopped"
// when the station stopped it, else "failed" with the reason and the last
// lines of its standard error.
std::string orphan_record(const OrphanRun& o);

// Adds `n` bytes to a tail that keeps only the last few KiB.
void keep_tail(std::string* tail, const char* data, size_t n);

// The last `count` non-empty lines of `tail`, joined with " | ".
std::string last_lines(const std::string& tail, int count);
