// One accepted connection as the scripted peer reads and writes it: every
// read waits at most the run's time limit, every byte received goes to the
// record file, and what the peer did is noted for the summary.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What the connections of a run share.
struct Run {
  int timeout_ms = 60000;            // the longest wait for the peer
  int record_fd = -1;                // every byte received, in order; -1: none
  bool timed_out = false;            // a wait ran out: the run ends
  std::vector<std::string> summary;  // printed at the end
};

// Bytes that arrive while we are sending (a goodbye during a refused
// download) are kept in `pending` and served first.
struct Conn {
  Run* run = nullptr;
  int fd = -1;
  bool closed = false;  // peer gone or we hung up
  std::string pending;
};

// Adds `line` to the summary.
void note(Run* run, const std::string& line);

// "0x" and two hex digits of the low byte of `b`, for the summary.
std::string hex_byte(int b);

// Reads whatever is there (waiting up to the time limit) into c->pending.
// Returns false when the peer closed, failed or stayed silent.
bool fill(Conn* c);

// The next byte into `b`; false when the peer stopped first.
bool get_byte(Conn* c, uint8_t* b);

// Up to `n` bytes into `out` (dropped when null); returns how many came
// before the peer stopped.
size_t get_bytes(Conn* c, std::string* out, size_t n);

// Sends `n` bytes; false when the peer is gone.
bool put(Conn* c, const void* data, size_t n);
bool put_byte(Conn* c, int b);

// Closes our side for writing; what the peer sent still reaches the record.
void hang_up(Conn* c);

// The scripted close: sends the first `count` bytes of the `n`-byte answer
// (all of it at most), notes "CLOSE AT <where>" and hangs up.
void scripted_close(Conn* c, const void* answer, size_t n, size_t count, const char* where);

// Closes at once with a reset, so that every later send of the peer fails.
void reset(Conn* c);
