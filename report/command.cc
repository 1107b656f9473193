#include "command.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "journal.h"
#include "keyset.h"
#include "options.h"
#include "output.h"
#include "platform/file.h"
#include "record.h"
#include "store.h"
#include "summary.h"
#include "tally.h"

namespace {

struct Reading {
  RecordParser* parser = nullptr;
  const Filter* filter = nullptr;
  Tally* tally = nullptr;
  KeySet* seen = nullptr;   // without a store
  Store* store = nullptr;   // with one
  std::string store_error;  // the first failure of the store
  Record record;
};

void take_line(void* ctx, std::string_view line, bool) {
  Reading* r = static_cast<Reading*>(ctx);
  if (!record_parse(r->parser, line, &r->record)) {
    ++r->tally->skipped_lines;
    return;
  }
  if (r->store) {
    bool added;
    if (r->store_error.empty()) store_add(r->store, r->record, &added, &r->store_error);
    return;
  }
  if (!filter_accepts(*r->filter, r->record.time, r->record.station)) return;
  if (keyset_insert(r->seen, r->record.key)) tally_add(r->tally, r->record);
}

// The journal's first line, which with its identity tells a journal read
// before from a new one under the same name or inode.
RecordKey first_line_key(std::FILE* f) {
  char buf[65536];
  size_t n = std::fread(buf, 1, sizeof buf, f);
  const void* nl = std::memchr(buf, '\n', n);
  if (nl) n = static_cast<size_t>(static_cast<const char*>(nl) - buf);
  return record_key_of_line(std::string_view(buf, n));
}

// Reads one journal; returns false with a message in *msg.
bool read_one(const std::string& name, Reading* r, std::string* msg) {
  bool is_stdin = name == "-";
  std::FILE* f = is_stdin ? stdin : std::fopen(name.c_str(), "rb");
  const char* shown = is_stdin ? "standard input" : name.c_str();
  if (!f) {
    *msg = std::string("cannot read the journal ") + shown + ": " + std::strerror(errno);
    return false;
  }
  uint64_t start = 0;
  std::string identity;
  RecordKey first{};
  uint64_t volume = 0, index = 0;
  if (r->store && !is_stdin && plat_file_identity(f, &volume, &index)) {
    identity = std::to_string(volume) + ":" + std::to_string(index);
    first = first_line_key(f);
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    if (!store_resume_offset(r->store, identity, first, size < 0 ? 0 : static_cast<uint64_t>(size),
                             &start, msg)) {
      std::fclose(f);
      return false;
    }
  }
  if (!is_stdin) std::fseek(f, static_cast<long>(start), SEEK_SET);
  errno = 0;
  JournalRead done = journal_read(f, start, take_line, r);
  if (!is_stdin) std::fclose(f);
  if (done.error) {
    *msg = std::string("cannot read the journal ") + shown + ": " + std::strerror(done.error);
    return false;
  }
  if (!r->store_error.empty()) {
    *msg = r->store_error;
    return false;
  }
  if (!identity.empty() && !store_journal_read(r->store, identity, name, first, done.end, msg))
    return false;
  return true;
}

}  // namespace

int report_command(int argc, char** argv, std::FILE* out, std::FILE* err) {
  Options o;
  bool help = false;
  std::string msg;
  if (!options_parse(argc, argv, &o, &help, &msg)) {
    std::fprintf(err, "update-report: %s\n%s", msg.c_str(), kUsage);
    return 2;
  }
  if (help) {
    std::fprintf(out, "%s", kUsage);
    return 0;
  }
  std::vector<std::string> journals;
  if (!journal_expand(o.journals, &journals, &msg)) {
    std::fprintf(err, "update-report: cannot read the folder %s\n", msg.c_str());
    return 1;
  }

  Tally tally;
  KeySet seen;
  Reading r;
  r.parser = record_parser_new();
  r.filter = &o.filter;
  r.tally = &tally;
  r.seen = &seen;
  bool ok = true;
  if (!o.db.empty()) {
    r.store = store_open(o.db, kStoreLockMs, &msg);
    ok = r.store != nullptr;
  }
  for (size_t i = 0; ok && i < journals.size(); ++i) ok = read_one(journals[i], &r, &msg);
  if (ok && r.store) ok = store_tally(r.store, o.filter, &tally, &msg);
  // Nothing is committed unless the whole report could be made.
  if (ok && r.store) ok = store_commit(r.store, &msg);
  store_close(r.store);
  record_parser_free(r.parser);
  if (!ok) {
    std::fprintf(err, "update-report: %s\n", msg.c_str());
    return 1;
  }
  if (tally.skipped_lines)
    std::fprintf(err, "update-report: skipped %lld lines\n",
                 static_cast<long long>(tally.skipped_lines));
  if (tally.records == 0) {
    std::fprintf(err, "update-report: no records to report on\n");
    return 1;
  }
  Summary s = summarize(tally);
  if (!o.html.empty() && !output_html(o.html, s)) {
    std::fprintf(err, "update-report: cannot write %s: %s\n", o.html.c_str(), std::strerror(errno));
    return 1;
  }
  if (o.json) output_json(out, s);
  else output_text(out, s);
  return std::fflush(out) == 0 ? 0 : 1;
}
