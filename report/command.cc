#include "report/command.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "report/input.h"
#include "report/keyset.h"
#include "report/options.h"
#include "report/output.h"
#include "platform/file.h"
#include "store/record.h"
#include "store/store.h"
#include "report/summary.h"
#include "store/tally.h"

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
    if (r->store_error.empty()) store_add(r->store, r->record, &r->store_error);
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
bool read_one(const Journal& j, Reading* r, std::string* msg) {
  bool is_stdin = j.name == "-";
  const char* shown = is_stdin ? "standard input" : j.name.c_str();
  errno = 0;
  // A file is opened only while it is a regular one, so a name swapped
  // for a FIFO since the folder was listed cannot block with the store
  // locked; a stream named on the command line is the user's to feed.
  std::FILE* f = is_stdin   ? stdin
                 : j.stream ? std::fopen(j.name.c_str(), "rb")
                            : plat_open_regular_file(j.name.c_str());
  if (!f) {
    *msg = std::string("cannot read the journal ") + shown + ": " +
           (errno ? std::strerror(errno) : "not a regular file");
    return false;
  }
  uint64_t start = 0;
  std::string identity;
  RecordKey first{};
  uint64_t volume = 0, index = 0;
  if (r->store && !j.stream && plat_file_identity(f, &volume, &index)) {
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
  if (!j.stream) std::fseek(f, static_cast<long>(start), SEEK_SET);
  errno = 0;
  JournalRead done = journal_read(f, start, take_line, r);
  if (!is_stdin) std::fclose(f);
  r->tally->skipped_lines += done.too_long;
  if (done.error) {
    *msg = std::string("cannot read the journal ") + shown + ": " + std::strerror(done.error);
    return false;
  }
  if (!r->store_error.empty()) {
    *msg = r->store_error;
    return false;
  }
  if (!identity.empty() && !store_journal_read(r->store, identity, j.name, first, done.end, msg))
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
  std::vector<Journal> journals;
  std::vector<std::string> not_files;
  if (!journal_expand(o.journals, &journals, &not_files, &msg)) {
    std::fprintf(err, "update-report: cannot read the folder %s\n", msg.c_str());
    return 1;
  }
  for (const std::string& name : not_files)
    std::fprintf(err, "update-report: skipped %s: not a regular file\n", name.c_str());

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
    ok = r.store != nullptr && store_begin(r.store, &msg);
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
