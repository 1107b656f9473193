// One journal line read into the fields the report counts. The views point
// into the parser's buffers and the line: valid until the next line is read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct RecordKey {
  uint64_t hi = 0, lo = 0;
  bool operator==(const RecordKey&) const = default;
};

// A key spread over 64 bits for a hash table: every bit of both halves
// counts, since attempt ids may differ in any of them.
uint64_t record_key_hash(const RecordKey& k);

enum RecordResult : uint8_t { kResultOk, kResultFailed, kResultStopped };

// The record's fields beyond the ones the report counts, each kept in a
// column of its own. A field absent from a line and a JSON null are both
// kept as null.
enum FieldType : uint8_t { kFieldText, kFieldInt, kFieldBool };
struct FieldSpec {
  const char* name;  // the journal's name, and the store's column
  FieldType type;
};
constexpr int kRecordFields = 20;
// The column of field i, 0 <= i < kRecordFields.
const FieldSpec& record_field(int i);
// The field named `name`, or -1.
int record_field_index(std::string_view name);

struct FieldValue {
  bool set = false;  // false: absent or null
  std::string_view text;
  int64_t number = 0;  // kFieldInt; kFieldBool as 0 or 1
};

struct Record {
  std::string_view time;     // "YYYY-MM-DDTHH:MM:SS..." (checked)
  std::string_view station;  // "-" when the record names none
  std::string_view port;     // a COM number as its digits, a path, "host:port"; "-" when absent
  RecordResult result = kResultOk;
  std::string_view cause;  // failed: box_error when it has text, else error; else empty
  double seconds = 0;
  std::string_view box_version, file_version, file_checksum;  // "-" when null or absent
  std::string_view unit;                                      // empty when the record names none
  std::string_view error_detail;  // failed: the record's error_detail; empty when none
  RecordKey key;
  std::string port_digits;  // holds a numeric port's text
  std::string_view line;    // the whole record as the journal holds it
  FieldValue fields[kRecordFields];
};

// The key that makes a record count once: its attempt (32 hex digits, taken
// as they are) when it has one, else a hash of the whole line.
RecordKey record_key_of_line(std::string_view line);
RecordKey record_key_of_attempt(std::string_view attempt);

// Reads one line (no newline). `line` must be followed by at least
// kLinePadding readable bytes (they are not looked at as part of the line).
// Returns false for a line that is not a journal record: not JSON, not one
// object, a field twice or of the wrong type, no time or result, a value
// out of range, invalid UTF-8.
constexpr size_t kLinePadding = 64;
// A longer line is no record: skipped unread and counted.
constexpr size_t kMaxRecordLine = 1 << 20;
struct RecordParser;
RecordParser* record_parser_new();
void record_parser_free(RecordParser* p);
bool record_parse(RecordParser* p, std::string_view line, Record* out);

// Text of a key, 32 hex digits (the store's and the tests' view of it).
std::string record_key_text(const RecordKey& k);
