// The request log: one JSON object on one line per exchange (JSON Lines),
// with the time, result and version conventions of the tool's journal so
// both can be read side by side.
#pragma once
#include <cstdint>
#include <string>

// Opens `path` for appending (nullptr: standard output). Returns true on
// success; false after a line on standard error.
bool log_open(const char* path);

// Opens the file anew (after it was rotated away). Keeps the old handle and
// returns false when that fails.
bool log_reopen();

struct Exchange {
  std::string peer;     // "address:port"
  const char* command = "";  // "B", "C", "D", "connect", or the unknown byte's text
  int channel = -1;     // as received; -1: none
  int major = -1, minor = -1;  // as received (low 8 bits); -1: none
  std::string version;  // "a.b.c" answered; empty: none
  std::string file;     // relative to the catalogue; empty: none
  int64_t size = -1;    // announced; -1: none
  uint64_t bytes_sent = 0;  // software bytes that went out
  double seconds = 0;
  const char* result = "ok";  // "ok", "none" (nothing for this box), "failed", "refused"
  std::string reason;   // empty for "ok" and "none"
};

// Writes the exchange's line in one write call.
void log_exchange(const Exchange& e);

// The line log_exchange writes, without the time stamp's value fixed: for
// the tests and for a caller that wants the text.
std::string exchange_line(const Exchange& e, const std::string& time);
