// Reads a journal line by line through one fixed buffer, so a journal of
// any length costs the same memory.
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

struct JournalRead {
  uint64_t end = 0;  // offset just past the last complete line
  int error = 0;     // errno of a failed read; 0 when the stream was read to its end
};

// Reads `f` from its current position, which is `start` in the file.
JournalRead journal_read(std::FILE* f, uint64_t start, LineSink sink, void* ctx);

// The journals named on the command line: a folder gives its *.jsonl files
// in name order, "-" standard input, anything else itself. Returns false
// and the offending name in *bad when a folder cannot be listed.
bool journal_expand(const std::vector<std::string>& args, std::vector<std::string>* out,
                    std::string* bad);
