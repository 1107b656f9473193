// The hub's way into the store update-report keeps: records stored once
// by their attempt, and each station's journal cursor beside them, both
// in one transaction. One thin file, so the hub moves to the shared store
// module by changing only this.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct LineStore;

// Opens the store named by --db (an SQLite file). Returns nullptr and why
// in *err; a postgresql:// URL is refused until the shared store has it.
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
// every line that is a record, new or not.
bool line_store_add_batch(LineStore* s, const std::string& station,
                          const std::vector<std::string>& lines, const std::string& cursor,
                          BatchResult* result, std::string* err,
                          const std::function<void(const StoredRecord&, bool added)>& each = {});

// The stored records from `since` (a journal time) on, oldest first.
bool line_store_since(LineStore* s, const std::string& since,
                      const std::function<void(const StoredRecord&)>& each, std::string* err);

// update-report's report over the stored records in [since, until] (journal
// times or dates; "" for no bound): its HTML page, or with `json` its JSON.
bool line_store_report(LineStore* s, const std::string& since, const std::string& until,
                       bool json, std::string* out, std::string* err);
