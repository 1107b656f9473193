// The clock and the verbose log (-v) of the box simulator: the dialogue and
// the line stamp their steps with the same clock and the box they serve.
#pragma once
#include <cstdint>
#include <string>

// The monotonic clock in ms and in ns.
int64_t now_ms();
int64_t now_ns();

// Where -v sends the steps of the run.
struct Log {
  bool verbose = false;
  int64_t t0_ms = 0;  // the start of the run, for the stamps
  int box = 0;        // the box being served
};

// One line on standard error, stamped, when `log` is verbose.
__attribute__((format(printf, 2, 3))) void logv(const Log& log, const char* fmt, ...);

// `s` for a log line: line ends and other bytes that are not plain ASCII
// as escapes.
std::string printable(const std::string& s);
