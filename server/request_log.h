// The request log: one JSON object on one line per exchange (JSON Lines),
// with the time, result and version conventions of the tool's journal so
// both can be read side by side.
#pragma once
#include <cstdint>
#include <string>

#include "server/catalogue.h"

namespace asio {
class io_context;
}

// The log's sink and its queue; one per server, in its State.
struct RequestLog;

// Opens `path` for appending (nullptr: standard output). Returns the log,
// or nullptr after a line on standard error. Lines are queued (up to
// 1 MiB) and written as the sink takes them, never waiting for it: lines
// that find the queue full are dropped, and the next line that goes in is
// preceded by one that counts them. A line is never left half written.
RequestLog* log_open(const char* path);

// Closes the file (not the standard output) and frees `log`.
void log_close(RequestLog* log);

// Opens the file anew (after it was rotated away). Keeps the old handle and
// returns false when that fails.
bool log_reopen(RequestLog* log);

// Writes the queue from `io` from now on: when the sink can take more,
// and a second after an error of the sink.
void log_attach(RequestLog* log, asio::io_context& io);

// Back to no io (before it goes): the queue gets up to 2 s to drain.
void log_detach(RequestLog* log);

struct Exchange {
  std::string peer;  // "address:port"
  // "B", "C", "D", "connect", "idle" (a limit ended it), "log" (lines
  // dropped), or the unknown byte's text
  const char* command = "";
  int channel = -1;            // as received; -1: none. Logged as the channel's
                               // name and, as channel_code, its number
  int major = -1, minor = -1;  // as received (low 8 bits); -1: none
  std::string version;         // "a.b.c" answered; empty: none
  std::string file;            // relative to the catalogue; empty: none
  int64_t size = -1;           // announced; -1: none
  uint64_t bytes_sent = 0;     // software bytes that went out
  double seconds = 0;
  const char* result = "ok";  // "ok", "none" (nothing for this box), "failed", "refused"
  std::string reason;         // empty for "ok" and "none"
  // Who fetches, as its 'A' said, and what a download sent; written only
  // where known, so a line joins the station's journal record.
  std::string station, attempt, sha256;
};

// Queues the exchange's line and writes what the sink takes now.
void log_exchange(RequestLog* log, const Exchange& e);

// One "command":"catalogue" line for every entry that `now` adds, removes
// or replaces against `before` (nullptr: the first load, everything is
// added): channel, bootloader folder, version, file, size, SHA-256 and the
// signing key's name, or "unsigned".
void log_catalogue_changes(RequestLog* log, const Catalogue* before, const Catalogue& now);

// The line log_exchange writes, without the time stamp's value fixed: for
// the tests and for a caller that wants the text.
std::string exchange_line(const Exchange& e, const std::string& time);
