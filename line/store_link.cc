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

// A parser for each thread that reads records for the board: the hub's
// loop reads them while its writer's thread stores others.
struct BoardReader {
  RecordParser* parser = record_parser_new();
  std::string line;  // one line with the parser's padding after it
  ~BoardReader() { record_parser_free(parser); }
};

}  // namespace

struct LineStore {
  std::string path;
  Store* store = nullptr;
};

LineStore* line_store_open(const std::string& db, std::string* err) {
  LineStore* s = new LineStore;
  s->path = db;
  s->store = store_open(db, kLockMs, err);
  if (!s->store) {
    line_store_close(s);
    return nullptr;
  }
  return s;
}

void line_store_close(LineStore* s) {
  if (!s) return;
  if (s->store) store_close(s->store);
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
  std::vector<LinePart> parts(1);
  parts[0].station = station;
  parts[0].lines = lines;
  parts[0].cursor = cursor;
  bool ok = line_store_add_batches(s, &parts, err, [&](size_t, const StoredRecord& r, bool added) {
    if (each) each(r, added);
  });
  *result = parts[0].result;
  return ok;
}

bool line_store_add_batches(
    LineStore* s, std::vector<LinePart>* parts, std::string* err,
    const std::function<void(size_t part, const StoredRecord&, bool added)>& each) {
  std::vector<StorePart> store_parts;
  for (LinePart& p : *parts) {
    p.result = BatchResult();
    store_parts.push_back({p.station, &p.lines, p.cursor, {}});
  }
  if (!store_add_batches(s->store, &store_parts, err)) return false;
  for (size_t i = 0; i < parts->size(); ++i) {
    const StoreBatch& b = store_parts[i].result;
    (*parts)[i].result = {b.added, b.duplicates, b.skipped};
  }
  if (!each) return true;
  // Which records were new is known only when none was stored before.
  for (size_t i = 0; i < parts->size(); ++i) {
    bool none_before = store_parts[i].result.duplicates == 0;
    line_records((*parts)[i].lines, [&](const StoredRecord& r) { each(i, r, none_before); });
  }
  return true;
}

void line_records(const std::vector<std::string>& lines,
                  const std::function<void(const StoredRecord&)>& each) {
  static const char* const kResults[] = {"ok", "failed", "stopped"};
  thread_local BoardReader reader;
  for (const std::string& l : lines) {
    reader.line.assign(l);
    reader.line.append(kLinePadding, '\0');
    Record r;
    if (!record_parse(reader.parser, std::string_view(reader.line.data(), l.size()), &r)) continue;
    each({std::string(r.time), std::string(r.station), kResults[r.result], std::string(r.cause),
          record_key_text(r.key), std::string(r.file_version)});
  }
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
