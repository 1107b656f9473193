// The station's journal served from a cursor (GET /api/journal), so a hub
// can follow it and resume where it stopped: across restarts of either
// side, and from the start when the journal was rotated or rewritten.
// Runs on the HTTP thread; it only reads the file the runs append to.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A position in one journal: the file (device, inode and a hash of its
// first line) and the byte offset of a line start.
struct JournalCursor {
  uint64_t volume = 0, index = 0, first_hash = 0;
  uint64_t offset = 0;
};

// "j1-VOLUME-INDEX-HASH-OFFSET" (hex, offset decimal).
std::string journal_cursor_text(const JournalCursor& c);
// False when `text` is not a cursor this station makes.
bool journal_cursor_parse(std::string_view text, JournalCursor* out);

constexpr size_t kJournalFeedDefault = 1000;
constexpr size_t kJournalFeedMax = 10000;
// The record bytes one answer holds at most; the first record always goes.
constexpr size_t kJournalFeedBytes = 8u << 20;
// A line longer than this is no record: skipped, never served.
constexpr size_t kJournalFeedLine = 1u << 20;

struct JournalFeed {
  int status = 200;  // 200; 400 for a bad query; 404 when the station keeps no journal
  std::string body;  // the JSON object, or the reason for the refusal
};

// The answer for the query string of GET /api/journal (after=CURSOR,
// limit=N) over the journal at `path` ("" = none kept): {"records": [...],
// "next": CURSOR, "more": bool}. A record is the journal's line as it is;
// a line that is not JSON goes as a JSON string of its text. A last line
// without its line end is still being written and is left for later.
JournalFeed journal_feed(const std::string& path, std::string_view query);
