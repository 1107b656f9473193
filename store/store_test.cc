#include "store/store.h"

#include "store/backend.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

// One PostgreSQL server for the whole binary, started by the first test
// that needs it (tools/pg-test-server.sh, in a temporary folder) and
// stopped when the tests end.
struct PgServer : ::testing::Environment {
  std::string dir, url, why_not;
  bool tried = false;
  int databases = 0;

  const std::string& start() {
    if (tried) return url;
    tried = true;
    char tmpl[] = "/tmp/update-store-pg.XXXXXX";
    if (!mkdtemp(tmpl)) {
      why_not = "no temporary folder";
      return url;
    }
    dir = tmpl;
    std::string cmd =
        std::string(UPDATE_DEFAULT_SOURCE_DIR) + "/tools/pg-test-server.sh start " + dir + " 2>&1";
    std::FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    std::string out;
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    int rc = p ? pclose(p) : -1;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    if (rc == 0) url = out;
    else if (WIFEXITED(rc) && WEXITSTATUS(rc) == 77)
      why_not = "PostgreSQL's server programs are not installed (make deps)";
    else why_not = "the test server did not start: " + out;
    return url;
  }

  // A database of its own for one test.
  std::string fresh() {
    char name_buf[32];
    std::snprintf(name_buf, sizeof name_buf, "t%d", ++databases);
    std::string name = name_buf;
    PGconn* c = PQconnectdb(url.c_str());
    PQsetNoticeProcessor(
        c, [](void*, const char*) {}, nullptr);
    PQclear(PQexec(c, ("DROP DATABASE IF EXISTS " + name).c_str()));
    PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
    EXPECT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    size_t at = url.find("/postgres?");
    std::string u = url.substr(0, at + 1);
    u += name;
    u += url.substr(at + 9);
    return u;
  }

  void TearDown() override {
    if (dir.empty()) return;
    if (!url.empty())
      std::system((std::string(UPDATE_DEFAULT_SOURCE_DIR) + "/tools/pg-test-server.sh stop " + dir +
                   " >/dev/null 2>&1")
                      .c_str());
    std::filesystem::remove_all(dir);
  }
};

PgServer* pg = static_cast<PgServer*>(::testing::AddGlobalTestEnvironment(new PgServer));

std::string sqlite_path() {
  static int made = 0;
  std::string path = testing::TempDir() + "/store-test-" + std::to_string(getpid()) + "-" +
                     std::to_string(++made) + ".sqlite";
  for (const char* end : {"", "-wal", "-shm"}) std::filesystem::remove(path + end);
  return path;
}

// A fresh store of each kind. PostgreSQL's is left out (and said why) only
// where its server programs are missing.
std::vector<std::string> stores() {
  std::vector<std::string> out{sqlite_path()};
  if (!pg->start().empty()) out.push_back(pg->fresh());
  else if (pg->why_not.find("not installed") == std::string::npos) ADD_FAILURE() << pg->why_not;
  return out;
}

std::string line(int attempt, const char* result = "ok", const char* station = "s1",
                 int minute = 0) {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                R"({"time":"2026-12-08T03:%02d:00.000Z","station":"%s","port":1,"seconds":12.5,)"
                R"("result":"%s","error":"Time out ","attempt":"%032x","unit":"SN%d"})",
                minute, station, result, attempt, attempt % 7);
  return buf;
}

TEST(Store, BatchStoresEachRecordOnceTheFirstKeptWithItsCursor) {
  for (const std::string& where : stores()) {
    SCOPED_TRACE(where);
    std::string err;
    Store* s = store_open(where, kStoreLockMs, &err);
    ASSERT_TRUE(s) << err;
    std::string cursor = "x";
    ASSERT_TRUE(store_station_cursor(s, "s1", &cursor, &err)) << err;
    EXPECT_EQ(cursor, "");
    struct Step {
      std::vector<std::string> lines;
      const char* cursor;
      StoreBatch want;
    } steps[] = {
        // Within one batch: the first of two with one key is stored.
        {{line(1), line(2), "not json", line(1, "failed"), R"({"time":"2026-99-01T00:00:00Z"})"},
         "c1",
         {2, 1, 2}},
        // Across batches, a record stored before stays as it was.
        {{line(2, "failed"), line(3, "failed", "s1", 5)}, "c2", {1, 1, 0}},
        {{}, "c3", {0, 0, 0}},
    };
    for (const Step& st : steps) {
      StoreBatch got;
      ASSERT_TRUE(store_add_batch(s, "s1", st.lines, st.cursor, &got, &err)) << err;
      EXPECT_EQ(got.added, st.want.added);
      EXPECT_EQ(got.duplicates, st.want.duplicates);
      EXPECT_EQ(got.skipped, st.want.skipped);
      ASSERT_TRUE(store_station_cursor(s, "s1", &cursor, &err)) << err;
      EXPECT_EQ(cursor, st.cursor);
    }
    ASSERT_TRUE(store_station_cursor(s, "s2", &cursor, &err)) << err;
    EXPECT_EQ(cursor, "");
    Tally t;
    ASSERT_TRUE(store_tally(s, Filter{}, &t, &err)) << err;
    EXPECT_EQ(t.records, 3);
    EXPECT_EQ(t.totals.ok, 2);
    EXPECT_EQ(t.totals.failed, 1);
    EXPECT_EQ(t.units.size(), 3u);
    store_close(s);

    // Reopened: all of it is there.
    s = store_open(where, kStoreLockMs, &err);
    ASSERT_TRUE(s) << err;
    int64_t n = 0;
    ASSERT_TRUE(store_count(s, &n, &err)) << err;
    EXPECT_EQ(n, 3);
    ASSERT_TRUE(store_station_cursor(s, "s1", &cursor, &err)) << err;
    EXPECT_EQ(cursor, "c3");

    // Two stations' batches in one transaction: each its own counts and
    // cursor, a record of the first one a duplicate in the second.
    std::vector<std::string> first = {line(10, "ok", "s2"), line(11, "ok", "s2")},
                             second = {line(11, "ok", "s3"), line(12, "failed", "s3"), "x"};
    std::vector<StorePart> parts = {{"s2", &first, "d2", {}}, {"s3", &second, "d3", {}}};
    ASSERT_TRUE(store_add_batches(s, &parts, &err)) << err;
    EXPECT_EQ(parts[0].result.added, 2);
    EXPECT_EQ(parts[0].result.duplicates, 0);
    EXPECT_EQ(parts[1].result.added, 1);
    EXPECT_EQ(parts[1].result.duplicates, 1);
    EXPECT_EQ(parts[1].result.skipped, 1);
    for (const char* st : {"s2", "s3"}) {
      ASSERT_TRUE(store_station_cursor(s, st, &cursor, &err)) << err;
      EXPECT_EQ(cursor, std::string("d") + st[1]);
    }
    ASSERT_TRUE(store_count(s, &n, &err)) << err;
    EXPECT_EQ(n, 6);
    store_close(s);
  }
}

TEST(Store, TwoWritersWithOverlappingRecordsStoreEachOnce) {
  if (pg->start().empty()) GTEST_SKIP() << pg->why_not;
  std::string url = pg->fresh();
  // Two hubs following one station, from different cursors, at once: the
  // same records in the same order, in batches of different sizes.
  constexpr int kRecords = 6000;
  std::vector<std::string> all;
  for (int i = 0; i < kRecords; ++i) all.push_back(line(i, i % 4 ? "ok" : "failed", "s1", i % 60));
  auto hub = [&](int from, size_t batch, int64_t* added, std::string* err) {
    Store* s = store_open(url, kStoreLockMs, err);
    if (!s) return;
    for (size_t i = static_cast<size_t>(from); i < all.size(); i += batch) {
      std::vector<std::string> part(
          all.begin() + static_cast<long>(i),
          all.begin() + static_cast<long>(std::min(all.size(), i + batch)));
      StoreBatch b;
      if (!store_add_batch(s, "s1", part, std::to_string(i + part.size()), &b, err)) break;
      *added += b.added;
    }
    store_close(s);
  };
  int64_t a = 0, b = 0;
  std::string ea, eb;
  std::thread t1(hub, 0, 500, &a, &ea), t2(hub, 1000, 300, &b, &eb);
  t1.join();
  t2.join();
  ASSERT_EQ(ea, "");
  ASSERT_EQ(eb, "");
  EXPECT_EQ(a + b, kRecords);
  std::string err;
  Store* s = store_open(url, kStoreLockMs, &err);
  ASSERT_TRUE(s) << err;
  int64_t n = 0;
  ASSERT_TRUE(store_count(s, &n, &err)) << err;
  EXPECT_EQ(n, kRecords);
  store_close(s);
}

// What sqlite3 says of the store: one value of `sql`.
std::string sqlite_value(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      if (const unsigned char* t = sqlite3_column_text(st, 0))
        out = reinterpret_cast<const char*>(t);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

// An import into SQLite, into an empty store and into one with records,
// killed before its commit or committed: the store holds what it held
// before or all of the import, and is left as the hub needs it (its log
// mode, the time index).
TEST(Store, ImportKilledOrCommittedLeavesTheStoreWholeAndAsBefore) {
  struct Case {
    int before;  // records stored first by a batch
    bool killed;
  } cases[] = {{0, true}, {0, false}, {5, true}, {5, false}};
  constexpr int kImport = 3000;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.before) + (c.killed ? " killed" : " committed"));
    std::string path = sqlite_path(), err;
    Store* s = store_open(path, kStoreLockMs, &err);
    ASSERT_TRUE(s) << err;
    std::vector<std::string> first;
    for (int i = 0; i < c.before; ++i) first.push_back(line(100000 + i));
    StoreBatch b;
    ASSERT_TRUE(store_add_batch(s, "s1", first, "c", &b, &err)) << err;
    store_close(s);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Store* w = store_open(path, kStoreLockMs, &err);
      // A small cache: pages of the import reach the file before its end.
      if (!w || !sqlite_exec(w, "PRAGMA cache_size=8", &err) || !store_begin(w, &err)) _exit(3);
      RecordParser* p = record_parser_new();
      Record r;
      for (int i = 0; i < kImport; ++i) {
        std::string l = line(i, i % 3 ? "ok" : "failed", "s1", i % 60);
        l.append(kLinePadding, '\0');
        if (!record_parse(p, std::string_view(l.data(), l.size() - kLinePadding), &r) ||
            !store_add(w, r, &err))
          _exit(4);
      }
      if (c.killed) raise(SIGKILL);
      _exit(store_commit(w, &err) ? 0 : 5);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (c.killed) {
      ASSERT_TRUE(WIFSIGNALED(status)) << status;
    } else {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // Back in the log mode, for readers while a hub writes.
    if (!c.killed) {
      EXPECT_EQ(sqlite_value(path, "PRAGMA journal_mode"), "wal");
    }
    s = store_open(path, kStoreLockMs, &err);
    ASSERT_TRUE(s) << err;
    int64_t n = -1;
    ASSERT_TRUE(store_count(s, &n, &err)) << err;
    EXPECT_EQ(n, c.before + (c.killed ? 0 : kImport));
    Tally t;
    Filter f;
    ASSERT_TRUE(filter_parse_time("2026-12-08T03:30", &f.since)) << err;
    ASSERT_TRUE(store_tally(s, f, &t, &err)) << err;
    EXPECT_EQ(t.records, c.killed ? 0 : kImport / 2);
    store_close(s);
    EXPECT_EQ(sqlite_value(path, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(sqlite_value(path, "SELECT sql FROM sqlite_master WHERE name='records_time'"),
              "CREATE INDEX records_time ON records(time)");
  }
}

}  // namespace
