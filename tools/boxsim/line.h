// The box's serial line: a pseudo-terminal whose slave end the tool opens.
// Unpaced, bytes go both ways at once; with --pace they take the time the
// line's rate and frame give them in both directions. What the tool writes
// is handled as soon as it is read, but every answer leaves no earlier than
// the bytes it answers would have arrived (after a block or EOT plus the
// box's turnaround), and reaches the tool only after the adapter's latency.
// Times are in ns of the monotonic clock.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "tools/boxsim/log.h"
#include "tools/boxsim/pace.h"

struct Timed {
  int64_t due;  // when the tool may see it
  char c;
};

struct Line {
  int master = -1;
  int slave = -1;
  int closes = -1;  // inotify: the tool closing its end, -1 when not watched
  std::string pty_path;
  std::string link;  // a symlink to the pty, removed at the end
  std::string out;   // bytes for the tool not yet written
  const Log* log = nullptr;
  // The paced line.
  bool paced = false;
  int64_t turnaround_ns = 1000000;
  int64_t latency_ns = 0;
  LineClock to_box;
  LineClock to_tool;
  int64_t event_at = -1;       // arrival of the byte being handled, -1: now
  std::deque<Timed> queue;     // answers on their way to the tool
  int64_t late_ns = 0;         // how late the last answer was handed over
  int64_t transfer_from = -1;  // the tool saw the box's first answer in
                               // the download stage (its NAK for block 1)
};

// Opens the pseudo-terminal, raw at 115200 baud, and holds its slave end;
// `paced` with the box's `turnaround_ns` and the adapter's `latency_ns`;
// `watch_closes`: line_serve tells when the tool closes its end. Steps go
// to `log`. Exits 2 after a message when it cannot.
void line_open(Line* l, const Log* log, bool paced, int64_t turnaround_ns, int64_t latency_ns,
               bool watch_closes);

// Makes `path` a symlink to the pty. A symlink to a pseudo-terminal found
// there is one an earlier run left and is replaced; anything else stays,
// and the call returns false after a message, as it does when it cannot.
bool line_link(Line* l, const std::string& path);

// Removes the link, if it still leads to this pty, and closes both ends.
void line_close(Line* l);

// Closes the master end: the tool sees the line hang up.
void line_hang_up(Line* l);

// Sends `s` to the tool; paced, it leaves as the line allows. `download`:
// the box is in its download stage, whose first answer starts the
// transfer's timing.
void line_send(Line* l, const std::string& s, bool download);

// The rate the tool has set on its end, 0 when unknown.
unsigned line_rate(const Line& l);

// Bytes for the tool not yet written, paced ones included.
size_t line_unsent(const Line& l);

// Bytes the slave side holds that the tool has not read yet.
int line_unread_by_tool(const Line& l);

// Hands the tool what is due by now.
void line_release(Line* l);

// What was not yet sent is gone; the line falls idle.
void line_drop_unsent(Line* l);

// A fresh line for the next box: nothing unsent, nothing the tool left
// unread.
void line_fresh(Line* l);

// Paced: the box answers a complete block or EOT only after its turnaround.
void line_turnaround(Line* l);

// Paced: EOT of box `box` has arrived after `blocks` blocks; prints the
// transfer's time once, from the tool seeing the box's first answer in the
// download stage to this one.
void line_transfer_done(Line* l, int box, int blocks);

// Takes one byte the tool wrote; `ctx` is what line_serve was given.
using ByteHandler = void (*)(void* ctx, unsigned char c);
// The tool has closed its end (watched lines only).
using CloseHandler = void (*)(void* ctx);

// Waits up to `wait_ms` (-1: no limit; paced, no later than the next answer
// due) for the line, writes what it can take and hands each byte the tool
// wrote to `on_byte`, paced at its arrival; a close of the tool's end goes
// to `on_close` before the bytes read with it. Returns poll's result:
// > 0 when the line was served, 0 when the wait ran out, -1 with errno set.
int line_serve(Line* l, int wait_ms, ByteHandler on_byte, CloseHandler on_close, void* ctx);
