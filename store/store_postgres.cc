// The PostgreSQL backend: one database several hubs (and update-report)
// write at once. A record's key is unique in the table and every insert
// does nothing on a key stored already, so records written twice, by one
// program or by two at the same moment, are stored once. Records go out
// many to a statement, so an import makes no round trip per record.
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "store/backend.h"

namespace {

// Rows in one INSERT: far below the protocol's 65535 parameters.
constexpr size_t kRowsPerStatement = 1000;

std::string schema() {
  std::string sql =
      "CREATE TABLE IF NOT EXISTS store_schema(version INTEGER NOT NULL);"
      "CREATE TABLE IF NOT EXISTS records("
      " id BIGSERIAL PRIMARY KEY,"
      " key BYTEA NOT NULL UNIQUE,"
      " \"time\" TEXT NOT NULL,"
      " station TEXT NOT NULL,"
      " port TEXT NOT NULL,"
      " result TEXT NOT NULL,"
      " cause TEXT,"
      " seconds DOUBLE PRECISION NOT NULL,"
      " box_version TEXT NOT NULL,"
      " file_version TEXT NOT NULL,"
      " file_checksum TEXT NOT NULL";
  for (int i = 0; i < kRecordFields; ++i) {
    const FieldSpec& f = record_field(i);
    sql += std::string(", \"") + f.name + "\" " + (f.type == kFieldText ? "TEXT" : "BIGINT");
  }
  sql +=
      ", line TEXT);"
      "CREATE INDEX IF NOT EXISTS records_time ON records(\"time\");"
      "CREATE TABLE IF NOT EXISTS journals("
      " identity TEXT PRIMARY KEY, path TEXT NOT NULL, first_line BYTEA NOT NULL,"
      " \"offset\" BIGINT NOT NULL, imported TEXT NOT NULL);"
      "CREATE TABLE IF NOT EXISTS stations("
      " name TEXT PRIMARY KEY, cursor TEXT NOT NULL, updated TEXT NOT NULL);";
  return sql;
}

// The URL as messages show it: without a password.
std::string shown_url(const std::string& url) {
  size_t scheme = url.find("://");
  size_t at = url.find('@');
  if (scheme == std::string::npos || at == std::string::npos) return url;
  size_t colon = url.find(':', scheme + 3);
  if (colon == std::string::npos || colon > at) return url;
  return url.substr(0, colon) + url.substr(at);
}

std::string trimmed(const char* text) {
  std::string t = text ? text : "";
  while (!t.empty() && (t.back() == '\n' || t.back() == ' ')) t.pop_back();
  return t;
}

bool fail_result(Store* s, PGresult* res, std::string* err) {
  const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
  std::string code = state ? state : "";
  s->retry = code == "40P01" || code == "40001";
  if (code == "55P03") {  // lock_not_available: lock_timeout passed
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.1f", s->lock_ms / 1000.0);
    *err = "the store " + s->name + " is locked by another program (waited " + ms + " s)";
  } else {
    *err = "the store " + s->name + ": " +
           trimmed(res ? PQresultErrorMessage(res) : PQerrorMessage(s->pg));
  }
  PQclear(res);
  return false;
}

// Runs `sql`; *out (when given) keeps the result for the caller to clear.
bool run(Store* s, const char* sql, int n, const char* const* values, const int* lengths,
         ExecStatusType want, std::string* err, PGresult** out = nullptr) {
  PGresult* res = PQexecParams(s->pg, sql, n, nullptr, values, lengths, nullptr, 0);
  if (PQresultStatus(res) != want) return fail_result(s, res, err);
  if (out) *out = res;
  else PQclear(res);
  return true;
}

std::string key_hex(RecordKey k) { return "\\x" + record_key_text(k); }

// A cell as text, `null_as` where it is NULL; valid until the row is cleared.
std::string_view cell(PGresult* res, int c, std::string_view null_as) {
  return PQgetisnull(res, 0, c)
             ? null_as
             : std::string_view(PQgetvalue(res, 0, c), static_cast<size_t>(PQgetlength(res, 0, c)));
}

// The rows of the query just sent in single-row mode, each handed to
// `each`: the records are never all in memory at once. Every result is
// drained, a failure's too, so the connection is ready for the next
// query; the first failure is what *err says.
bool each_row(Store* s, std::string* err, const std::function<void(PGresult*)>& each) {
  bool ok = true;
  while (PGresult* res = PQgetResult(s->pg)) {
    ExecStatusType st = PQresultStatus(res);
    if (st == PGRES_SINGLE_TUPLE) {
      each(res);
      PQclear(res);
    } else if (st == PGRES_TUPLES_OK) {
      PQclear(res);
    } else if (ok) {
      ok = fail_result(s, res, err);
    } else {
      PQclear(res);
    }
  }
  return ok;
}

}  // namespace

bool pg_exec(Store* s, const char* sql, std::string* err) {
  PGresult* res = PQexec(s->pg, sql);
  if (PQresultStatus(res) != PGRES_COMMAND_OK) return fail_result(s, res, err);
  PQclear(res);
  return true;
}

bool pg_open(Store* s, const std::string& url, std::string* err) {
  s->name = shown_url(url);
  std::string timeout = std::to_string(s->lock_ms < 1000 ? 1 : (s->lock_ms + 999) / 1000);
  const char* keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
  const char* values[] = {url.c_str(), timeout.c_str(), "update-store", nullptr};
  s->pg = PQconnectdbParams(keys, values, 1);
  if (PQstatus(s->pg) != CONNECTION_OK) {
    *err = "the store " + s->name + " cannot be reached: " + trimmed(PQerrorMessage(s->pg));
    return false;
  }
  // Notices (a table that exists already) are no one's business.
  PQsetNoticeProcessor(
      s->pg, [](void*, const char*) {}, nullptr);
  std::string lock = "SET lock_timeout = " + std::to_string(s->lock_ms);
  if (!pg_exec(s, lock.c_str(), err)) return false;
  // One program sets the schema up at a time; the others wait for it.
  if (!pg_exec(s, "BEGIN", err)) return false;
  s->in_transaction = true;
  bool ok = run(s, "SELECT pg_advisory_xact_lock(7262937140501)", 0, nullptr, nullptr,
                PGRES_TUPLES_OK, err);
  ok = ok && pg_exec(s, schema().c_str(), err);
  PGresult* res = nullptr;
  ok = ok && run(s, "SELECT max(version) FROM store_schema", 0, nullptr, nullptr, PGRES_TUPLES_OK,
                 err, &res);
  if (ok) {
    int version = PQgetisnull(res, 0, 0) ? 0 : std::atoi(PQgetvalue(res, 0, 0));
    PQclear(res);
    if (version > kStoreSchemaVersion) {
      *err = "the store " + s->name + " has schema version " + std::to_string(version) +
             ", newer than this program knows (" + std::to_string(kStoreSchemaVersion) +
             "); use a newer one";
      ok = false;
    } else if (version == 0) {
      ok = pg_exec(
          s,
          ("INSERT INTO store_schema VALUES(" + std::to_string(kStoreSchemaVersion) + ")").c_str(),
          err);
    }
  }
  ok = ok && pg_exec(s, "COMMIT", err);
  if (!ok) return false;
  s->in_transaction = false;
  return true;
}

void pg_close(Store* s) {
  if (s->pg && s->in_transaction) PQclear(PQexec(s->pg, "ROLLBACK"));
  PQfinish(s->pg);
}

bool pg_resume_offset(Store* s, const std::string& identity, RecordKey first_line, uint64_t size,
                      uint64_t* offset, std::string* err) {
  *offset = 0;
  const char* v[] = {identity.c_str()};
  PGresult* res = nullptr;
  if (!run(s, "SELECT encode(first_line, 'hex'), \"offset\" FROM journals WHERE identity=$1", 1, v,
           nullptr, PGRES_TUPLES_OK, err, &res))
    return false;
  if (PQntuples(res) == 1) {
    bool same = record_key_text(first_line) == PQgetvalue(res, 0, 0);
    uint64_t stored = std::strtoull(PQgetvalue(res, 0, 1), nullptr, 10);
    if (same && stored <= size) *offset = stored;
  }
  PQclear(res);
  return true;
}

bool pg_journal_read(Store* s, const std::string& identity, const std::string& path,
                     RecordKey first_line, uint64_t offset, std::string* err) {
  std::string key = key_hex(first_line), off = std::to_string(offset);
  const char* v[] = {identity.c_str(), path.c_str(), key.c_str(), off.c_str()};
  return run(s,
             "INSERT INTO journals(identity, path, first_line, \"offset\", imported)"
             " VALUES($1,$2,$3,$4,to_char(now() AT TIME ZONE 'UTC',"
             " 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'))"
             " ON CONFLICT(identity) DO UPDATE SET path=excluded.path,"
             " first_line=excluded.first_line, \"offset\"=excluded.\"offset\","
             " imported=excluded.imported",
             4, v, nullptr, PGRES_COMMAND_OK, err);
}

bool pg_add(Store* s, const Record& r, std::string* err) {
  std::string scratch;
  s->pending.push_back(key_hex(r.key));
  s->pending_null.push_back(0);
  for (int n = 1; n < kRecordColumns; ++n) {
    std::string_view text;
    bool set = store_column_text(r, n, &scratch, &text);
    s->pending.emplace_back(set ? text : std::string_view());
    s->pending_null.push_back(!set);
  }
  if (++s->pending_rows >= kRowsPerStatement) return pg_flush(s, err);
  return true;
}

bool pg_flush(Store* s, std::string* err) {
  if (!s->pending_rows) return true;
  std::string sql = "INSERT INTO records(";
  for (int n = 0; n < kRecordColumns; ++n)
    sql += std::string(n ? "," : "") + "\"" + store_column(n) + "\"";
  sql += ") VALUES";
  std::vector<const char*> values(s->pending.size());
  std::vector<int> lengths(s->pending.size());
  for (size_t row = 0, p = 0; row < s->pending_rows; ++row) {
    sql += row ? ",(" : "(";
    for (int n = 0; n < kRecordColumns; ++n, ++p) {
      sql += (n ? ",$" : "$") + std::to_string(p + 1);
      // The seconds column is the one number among text parameters.
      if (n == 6) sql += "::double precision";
      values[p] = s->pending_null[p] ? nullptr : s->pending[p].c_str();
      lengths[p] = static_cast<int>(s->pending[p].size());
    }
    sql += ")";
  }
  // In the order given: of two rows with one key, the first is stored.
  sql += " ON CONFLICT(key) DO NOTHING";
  PGresult* res = nullptr;
  bool ok = run(s, sql.c_str(), static_cast<int>(values.size()), values.data(), lengths.data(),
                PGRES_COMMAND_OK, err, &res);
  s->pending.clear();
  s->pending_null.clear();
  s->pending_rows = 0;
  if (!ok) return false;
  s->added += std::atoll(PQcmdTuples(res));
  PQclear(res);
  return true;
}

bool pg_set_cursor(Store* s, std::string_view station, std::string_view cursor, std::string* err) {
  std::string a(station), b(cursor);
  const char* v[] = {a.c_str(), b.c_str()};
  return run(s,
             "INSERT INTO stations(name, cursor, updated) VALUES($1,$2,"
             " to_char(now() AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'))"
             " ON CONFLICT(name) DO UPDATE SET cursor=excluded.cursor, updated=excluded.updated",
             2, v, nullptr, PGRES_COMMAND_OK, err);
}

bool pg_cursor(Store* s, std::string_view station, std::string* cursor, std::string* err) {
  std::string a(station);
  const char* v[] = {a.c_str()};
  PGresult* res = nullptr;
  if (!run(s, "SELECT cursor FROM stations WHERE name=$1", 1, v, nullptr, PGRES_TUPLES_OK, err,
           &res))
    return false;
  if (PQntuples(res) == 1) cursor->assign(PQgetvalue(res, 0, 0));
  PQclear(res);
  return true;
}

bool pg_tally(Store* s, const Filter& f, Tally* t, std::string* err) {
  std::string sql = std::string("SELECT ") + kTallyColumns + " FROM records ORDER BY \"time\"";
  if (!PQsendQuery(s->pg, sql.c_str()) || !PQsetSingleRowMode(s->pg))
    return fail_result(s, nullptr, err);
  TallyRow row;
  return each_row(s, err, [&](PGresult* res) {
    row.time = cell(res, 0, "-");
    row.station = cell(res, 1, "-");
    row.port = cell(res, 2, "-");
    row.result = cell(res, 3, "-");
    row.cause = cell(res, 4, "-");
    row.seconds = std::strtod(PQgetvalue(res, 0, 5), nullptr);
    row.box_version = cell(res, 6, "-");
    row.file_version = cell(res, 7, "-");
    row.file_checksum = cell(res, 8, "-");
    row.unit = cell(res, 9, {});
    row.error_detail = cell(res, 10, {});
    store_tally_row(t, f, row);
  });
}

bool pg_count(Store* s, int64_t* n, std::string* err) {
  PGresult* res = nullptr;
  if (!run(s, "SELECT count(*) FROM records", 0, nullptr, nullptr, PGRES_TUPLES_OK, err, &res))
    return false;
  *n = std::atoll(PQgetvalue(res, 0, 0));
  PQclear(res);
  return true;
}

bool pg_since(Store* s, std::string_view since, const std::function<void(const StoredRow&)>& each,
              std::string* err) {
  std::string from(since);
  const char* v[] = {from.c_str()};
  if (!PQsendQueryParams(s->pg,
                         "SELECT \"time\", station, result, cause, file_version FROM records"
                         " WHERE \"time\" >= $1 ORDER BY \"time\"",
                         1, nullptr, v, nullptr, nullptr, 0) ||
      !PQsetSingleRowMode(s->pg))
    return fail_result(s, nullptr, err);
  StoredRow row;
  return each_row(s, err, [&](PGresult* res) {
    row.time = cell(res, 0, {});
    row.station = cell(res, 1, {});
    row.result = cell(res, 2, {});
    row.cause = cell(res, 3, {});
    row.file_version = cell(res, 4, {});
    each(row);
  });
}
