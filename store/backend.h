// Inside the store: the state of an open store and the two backends'
// operations, which store.cc chooses between by the store's kind.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

struct sqlite3;
struct sqlite3_stmt;
struct pg_conn;

struct Store {
  StoreKind kind = kStoreSqlite;
  std::string name;  // as messages show it: the path, or the URL without its password
  int lock_ms = 0;
  bool in_transaction = false;
  int64_t added = 0;  // records stored since the store was opened
  RecordParser* parser = nullptr;
  std::string padded;  // a batch line with the parser's padding behind it

  sqlite3* db = nullptr;
  sqlite3_stmt* insert = nullptr;
  // An import into a store with no records: the time index is built once
  // at its end instead of entry by entry.
  bool time_index_dropped = false;
  bool rollback_journal = false;  // the import's transaction runs in rollback-journal mode

  pg_conn* pg = nullptr;
  // Records waiting to go out in one statement: every column as text.
  std::vector<std::string> pending;
  std::vector<char> pending_null;
  size_t pending_rows = 0;
  bool retry = false;  // the last failure was a deadlock or a serialization failure
};

// The columns of the records table after its key, in this order: the
// counted ones, the record's other fields (record_field), the whole line.
constexpr int kCountedColumns = 9;  // time .. file_checksum
constexpr int kRecordColumns = 1 + kCountedColumns + kRecordFields + 1;
// The n-th column's name (0: key).
const char* store_column(int n);
// Column values of `r` as text, for the n-th column (n >= 1); false: null.
bool store_column_text(const Record& r, int n, std::string* scratch, std::string_view* out);
// The time-ordered reading of records back: the columns a tally needs.
extern const char kTallyColumns[];
// One row of those columns into a record the tally counts.
struct TallyRow {
  std::string_view time, station, port, result, cause, box_version, file_version, file_checksum,
      unit, error_detail;
  double seconds = 0;
};
void store_tally_row(Tally* t, const Filter& f, const TallyRow& row);

bool sqlite_open(Store* s, const std::string& path, std::string* err);
void sqlite_close(Store* s);
bool sqlite_exec(Store* s, const char* sql, std::string* err);
// update-report's import: begin, what goes before a read inside it, commit.
bool sqlite_import_begin(Store* s, std::string* err);
bool sqlite_import_ready(Store* s, std::string* err);
bool sqlite_import_commit(Store* s, std::string* err);
// After a commit or a rollback: the store as it is between imports.
void sqlite_import_end(Store* s);
bool sqlite_resume_offset(Store* s, const std::string& identity, RecordKey first_line,
                          uint64_t size, uint64_t* offset, std::string* err);
bool sqlite_journal_read(Store* s, const std::string& identity, const std::string& path,
                         RecordKey first_line, uint64_t offset, std::string* err);
bool sqlite_add(Store* s, const Record& r, std::string* err);
bool sqlite_set_cursor(Store* s, std::string_view station, std::string_view cursor,
                       std::string* err);
bool sqlite_cursor(Store* s, std::string_view station, std::string* cursor, std::string* err);
bool sqlite_tally(Store* s, const Filter& f, Tally* t, std::string* err);
bool sqlite_count(Store* s, int64_t* n, std::string* err);

bool pg_open(Store* s, const std::string& url, std::string* err);
void pg_close(Store* s);
bool pg_exec(Store* s, const char* sql, std::string* err);
bool pg_resume_offset(Store* s, const std::string& identity, RecordKey first_line, uint64_t size,
                      uint64_t* offset, std::string* err);
bool pg_journal_read(Store* s, const std::string& identity, const std::string& path,
                     RecordKey first_line, uint64_t offset, std::string* err);
bool pg_add(Store* s, const Record& r, std::string* err);
bool pg_flush(Store* s, std::string* err);
bool pg_set_cursor(Store* s, std::string_view station, std::string_view cursor, std::string* err);
bool pg_cursor(Store* s, std::string_view station, std::string* cursor, std::string* err);
bool pg_tally(Store* s, const Filter& f, Tally* t, std::string* err);
bool pg_count(Store* s, int64_t* n, std::string* err);
