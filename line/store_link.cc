#include "line/store_link.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "report/filter.h"
#include "report/output.h"
#include "report/record.h"
#include "report/store.h"
#include "report/summary.h"
#include "report/tally.h"

namespace {

// A station's cursor lives in the journals table the report already has,
// under an identity no journal file can have.
std::string cursor_identity(const std::string& station) { return "station " + station; }

constexpr int kLockMs = 2000;

}  // namespace

struct LineStore {
  std::string path;
  sqlite3* read = nullptr;  // for the cursors and the board; the writes go through Store
  RecordParser* parser = nullptr;
  std::string line;  // one line with the parser's padding after it
};

LineStore* line_store_open(const std::string& db, std::string* err) {
  if (db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0) {
    *err = "this update-line stores in an SQLite file only; PostgreSQL comes with the shared store";
    return nullptr;
  }
  // Made or upgraded once, by the report's own code.
  Store* st = store_open(db, kLockMs, err);
  if (!st) return nullptr;
  bool ok = store_commit(st, err);
  store_close(st);
  if (!ok) return nullptr;
  LineStore* s = new LineStore;
  s->path = db;
  if (sqlite3_open_v2(db.c_str(), &s->read, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    *err = "the store " + db + ": " + sqlite3_errmsg(s->read);
    line_store_close(s);
    return nullptr;
  }
  sqlite3_busy_timeout(s->read, kLockMs);
  s->parser = record_parser_new();
  return s;
}

void line_store_close(LineStore* s) {
  if (!s) return;
  sqlite3_close(s->read);
  if (s->parser) record_parser_free(s->parser);
  delete s;
}

bool line_store_cursor(LineStore* s, const std::string& station, std::string* cursor,
                       std::string* err) {
  cursor->clear();
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->read, "SELECT path FROM journals WHERE identity=?1", -1, &st,
                              nullptr);
  std::string id = cursor_identity(station);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(st, 1, id.data(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(st);
  }
  if (rc == SQLITE_ROW) {
    const unsigned char* p = sqlite3_column_text(st, 0);
    if (p) *cursor = reinterpret_cast<const char*>(p);
    rc = SQLITE_DONE;
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) *err = "the store " + s->path + ": " + sqlite3_errmsg(s->read);
  return rc == SQLITE_DONE;
}

bool line_store_add_batch(LineStore* s, const std::string& station,
                          const std::vector<std::string>& lines, const std::string& cursor,
                          BatchResult* result, std::string* err,
                          const std::function<void(const StoredRecord&, bool added)>& each) {
  *result = BatchResult();
  Store* st = store_open(s->path, kLockMs, err);
  if (!st) return false;
  bool ok = true;
  for (const std::string& l : lines) {
    s->line.assign(l);
    s->line.append(kLinePadding, '\0');
    Record r;
    if (!record_parse(s->parser, std::string_view(s->line.data(), l.size()), &r)) {
      result->skipped++;
      continue;
    }
    bool added = false;
    if (!store_add(st, r, &added, err)) {
      ok = false;
      break;
    }
    (added ? result->added : result->duplicates)++;
    if (each) {
      static const char* const kResults[] = {"ok", "failed", "stopped"};
      each({std::string(r.time), std::string(r.station), kResults[r.result], std::string(r.cause),
            record_key_text(r.key), std::string(r.file_version)},
           added);
    }
  }
  ok = ok && store_journal_read(st, cursor_identity(station), cursor, RecordKey{}, 0, err);
  ok = ok && store_commit(st, err);
  store_close(st);
  if (!ok) *result = BatchResult();
  return ok;
}

bool line_store_since(LineStore* s, const std::string& since,
                      const std::function<void(const StoredRecord&)>& each, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->read,
                              "SELECT time, station, result, cause, file_version FROM records"
                              " WHERE time >= ?1 ORDER BY time",
                              -1, &st, nullptr);
  if (rc == SQLITE_OK)
    sqlite3_bind_text(st, 1, since.data(), static_cast<int>(since.size()), SQLITE_TRANSIENT);
  auto text = [&](int i) {
    const unsigned char* p = sqlite3_column_text(st, i);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
  };
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) break;
    each({text(0), text(1), text(2), text(3), "", text(4)});
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) *err = "the store " + s->path + ": " + sqlite3_errmsg(s->read);
  return rc == SQLITE_DONE;
}

bool line_store_report(LineStore* s, const std::string& since, const std::string& until,
                       bool json, std::string* out, std::string* err) {
  Filter f;
  if ((!since.empty() && !filter_parse_time(since, &f.since)) ||
      (!until.empty() && !filter_parse_time(until, &f.until))) {
    *err = "since and until are journal times or dates";
    return false;
  }
  Store* st = store_open(s->path, kLockMs, err);
  if (!st) return false;
  Tally t;
  bool ok = store_tally(st, f, &t, err);
  store_close(st);
  if (!ok) return false;
  Summary sum = summarize(t);
  // The report writes files; the answer is read back from one.
  std::random_device rd;
  std::filesystem::path tmp = std::filesystem::temp_directory_path() /
                              ("update-line-report-" + std::to_string(rd()) + std::to_string(rd()));
  std::FILE* file = nullptr;
  if (json) {
    file = std::fopen(tmp.c_str(), "w+b");
    if (file) output_json(file, sum);
  } else if (output_html(tmp.string(), sum)) {
    file = std::fopen(tmp.c_str(), "rb");
  }
  std::error_code ignored;
  std::filesystem::remove(tmp, ignored);
  if (!file) {
    *err = "cannot write the report to " + tmp.string();
    return false;
  }
  std::rewind(file);
  out->clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) out->append(buf, n);
  std::fclose(file);
  return true;
}
