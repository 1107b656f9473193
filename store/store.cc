#include "store/store.h"

#include <cstring>

#include "store/backend.h"

namespace {

const char* const kCounted[kCountedColumns] = {"time",        "station",      "port",
                                               "result",      "cause",        "seconds",
                                               "box_version", "file_version", "file_checksum"};

const char* const kResults[] = {"ok", "failed", "stopped"};

}  // namespace

const char kTallyColumns[] =
    "\"time\", station, port, result, cause, seconds, box_version, file_version, file_checksum,"
    " unit, error_detail";

const char* store_column(int n) {
  if (n == 0) return "key";
  if (n <= kCountedColumns) return kCounted[n - 1];
  if (n <= kCountedColumns + kRecordFields) return record_field(n - 1 - kCountedColumns).name;
  return "line";
}

bool store_column_text(const Record& r, int n, std::string* scratch, std::string_view* out) {
  switch (n) {
    case 1: *out = r.time; return true;
    case 2: *out = r.station; return true;
    case 3: *out = r.port; return true;
    case 4: *out = kResults[r.result]; return true;
    case 5: *out = r.cause; return r.result == kResultFailed;
    case 6: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.17g", r.seconds);
      *scratch = buf;
      *out = *scratch;
      return true;
    }
    case 7: *out = r.box_version; return true;
    case 8: *out = r.file_version; return true;
    case 9: *out = r.file_checksum; return true;
    default: break;
  }
  if (n > kCountedColumns + kRecordFields) {
    *out = r.line;
    return true;
  }
  const FieldValue& v = r.fields[n - 1 - kCountedColumns];
  if (!v.set) return false;
  if (record_field(n - 1 - kCountedColumns).type == kFieldText) {
    *out = v.text;
  } else {
    *scratch = std::to_string(v.number);
    *out = *scratch;
  }
  return true;
}

void store_tally_row(Tally* t, const Filter& f, const TallyRow& row) {
  if (!filter_accepts(f, row.time, row.station)) return;
  Record r;
  r.time = row.time;
  r.station = row.station;
  r.port = row.port;
  r.result = row.result == "ok"       ? kResultOk
             : row.result == "failed" ? kResultFailed
                                      : kResultStopped;
  r.cause = row.cause;
  r.seconds = row.seconds;
  r.box_version = row.box_version;
  r.file_version = row.file_version;
  r.file_checksum = row.file_checksum;
  r.unit = row.unit;
  if (r.result == kResultFailed) r.error_detail = row.error_detail;
  tally_add(t, r);
}

bool store_is_postgres(std::string_view where) {
  return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

Store* store_open(const std::string& where, int lock_ms, std::string* err) {
  Store* s = new Store;
  s->lock_ms = lock_ms;
  s->parser = record_parser_new();
  s->kind = store_is_postgres(where) ? kStorePostgres : kStoreSqlite;
  bool ok = s->kind == kStorePostgres ? pg_open(s, where, err) : sqlite_open(s, where, err);
  if (!ok) {
    store_close(s);
    return nullptr;
  }
  return s;
}

void store_close(Store* s) {
  if (!s) return;
  if (s->kind == kStorePostgres) pg_close(s);
  else sqlite_close(s);
  record_parser_free(s->parser);
  delete s;
}

StoreKind store_kind(const Store* s) { return s->kind; }

namespace {

bool exec(Store* s, const char* sql, std::string* err) {
  return s->kind == kStorePostgres ? pg_exec(s, sql, err) : sqlite_exec(s, sql, err);
}

void rollback(Store* s) {
  std::string ignored;
  s->pending.clear();
  s->pending_null.clear();
  s->pending_rows = 0;
  if (s->in_transaction) exec(s, "ROLLBACK", &ignored);
  s->in_transaction = false;
  if (s->kind == kStoreSqlite) sqlite_import_end(s);
}

// What is waiting to be written goes out (PostgreSQL), and what an import
// left for its end is done (SQLite), before anything reads.
bool flush(Store* s, std::string* err) {
  return s->kind == kStorePostgres ? pg_flush(s, err) : sqlite_import_ready(s, err);
}

// The hub's transaction: SQLite takes the write lock at once, so a batch
// never waits half way.
bool begin(Store* s, std::string* err) {
  if (!exec(s, s->kind == kStorePostgres ? "BEGIN" : "BEGIN IMMEDIATE", err)) return false;
  s->in_transaction = true;
  return true;
}

bool commit(Store* s, std::string* err) {
  if (!flush(s, err) || !exec(s, "COMMIT", err)) {
    rollback(s);
    return false;
  }
  s->in_transaction = false;
  return true;
}

}  // namespace

bool store_begin(Store* s, std::string* err) {
  if (s->kind == kStorePostgres) return begin(s, err);
  if (sqlite_import_begin(s, err)) return true;
  rollback(s);
  return false;
}

bool store_commit(Store* s, std::string* err) {
  if (s->kind == kStorePostgres) return commit(s, err);
  if (sqlite_import_commit(s, err)) return true;
  rollback(s);
  return false;
}

bool store_resume_offset(Store* s, const std::string& identity, RecordKey first_line, uint64_t size,
                         uint64_t* offset, std::string* err) {
  return s->kind == kStorePostgres
             ? pg_resume_offset(s, identity, first_line, size, offset, err)
             : sqlite_resume_offset(s, identity, first_line, size, offset, err);
}

bool store_journal_read(Store* s, const std::string& identity, const std::string& path,
                        RecordKey first_line, uint64_t offset, std::string* err) {
  return s->kind == kStorePostgres
             ? pg_journal_read(s, identity, path, first_line, offset, err)
             : sqlite_journal_read(s, identity, path, first_line, offset, err);
}

bool store_add(Store* s, const Record& r, std::string* err) {
  return s->kind == kStorePostgres ? pg_add(s, r, err) : sqlite_add(s, r, err);
}

bool store_add_batch(Store* s, std::string_view station, const std::vector<std::string>& lines,
                     std::string_view cursor, StoreBatch* result, std::string* err) {
  std::vector<StorePart> parts = {{station, &lines, cursor, {}}};
  bool ok = store_add_batches(s, &parts, err);
  *result = parts[0].result;
  return ok;
}

bool store_add_batches(Store* s, std::vector<StorePart>* parts, std::string* err) {
  // PostgreSQL: hubs writing one station at once may deadlock on each
  // other's keys or lose a serialization race; the loser tries again.
  for (int attempt = 0;; ++attempt) {
    int64_t before = s->added;
    bool ok = begin(s, err);
    Record r;
    for (StorePart& part : *parts) {
      StoreBatch& result = part.result;
      result = StoreBatch{};
      int64_t part_before = s->added;
      for (size_t i = 0; ok && i < part.lines->size(); ++i) {
        const std::string& line = (*part.lines)[i];
        if (line.size() > kMaxRecordLine) {
          ++result.skipped;
          continue;
        }
        s->padded.assign(line);
        s->padded.append(kLinePadding, '\0');
        if (!record_parse(s->parser, std::string_view(s->padded.data(), line.size()), &r)) {
          ++result.skipped;
          continue;
        }
        ok = s->kind == kStorePostgres ? pg_add(s, r, err) : sqlite_add(s, r, err);
      }
      // Each part's own count: what waits goes out before the next one.
      ok = ok && flush(s, err);
      ok = ok && (s->kind == kStorePostgres ? pg_set_cursor(s, part.station, part.cursor, err)
                                            : sqlite_set_cursor(s, part.station, part.cursor, err));
      result.added = s->added - part_before;
      result.duplicates = static_cast<int64_t>(part.lines->size()) - result.skipped - result.added;
      if (!ok) break;
    }
    ok = ok && commit(s, err);
    if (ok) return true;
    rollback(s);
    s->added = before;
    for (StorePart& part : *parts) part.result = StoreBatch{};
    if (!s->retry || attempt >= 4) return false;
  }
}

bool store_station_cursor(Store* s, std::string_view station, std::string* cursor,
                          std::string* err) {
  cursor->clear();
  return s->kind == kStorePostgres ? pg_cursor(s, station, cursor, err)
                                   : sqlite_cursor(s, station, cursor, err);
}

bool store_tally(Store* s, const Filter& f, Tally* t, std::string* err) {
  if (!flush(s, err)) return false;
  return s->kind == kStorePostgres ? pg_tally(s, f, t, err) : sqlite_tally(s, f, t, err);
}

bool store_since(Store* s, std::string_view since,
                 const std::function<void(const StoredRow&)>& each, std::string* err) {
  if (!flush(s, err)) return false;
  return s->kind == kStorePostgres ? pg_since(s, since, each, err)
                                   : sqlite_since(s, since, each, err);
}

bool store_count(Store* s, int64_t* n, std::string* err) {
  if (!flush(s, err)) return false;
  return s->kind == kStorePostgres ? pg_count(s, n, err) : sqlite_count(s, n, err);
}
