// The journals update-report reads: which names on the command line are
// files, which are streams, and their lines through one fixed buffer, so
// a journal of any length, and any line in it, costs the same memory.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// Called for every line, without its newline. `complete` is false for a
// last line that has no newline (cut off, or still being written). The
// line is followed by kLinePadding readable bytes.
using LineSink = void (*)(void* ctx, std::string_view line, bool complete);

#include "store/record.h"

constexpr size_t kMaxLine = kMaxRecordLine;

struct JournalRead {
  uint64_t end = 0;      // offset just past the last complete line
  int error = 0;         // errno of a failed read; 0 when the stream was read to its end
  int64_t too_long = 0;  // lines over kMaxLine, skipped
};

// Reads `f` from its current position, which is `start` in the file.
JournalRead journal_read(std::FILE* f, uint64_t start, LineSink sink, void* ctx);

struct Journal {
  std::string name;
  bool stream = false;  // "-", a FIFO or a device: read once, never resumed
};

// The journals named on the command line: a folder gives its regular
// *.jsonl files in name order (any other file so named goes to *skipped,
// never opened: a FIFO there would block), "-" standard input, a FIFO or
// device itself as a stream, anything else itself as a file. Returns false
// and the offending name in *bad when a folder cannot be listed.
bool journal_expand(const std::vector<std::string>& args, std::vector<Journal>* out,
                    std::vector<std::string>* skipped, std::string* bad);
