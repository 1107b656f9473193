// The result journal: one JSON object on one line per box attempt (JSON
// Lines), appended to a file and on the disk the moment the attempt ends.
// The record's facts are collected here as the run learns them; the run
// settings supply the rest when the line is written.
#pragma once
#include <cstdint>
#include <string>

// Opens the journal at `path` for appending and starts the first attempt.
// Returns true on success; false after a line on standard error.
bool journal_open(const char* path);

// Starts the record of the next box attempt (loop mode).
void journal_begin();

// The PAD file argument as the user gave it.
void journal_set_file(const char* given);

// The image the attempt sends: its size and format code; the PAD file's
// checksum and version word where it came from a file.
struct JournalImage {
  uint32_t size;
  int format;
  bool from_file;
  uint32_t checksum;
  uint32_t version_word;
};
void journal_set_image(const JournalImage& image);

void journal_set_box_version(uint16_t major, uint16_t minor);
void journal_set_line_speed(uint32_t baud);
void journal_set_bytes_sent(uint32_t bytes);

// Ends the open attempt with `exit_code` and appends its line. Returns true
// when the line is on the disk, or when no journal or attempt is open;
// false after a line on standard error.
bool journal_end(int exit_code);

// `text` as a JSON string with its quotes. Bytes that are not UTF-8 become
// \u00XX (read as Latin-1), so the line stays valid whatever a path holds.
std::string json_string(const char* text);
