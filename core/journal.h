// The result journal: one JSON object on one line per box attempt (JSON
// Lines), appended to a file the moment the attempt ends. The journal only
// writes: what a record holds comes from its caller.
#pragma once
#include <cstdint>
#include <string>

#include "core/exit.h"
#include "core/report.h"

// The image an attempt sends: its size and format code; the PAD file's
// checksum and version word where it came from a file.
struct JournalImage {
  uint32_t size;
  int format;
  bool from_file;
  uint32_t checksum;
  uint32_t version_word;
};

// One attempt's record. Null pointers are written as JSON null.
struct JournalRecord {
  std::string time;       // a JSON string (json_utc_now)
  const char* tool;       // name and revision
  const char* station;    // the station's name
  const char* attempt;    // the attempt's id: 32 lower-case hex digits
  const char* mode;       // "serial", "network", "server-query", "server-download"
  const char* port_text;  // the port as given by name, or "host:port"; nullptr: com_port
  int com_port;
  const char* file;  // the PAD file as given
  bool have_image;
  JournalImage image;
  bool have_box;
  uint16_t box_major, box_minor;
  bool patched;
  // A signed run's verdict ("ok" or the reason) and the signing key's name;
  // nullptr verdict: no signature looked at, and neither field written.
  const char* signature;
  const char* signature_key;
  uint32_t line_speed;  // 0 = not known
  uint32_t bytes_sent;
  double seconds;
  RunEnd end;
  int exit_code;
  // Written unless the attempt succeeded.
  const char* error;
  ErrorCode error_code;
  const char* box_error;  // "" or nullptr: null
  // The image as it went to the box: its SHA-256 (64 lower-case hex
  // digits) and size, taken from the buffer when the download began;
  // nullptr: nothing was loaded, and both are null.
  const char* image_sha256;
  uint32_t image_size;
  // The software's own version ("3.3.0", what the update server answered);
  // nullptr: not known (a PAD file carries none).
  const char* software_version;
  // The unit's serial and the operator, as given; nullptr: null.
  const char* unit;
  const char* operator_name;
  // Beside the error: the system's text for the error value, or why a
  // file failed its check; "" or nullptr, and every success: null.
  const char* error_detail;
};

// The record as one JSON object, without the line end.
std::string journal_line(const JournalRecord& r);

// A fresh attempt id into `id` (33 bytes): 32 lower-case hex digits from
// the system's random source, so records of many stations merged into one
// journal stay apart.
void journal_new_attempt_id(char* id);

// Opens the journal at `path` for appending: proves it writable before any
// box is touched. `program` names the tool in its error lines. Returns true
// on success; false after a line on standard error.
bool journal_open(const char* program, const char* path);

bool journal_is_open();

// Appends `object` and a line end in one write, through a fresh open of the
// journal's path. Returns true when the line went out (or no journal is
// open); false after a line on standard error.
bool journal_append(const std::string& object);

// The path journal_open took; "" while no journal is open. Set before any
// thread reads it, never changed after.
const std::string& journal_path();
