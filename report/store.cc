#include "report/store.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

struct Store {
  sqlite3* db = nullptr;
  std::string path;
  int lock_ms = 0;
  bool in_transaction = false;
  sqlite3_stmt* insert = nullptr;
};

namespace {

// The schema, one step per version; a store at version N runs the steps
// after N. Version 1: the records and the journals read; version 2: the
// index the report reads the records in time order by.
const char* const kSchemaSteps[kStoreSchemaVersion] = {
    "CREATE TABLE records("
    " id INTEGER PRIMARY KEY,"
    " key BLOB NOT NULL UNIQUE,"  // 16 bytes: the attempt, or a hash of the line
    " time TEXT NOT NULL,"        // as the journal wrote it
    " station TEXT NOT NULL,"     // '-' for none
    " port TEXT NOT NULL,"        // COM number as digits, path or host:port; '-' for none
    " result TEXT NOT NULL,"      // ok, failed, stopped
    " cause TEXT,"                // failed: box_error, else error
    " seconds REAL NOT NULL,"
    " box_version TEXT NOT NULL,"  // '-' for null
    " file_version TEXT NOT NULL,"
    " file_checksum TEXT NOT NULL);"
    "CREATE TABLE journals("
    " identity TEXT PRIMARY KEY,"  // device:inode of the journal file
    " path TEXT NOT NULL,"         // the name it was last read under
    " first_line BLOB NOT NULL,"   // 16-byte hash of its first line
    " offset INTEGER NOT NULL,"    // just past the last complete line read
    " imported TEXT NOT NULL);",   // when, UTC
    "CREATE INDEX records_time ON records(time);",
};

bool fail(Store* s, int rc, const char* what, std::string* err) {
  const char* detail = s->db ? sqlite3_errmsg(s->db) : sqlite3_errstr(rc);
  int primary = rc & 0xff;
  if (primary == SQLITE_NOTADB) *err = "the store " + s->path + " is not an SQLite file";
  else if (primary == SQLITE_CORRUPT)
    *err = "the store " + s->path + " is damaged (" + detail + ")";
  else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", s->lock_ms / 1000.0);
    *err = "the store " + s->path + " is locked by another program (waited " + ms + " s)";
  } else *err = "the store " + s->path + ": " + what + ": " + detail;
  return false;
}

bool exec(Store* s, const char* sql, std::string* err) {
  int rc = sqlite3_exec(s->db, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK || fail(s, rc, "cannot write", err);
}

bool user_version(Store* s, int* v, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db, "PRAGMA user_version", -1, &st, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) *v = sqlite3_column_int(st, 0);
  sqlite3_finalize(st);
  return rc == SQLITE_ROW || fail(s, rc, "cannot read", err);
}

// Looked at before SQLite opens it: a file that is not empty and does not
// start with SQLite's header is refused without being touched.
bool looks_like_sqlite(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return true;  // missing: SQLite creates it, or says why not
  char head[16];
  size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return n == 0 || (n == 16 && std::memcmp(head, "SQLite format 3", 16) == 0);
}

void bind_text(sqlite3_stmt* st, int i, std::string_view v) {
  sqlite3_bind_text(st, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

void key_bytes(RecordKey k, unsigned char* b) {
  for (int j = 0; j < 8; ++j) {
    b[j] = static_cast<unsigned char>(k.hi >> (56 - 8 * j));
    b[8 + j] = static_cast<unsigned char>(k.lo >> (56 - 8 * j));
  }
}

void bind_key(sqlite3_stmt* st, int i, RecordKey k) {
  unsigned char b[16];
  key_bytes(k, b);
  sqlite3_bind_blob(st, i, b, 16, SQLITE_TRANSIENT);
}

std::string_view column_text(sqlite3_stmt* st, int i) {
  const unsigned char* p = sqlite3_column_text(st, i);
  return p ? std::string_view(reinterpret_cast<const char*>(p),
                              static_cast<size_t>(sqlite3_column_bytes(st, i)))
           : std::string_view("-");
}

}  // namespace

Store* store_open(const std::string& path, int lock_ms, std::string* err) {
  Store* s = new Store;
  s->path = path;
  s->lock_ms = lock_ms;
  if (!looks_like_sqlite(path)) {
    fail(s, SQLITE_NOTADB, "", err);
    store_close(s);
    return nullptr;
  }
  int rc =
      sqlite3_open_v2(path.c_str(), &s->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    fail(s, rc, "cannot open", err);
    store_close(s);
    return nullptr;
  }
  sqlite3_busy_timeout(s->db, lock_ms);
  int version = 0;
  bool ok = user_version(s, &version, err);
  if (ok && version > kStoreSchemaVersion) {
    *err = "the store " + path + " has schema version " + std::to_string(version) +
           ", newer than this update-report knows (" + std::to_string(kStoreSchemaVersion) +
           "); use a newer update-report";
    ok = false;
  }
  ok = ok && exec(s, "PRAGMA journal_mode=WAL", err);
  // In WAL mode NORMAL keeps the store whole through a crash; a power cut
  // may lose the last import, which the next run simply repeats.
  ok = ok && exec(s, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-32768", err);
  ok = ok && exec(s, "BEGIN IMMEDIATE", err);
  if (ok) s->in_transaction = true;
  // Read again inside the transaction: another import may have upgraded it.
  ok = ok && user_version(s, &version, err);
  for (int v = version; ok && v < kStoreSchemaVersion; ++v) ok = exec(s, kSchemaSteps[v], err);
  if (ok && version < kStoreSchemaVersion)
    ok = exec(s, ("PRAGMA user_version=" + std::to_string(kStoreSchemaVersion)).c_str(), err);
  if (ok) {
    rc = sqlite3_prepare_v2(s->db,
                            "INSERT INTO records(key, time, station, port, result, cause, seconds,"
                            " box_version, file_version, file_checksum)"
                            " VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10) ON CONFLICT(key) DO NOTHING",
                            -1, &s->insert, nullptr);
    ok = rc == SQLITE_OK || fail(s, rc, "cannot read", err);
  }
  if (!ok) {
    store_close(s);
    return nullptr;
  }
  return s;
}

bool store_resume_offset(Store* s, const std::string& identity, RecordKey first_line, uint64_t size,
                         uint64_t* offset, std::string* err) {
  *offset = 0;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db, "SELECT first_line, offset FROM journals WHERE identity=?1",
                              -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    bind_text(st, 1, identity);
    rc = sqlite3_step(st);
  }
  if (rc == SQLITE_ROW) {
    unsigned char want[16];
    key_bytes(first_line, want);
    const void* stored_first = sqlite3_column_blob(st, 0);
    bool same = stored_first && sqlite3_column_bytes(st, 0) == 16 &&
                std::memcmp(stored_first, want, 16) == 0;
    uint64_t stored = static_cast<uint64_t>(sqlite3_column_int64(st, 1));
    // A journal shorter than where we stopped was rewritten: read it whole.
    if (same && stored <= size) *offset = stored;
    rc = SQLITE_DONE;
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot read", err);
}

bool store_journal_read(Store* s, const std::string& identity, const std::string& path,
                        RecordKey first_line, uint64_t offset, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(
      s->db,
      "INSERT INTO journals(identity, path, first_line, offset, imported)"
      " VALUES(?1,?2,?3,?4,strftime('%Y-%m-%dT%H:%M:%fZ','now'))"
      " ON CONFLICT(identity) DO UPDATE SET path=excluded.path, first_line=excluded.first_line,"
      " offset=excluded.offset, imported=excluded.imported",
      -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    bind_text(st, 1, identity);
    bind_text(st, 2, path);
    bind_key(st, 3, first_line);
    sqlite3_bind_int64(st, 4, static_cast<sqlite3_int64>(offset));
    rc = sqlite3_step(st);
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot write", err);
}

bool store_add(Store* s, const Record& r, bool* added, std::string* err) {
  static const char* const kResults[] = {"ok", "failed", "stopped"};
  sqlite3_stmt* st = s->insert;
  sqlite3_reset(st);
  bind_key(st, 1, r.key);
  bind_text(st, 2, r.time);
  bind_text(st, 3, r.station);
  bind_text(st, 4, r.port);
  bind_text(st, 5, kResults[r.result]);
  if (r.result == kResultFailed) bind_text(st, 6, r.cause);
  else sqlite3_bind_null(st, 6);
  sqlite3_bind_double(st, 7, r.seconds);
  bind_text(st, 8, r.box_version);
  bind_text(st, 9, r.file_version);
  bind_text(st, 10, r.file_checksum);
  int rc = sqlite3_step(st);
  if (rc != SQLITE_DONE) return fail(s, rc, "cannot write", err);
  *added = sqlite3_changes(s->db) > 0;
  return true;
}

bool store_tally(Store* s, const Filter& f, Tally* t, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db,
                              "SELECT time, station, port, result, cause, seconds, box_version,"
                              " file_version, file_checksum FROM records ORDER BY time",
                              -1, &st, nullptr);
  Record r;
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) break;
    r.time = column_text(st, 0);
    r.station = column_text(st, 1);
    if (!filter_accepts(f, r.time, r.station)) continue;
    r.port = column_text(st, 2);
    std::string_view result = column_text(st, 3);
    r.result = result == "ok" ? kResultOk : result == "failed" ? kResultFailed : kResultStopped;
    r.cause = column_text(st, 4);
    r.seconds = sqlite3_column_double(st, 5);
    r.box_version = column_text(st, 6);
    r.file_version = column_text(st, 7);
    r.file_checksum = column_text(st, 8);
    tally_add(t, r);
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot read", err);
}

bool store_commit(Store* s, std::string* err) {
  if (!exec(s, "COMMIT", err)) return false;
  s->in_transaction = false;
  return true;
}

void store_close(Store* s) {
  if (!s) return;
  sqlite3_finalize(s->insert);
  if (s->in_transaction) sqlite3_exec(s->db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(s->db);
  delete s;
}
