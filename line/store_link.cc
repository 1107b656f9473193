#include "line/store_link.h"

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
  s->parser = record_parser_new();
  return s;
}

void line_store_close(LineStore* s) {
  if (!s) return;
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
  return store_since(
      s->store, since,
      [&](const StoredRow& r) {
        each({std::string(r.time), std::string(r.station), std::string(r.result),
              std::string(r.cause), "", std::string(r.file_version)});
      },
      err);
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
