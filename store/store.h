// The store of a line's records, shared by update-report --db and the hub
// (update-line): every record once by its key (its attempt), each field in
// a column and the whole line beside them, how far each journal file was
// read (update-report) and each station's cursor (the hub). An SQLite file
// or, for several hubs, a PostgreSQL database: one schema in both.
//
// Every call returns true on success, false with a message naming the
// store in *err. A Store is used by one thread at a time.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/filter.h"
#include "store/record.h"
#include "store/tally.h"

struct Store;

enum StoreKind : uint8_t { kStoreSqlite, kStorePostgres };

// The schema version this program writes; a store of a later one is
// refused, an earlier one upgraded in place when opened. 1: records and
// journals; 2: the records' time index; 3: every field of a record, the
// whole line, the stations' cursors.
constexpr int kStoreSchemaVersion = 3;

// How long a store locked by another program is waited for.
constexpr int kStoreLockMs = 5000;

// True when `where` names a PostgreSQL database (postgresql:// or
// postgres://); anything else is the path of an SQLite file.
bool store_is_postgres(std::string_view where);

// Opens (or creates) the store `where` names and brings its schema up to
// date. A lock another program holds (SQLite: the file's; PostgreSQL: a
// row or table lock, and the connection) is waited for up to `lock_ms`.
// Returns nullptr with a message in *err when it is not an SQLite file,
// damaged, locked past `lock_ms`, unreachable, or of a newer schema.
Store* store_open(const std::string& where, int lock_ms, std::string* err);

// Closes the store; a transaction not committed is rolled back.
void store_close(Store* s);

StoreKind store_kind(const Store* s);

// update-report's import: one transaction from begin to commit, holding
// the store's write lock (SQLite) throughout, so a failed run leaves the
// store as it was.
bool store_begin(Store* s, std::string* err);
bool store_commit(Store* s, std::string* err);

// Where to read a journal file from: the offset the last import stopped at
// when the journal (`identity`, `first_line`, at least `size` bytes long)
// is the one read then, else 0. Inside store_begin .. store_commit.
bool store_resume_offset(Store* s, const std::string& identity, RecordKey first_line, uint64_t size,
                         uint64_t* offset, std::string* err);
bool store_journal_read(Store* s, const std::string& identity, const std::string& path,
                        RecordKey first_line, uint64_t offset, std::string* err);

// Adds a record unless one with its key is stored (the first one stored
// stays). Records may wait to go in together (an error may thus show
// later, at the latest from store_commit); a read inside the import sees
// them all. Inside store_begin .. store_commit.
bool store_add(Store* s, const Record& r, std::string* err);

struct StoreBatch {
  int64_t added = 0;       // records stored now
  int64_t duplicates = 0;  // records whose key was stored already (or earlier in the batch)
  int64_t skipped = 0;     // lines that are no record, as update-report skips them
};

// The hub's step: in ONE transaction of its own, each of `lines` (journal
// lines, JSON text without the line end) read as update-report reads a
// line, each record stored unless its key is, and `station`'s cursor set
// to `cursor`. A hub killed at any moment thus neither loses nor repeats
// a record. Several hubs may do this for one station at once into one
// PostgreSQL database: each record is still stored once. On failure
// nothing is stored and the cursor stays. Not inside store_begin.
bool store_add_batch(Store* s, std::string_view station, const std::vector<std::string>& lines,
                     std::string_view cursor, StoreBatch* result, std::string* err);

// Several stations' batches in ONE transaction, each as store_add_batch
// does it (its records, its station's cursor, its counts in `result`):
// one commit for all, when a hub has several batches at hand. On failure
// nothing is stored and every cursor stays.
struct StorePart {
  std::string_view station;
  const std::vector<std::string>* lines;
  std::string_view cursor;
  StoreBatch result;
};
bool store_add_batches(Store* s, std::vector<StorePart>* parts, std::string* err);

// The cursor last set for `station`; empty when none was (read the
// station's journal from its start).
bool store_station_cursor(Store* s, std::string_view station, std::string* cursor,
                          std::string* err);

// Counts every stored record `f` accepts into *t, in time order: the
// report over the store.
bool store_tally(Store* s, const Filter& f, Tally* t, std::string* err);

// What a hub's board counts of a stored record; cause "" when it has none.
struct StoredRow {
  std::string_view time, station, result, cause, file_version;
};
// Every stored record from `since` (a journal time) on, oldest first: the
// board counted again from the store, which holds each record once
// whichever hub stored it. The views last until `each` returns.
bool store_since(Store* s, std::string_view since,
                 const std::function<void(const StoredRow&)>& each, std::string* err);

// How many records are stored.
bool store_count(Store* s, int64_t* records, std::string* err);
