// The SQLite backend: one file, written by one program at a time (its
// write lock waited for up to the store's lock time).
#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "store/backend.h"

namespace {

// The schema, one step per version; a store at version N runs the steps
// after N.
const char* const kSchemaSteps[2] = {
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

// Version 3: the record's other fields, each a column (null where the
// record has none, and in the records stored before), the whole line, and
// the stations a hub follows with their cursors.
std::string schema_step_3() {
  std::string sql;
  for (int i = 0; i < kRecordFields; ++i) {
    const FieldSpec& f = record_field(i);
    sql += std::string("ALTER TABLE records ADD COLUMN \"") + f.name + "\" " +
           (f.type == kFieldText ? "TEXT;" : "INTEGER;");
  }
  sql +=
      "ALTER TABLE records ADD COLUMN line TEXT;"
      "CREATE TABLE stations("
      " name TEXT PRIMARY KEY,"
      " cursor TEXT NOT NULL,"  // the station's own, opaque
      " updated TEXT NOT NULL);";
  return sql;
}

bool fail(Store* s, int rc, const char* what, std::string* err) {
  const char* detail = s->db ? sqlite3_errmsg(s->db) : sqlite3_errstr(rc);
  int primary = rc & 0xff;
  if (primary == SQLITE_NOTADB) *err = "the store " + s->name + " is not an SQLite file";
  else if (primary == SQLITE_CORRUPT)
    *err = "the store " + s->name + " is damaged (" + detail + ")";
  else if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", s->lock_ms / 1000.0);
    *err = "the store " + s->name + " is locked by another program (waited " + ms + " s)";
  } else *err = "the store " + s->name + ": " + what + ": " + detail;
  return false;
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

// Views bound are read before the statement's step returns.
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

std::string insert_sql() {
  std::string cols, params;
  for (int n = 0; n < kRecordColumns; ++n) {
    cols += std::string(n ? "," : "") + "\"" + store_column(n) + "\"";
    params += (n ? ",?" : "?") + std::to_string(n + 1);
  }
  return "INSERT INTO records(" + cols + ") VALUES(" + params + ") ON CONFLICT(key) DO NOTHING";
}

// Sets the journal mode and tells the one now in force ("wal",
// "delete"): SQLite keeps the old one while another program has the store
// open.
bool journal_mode(Store* s, const char* mode, std::string* now, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db, (std::string("PRAGMA journal_mode=") + mode).c_str(), -1, &st,
                              nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    now->assign(column_text(st, 0));
    rc = SQLITE_DONE;
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot write", err);
}

bool has_records(Store* s, bool* any, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db, "SELECT 1 FROM records LIMIT 1", -1, &st, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  *any = rc == SQLITE_ROW;
  sqlite3_finalize(st);
  return rc == SQLITE_ROW || rc == SQLITE_DONE || fail(s, rc, "cannot read", err);
}

}  // namespace

bool sqlite_exec(Store* s, const char* sql, std::string* err) {
  int rc = sqlite3_exec(s->db, sql, nullptr, nullptr, nullptr);
  return rc == SQLITE_OK || fail(s, rc, "cannot write", err);
}

bool sqlite_open(Store* s, const std::string& path, std::string* err) {
  s->name = path;
  if (!looks_like_sqlite(path)) return fail(s, SQLITE_NOTADB, "", err);
  int rc =
      sqlite3_open_v2(path.c_str(), &s->db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) return fail(s, rc, "cannot open", err);
  sqlite3_busy_timeout(s->db, s->lock_ms);
  int version = 0;
  if (!user_version(s, &version, err)) return false;
  if (version > kStoreSchemaVersion) {
    *err = "the store " + path + " has schema version " + std::to_string(version) +
           ", newer than this program knows (" + std::to_string(kStoreSchemaVersion) +
           "); use a newer one";
    return false;
  }
  // Larger pages for a new store: fewer of them to write, and shallower
  // trees to insert into (no effect on an existing store).
  if (version == 0 && !sqlite_exec(s, "PRAGMA page_size=16384", err)) return false;
  if (!sqlite_exec(s, "PRAGMA journal_mode=WAL", err)) return false;
  // In WAL mode NORMAL keeps the store whole through a crash; a power cut
  // may lose the last import, which the next run simply repeats (a hub's
  // cursor goes back with its records).
  if (!sqlite_exec(s, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-131072", err)) return false;
  if (version < kStoreSchemaVersion) {
    if (!sqlite_exec(s, "BEGIN IMMEDIATE", err)) return false;
    s->in_transaction = true;
    // Read again under the lock: another program may have upgraded it.
    bool ok = user_version(s, &version, err);
    for (int v = version; ok && v < kStoreSchemaVersion; ++v)
      ok = v < 2 ? sqlite_exec(s, kSchemaSteps[v], err)
                 : sqlite_exec(s, schema_step_3().c_str(), err);
    ok = ok &&
         sqlite_exec(s, ("PRAGMA user_version=" + std::to_string(kStoreSchemaVersion)).c_str(),
                     err) &&
         sqlite_exec(s, "COMMIT", err);
    if (!ok) return false;
    s->in_transaction = false;
  }
  rc = sqlite3_prepare_v3(s->db, insert_sql().c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s->insert,
                          nullptr);
  return rc == SQLITE_OK || fail(s, rc, "cannot read", err);
}

void sqlite_close(Store* s) {
  sqlite3_finalize(s->insert);
  if (s->in_transaction) sqlite3_exec(s->db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(s->db);
}

bool sqlite_resume_offset(Store* s, const std::string& identity, RecordKey first_line,
                          uint64_t size, uint64_t* offset, std::string* err) {
  *offset = 0;
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(
      s->db, "SELECT first_line, \"offset\" FROM journals WHERE identity=?1", -1, &st, nullptr);
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

bool sqlite_journal_read(Store* s, const std::string& identity, const std::string& path,
                         RecordKey first_line, uint64_t offset, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(
      s->db,
      "INSERT INTO journals(identity, path, first_line, \"offset\", imported)"
      " VALUES(?1,?2,?3,?4,strftime('%Y-%m-%dT%H:%M:%fZ','now'))"
      " ON CONFLICT(identity) DO UPDATE SET path=excluded.path, first_line=excluded.first_line,"
      " \"offset\"=excluded.\"offset\", imported=excluded.imported",
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

bool sqlite_add(Store* s, const Record& r, std::string* err) {
  sqlite3_stmt* st = s->insert;
  sqlite3_reset(st);
  unsigned char key[16];
  key_bytes(r.key, key);
  sqlite3_bind_blob(st, 1, key, 16, SQLITE_STATIC);
  int n = 2;
  auto text = [&](std::string_view v) {
    sqlite3_bind_text(st, n++, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
  };
  text(r.time);
  text(r.station);
  text(r.port);
  static const char* const kResults[] = {"ok", "failed", "stopped"};
  text(kResults[r.result]);
  if (r.result == kResultFailed) text(r.cause);
  else sqlite3_bind_null(st, n++);
  sqlite3_bind_double(st, n++, r.seconds);
  text(r.box_version);
  text(r.file_version);
  text(r.file_checksum);
  for (int i = 0; i < kRecordFields; ++i) {
    const FieldValue& v = r.fields[i];
    if (!v.set) sqlite3_bind_null(st, n++);
    else if (record_field(i).type == kFieldText) text(v.text);
    else sqlite3_bind_int64(st, n++, v.number);
  }
  text(r.line);
  int rc = sqlite3_step(st);
  if (rc != SQLITE_DONE) return fail(s, rc, "cannot write", err);
  s->added += sqlite3_changes(s->db);
  return true;
}

bool sqlite_set_cursor(Store* s, std::string_view station, std::string_view cursor,
                       std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db,
                              "INSERT INTO stations(name, cursor, updated)"
                              " VALUES(?1,?2,strftime('%Y-%m-%dT%H:%M:%fZ','now'))"
                              " ON CONFLICT(name) DO UPDATE SET cursor=excluded.cursor,"
                              " updated=excluded.updated",
                              -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    bind_text(st, 1, station);
    bind_text(st, 2, cursor);
    rc = sqlite3_step(st);
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot write", err);
}

bool sqlite_cursor(Store* s, std::string_view station, std::string* cursor, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db, "SELECT cursor FROM stations WHERE name=?1", -1, &st, nullptr);
  if (rc == SQLITE_OK) {
    bind_text(st, 1, station);
    rc = sqlite3_step(st);
  }
  if (rc == SQLITE_ROW) {
    cursor->assign(column_text(st, 0));
    rc = SQLITE_DONE;
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot read", err);
}

bool sqlite_tally(Store* s, const Filter& f, Tally* t, std::string* err) {
  sqlite3_stmt* st = nullptr;
  std::string sql = std::string("SELECT ") + kTallyColumns + " FROM records ORDER BY \"time\"";
  int rc = sqlite3_prepare_v2(s->db, sql.c_str(), -1, &st, nullptr);
  TallyRow row;
  while (rc == SQLITE_OK || rc == SQLITE_ROW) {
    rc = sqlite3_step(st);
    if (rc != SQLITE_ROW) break;
    row.time = column_text(st, 0);
    row.station = column_text(st, 1);
    row.port = column_text(st, 2);
    row.result = column_text(st, 3);
    row.cause = column_text(st, 4);
    row.seconds = sqlite3_column_double(st, 5);
    row.box_version = column_text(st, 6);
    row.file_version = column_text(st, 7);
    row.file_checksum = column_text(st, 8);
    row.unit = sqlite3_column_type(st, 9) == SQLITE_NULL ? std::string_view() : column_text(st, 9);
    row.error_detail =
        sqlite3_column_type(st, 10) == SQLITE_NULL ? std::string_view() : column_text(st, 10);
    store_tally_row(t, f, row);
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot read", err);
}

bool sqlite_count(Store* s, int64_t* n, std::string* err) {
  sqlite3_stmt* st = nullptr;
  int rc = sqlite3_prepare_v2(s->db, "SELECT count(*) FROM records", -1, &st, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    *n = sqlite3_column_int64(st, 0);
    rc = SQLITE_DONE;
  }
  sqlite3_finalize(st);
  return rc == SQLITE_DONE || fail(s, rc, "cannot read", err);
}

bool sqlite_import_begin(Store* s, std::string* err) {
  // One large transaction is written in place behind a rollback journal,
  // which holds only the pages it changes that were there before: WAL
  // would write every page twice, into the log and at the checkpoint into
  // the file. Either way a crash leaves the store as it was or with the
  // whole import. A store another program has open stays in WAL.
  // The switch fails at once (busy) while another program has the store
  // open: then the import waits for the write lock below, in WAL. The
  // write lock is waited for first all the same: SQLite would let the
  // switch pass a writer whose hold on the file itself its own program
  // dropped (closing any other handle on it drops them all).
  if (!sqlite_exec(s, "BEGIN IMMEDIATE", err) || !sqlite_exec(s, "ROLLBACK", err)) return false;
  std::string mode, ignored;
  s->rollback_journal = journal_mode(s, "DELETE", &mode, &ignored) && mode == "delete";
  // Without the log, FULL is what keeps the store whole through a power
  // cut; it costs a few syncs per import.
  if (s->rollback_journal && !sqlite_exec(s, "PRAGMA synchronous=FULL", err)) return false;
  if (!sqlite_exec(s, "BEGIN IMMEDIATE", err)) return false;
  s->in_transaction = true;
  bool any = false;
  if (!has_records(s, &any, err)) return false;
  // Into an empty store the time index is built once from the sorted
  // times at the end, not entry by entry.
  if (!any) {
    if (!sqlite_exec(s, "DROP INDEX records_time", err)) return false;
    s->time_index_dropped = true;
  }
  return true;
}

bool sqlite_import_ready(Store* s, std::string* err) {
  if (!s->time_index_dropped) return true;
  s->time_index_dropped = false;
  return sqlite_exec(s, "CREATE INDEX records_time ON records(time)", err);
}

void sqlite_import_end(Store* s) {
  s->time_index_dropped = false;
  if (!s->rollback_journal) return;
  s->rollback_journal = false;
  std::string mode, ignored;
  // Back to the log for the hub and the next reader; when that fails here
  // the next open sets it again.
  if (journal_mode(s, "WAL", &mode, &ignored))
    sqlite_exec(s, "PRAGMA synchronous=NORMAL", &ignored);
}

bool sqlite_import_commit(Store* s, std::string* err) {
  if (!sqlite_import_ready(s, err) || !sqlite_exec(s, "COMMIT", err)) return false;
  s->in_transaction = false;
  sqlite_import_end(s);
  return true;
}
