// The hub's way into the store it shares with update-report (store/):
// records stored once by their attempt and each station's journal cursor
// beside them in one transaction, what the board needs of each record,
// and update-report's report over the store.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct LineStore;

// Opens the store named by --db (an SQLite file or a postgresql:// URL).
// Returns nullptr and why in *err.
LineStore* line_store_open(const std::string& db, std::string* err);
void line_store_close(LineStore* s);

// The journal cursor stored for `station`; "" when none.
bool line_store_cursor(LineStore* s, const std::string& station, std::string* cursor,
                       std::string* err);

struct BatchResult {
  int64_t added = 0;       // stored now
  int64_t duplicates = 0;  // stored before (by its attempt)
  int64_t skipped = 0;     // lines that are not records
};

// What the board needs of one record.
struct StoredRecord {
  std::string time, station, result, cause, attempt, file_version;
};

// Stores the records among `lines` not stored yet and sets `station`'s
// cursor to `cursor`, in one transaction: all of it or none. `each` sees
// every line that is a record, `added` true when the batch held no record
// stored before (with duplicates it cannot tell which were new: false).
bool line_store_add_batch(LineStore* s, const std::string& station,
                          const std::vector<std::string>& lines, const std::string& cursor,
                          BatchResult* result, std::string* err,
                          const std::function<void(const StoredRecord&, bool added)>& each = {});

// Several stations' batches the same way in ONE transaction (one commit
// for all); `each` also learns which part a record is of.
struct LinePart {
  std::string station;
  std::vector<std::string> lines;
  std::string cursor;
  BatchResult result;
};
bool line_store_add_batches(
    LineStore* s, std::vector<LinePart>* parts, std::string* err,
    const std::function<void(size_t part, const StoredRecord&, bool added)>& each = {});

// What the board needs of each of `lines` that is a record, as the store
// reads it. Touches no store: the hub's loop runs it while its writer's
// thread writes.
void line_records(const std::vector<std::string>& lines,
                  const std::function<void(const StoredRecord&)>& each);

// The stored records from `since` (a journal time) on, oldest first,
// whichever hub stored them.
bool line_store_since(LineStore* s, const std::string& since,
                      const std::function<void(const StoredRecord&)>& each, std::string* err);

// update-report's report over the stored records in [since, until] (journal
// times or dates; "" for no bound): its HTML page, or with `json` its JSON.
bool line_store_report(LineStore* s, const std::string& since, const std::string& until, bool json,
                       std::string* out, std::string* err);
