// The SQLite store behind --db: every record imported once, and per
// journal how far it was read. One import is one transaction; nothing is
// committed unless the import and the report over the store both worked,
// so a failed run leaves the file as it was.
#pragma once
#include <cstdint>
#include <string>

#include "report/filter.h"
#include "report/record.h"
#include "report/tally.h"

struct Store;

// The schema version this program writes; a store of a later one is
// refused, an earlier one upgraded in the import's transaction.
constexpr int kStoreSchemaVersion = 2;

// How long a store locked by another program is waited for.
constexpr int kStoreLockMs = 5000;

// Opens (or creates) the store at `path` and starts the import. Returns
// nullptr with a message naming the file in *err when it is not an SQLite
// file, damaged, locked past `lock_ms`, or of a newer schema.
Store* store_open(const std::string& path, int lock_ms, std::string* err);

// Where to read a journal from: the offset the last import stopped at when
// the journal (`identity`, `first_line`, at least `size` bytes long) is
// the one read then, else 0.
bool store_resume_offset(Store* s, const std::string& identity, RecordKey first_line, uint64_t size,
                         uint64_t* offset, std::string* err);
bool store_journal_read(Store* s, const std::string& identity, const std::string& path,
                        RecordKey first_line, uint64_t offset, std::string* err);

// Adds a record unless one with its key is stored. *added tells which.
bool store_add(Store* s, const Record& r, bool* added, std::string* err);

// Counts every stored record `f` accepts, in time order.
bool store_tally(Store* s, const Filter& f, Tally* t, std::string* err);

bool store_commit(Store* s, std::string* err);

// Closes the store; an import not committed is rolled back.
void store_close(Store* s);
