#include "line/store_link.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <random>

#include "report/output.h"
#include "report/summary.h"
#include "store/filter.h"
#include "store/record.h"
#include "store/store.h"
#include "store/tally.h"

namespace {

constexpr int kLockMs = 2000;

}  // namespace

struct LineStore {
  std::string path;
  Store* store = nullptr;
  sqlite3* read = nullptr;  // SQLite: the board's counts read back after a restart
  RecordParser* parser = nullptr;
  std::string line;  // one line with the parser's padding after it
};

LineStore* line_store_open(const std::string& db, std::string* err) {
  LineStore* s = new LineStore;
  s->path = db;
  s->store = store_open(db, kLockMs, err);
  if (!s->store) {
    line_store_close(s);
    return nullptr;
  }
  if (!store_is_postgres(db)) {
    if (sqlite3_open_v2(db.c_str(), &s->read, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      *err = "the store " + db + ": " + sqlite3_errmsg(s->read);
      line_store_close(s);
      return nullptr;
    }
    sqlite3_busy_timeout(s->read, kLockMs);
  }
  s->parser = record_parser_new();
  return s;
}

void line_store_close(LineStore* s) {
  if (!s) return;
  if (s->read) sqlite3_close(s->read);
  if (s->store) store_close(s->store);
  if (s->parser) record_parser_free(s->parser);
  delete s;
}

bool line_store_cursor(LineStore* s, const std::string& station, std::string* cursor,
                       std::string* err) {
  return store_station_cursor(s->store, station, cursor, err);
}

bool line_store_add_batch(LineStore* s, const std::string& station,
                          const std::vector<std::string>& lines, const std::string& cursor,
                          BatchResult* result, std::string* err,
                          const std::function<void(const StoredRecord&, bool added)>& each) {
  *result = BatchResult();
  StoreBatch b;
  if (!store_add_batch(s->store, station, lines, cursor, &b, err)) return false;
  result->added = b.added;
  result->duplicates = b.duplicates;
  result->skipped = b.skipped;
  if (!each) return true;
  // Which records were new is known only when none was stored before.
  static const char* const kResults[] = {"ok", "failed", "stopped"};
  for (const std::string& l : lines) {
    s->line.assign(l);
    s->line.append(kLinePadding, '\0');
    Record r;
    if (!record_parse(s->parser, std::string_view(s->line.data(), l.size()), &r)) continue;
    each({std::string(r.time), std::string(r.station), kResults[r.result], std::string(r.cause),
          record_key_text(r.key), std::string(r.file_version)},
         b.duplicates == 0);
  }
  return true;
}

bool line_store_since(LineStore* s, const std::string& since,
                      const std::function<void(const StoredRecord&)>& each, std::string* err) {
  if (!s->read) return true;  // PostgreSQL: the board counts from its start
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

bool line_store_report(LineStore* s, const std::string& since, const std::string& until, bool json,
                       std::string* out, std::string* err) {
  Filter f;
  if ((!since.empty() && !filter_parse_time(since, &f.since)) ||
      (!until.empty() && !filter_parse_time(until, &f.until))) {
    *err = "since and until are journal times or dates";
    return false;
  }
  Tally t;
  if (!store_tally(s->store, f, &t, err)) return false;
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
