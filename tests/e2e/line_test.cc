// update-line following real stations on simulated boxes: every record of
// every journal in the store once, through a hub killed and restarted, a
// station restarted, a station unreachable that catches up, and a journal
// rotated while followed. Real programs, loopback only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

using json = nlohmann::json;

long ms_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// A GET on 127.0.0.1:port; the body, or "" when there is none.
std::string http_get(int port, const std::string& path, int* status = nullptr) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr*)&a, sizeof a) != 0) {
    close(fd);
    return "";
  }
  std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string in;
  char buf[65536];
  timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) in.append(buf, n);
  close(fd);
  size_t end = in.find("\r\n\r\n");
  if (status) *status = in.size() > 12 ? std::atoi(in.c_str() + 9) : 0;
  return end == std::string::npos ? "" : in.substr(end + 4);
}

// A loopback port nobody listens on (picked by the system, let go again).
int free_port() {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, (sockaddr*)&a, sizeof a);
  getsockname(probe, (sockaddr*)&a, &len);
  close(probe);
  return ntohs(a.sin_port);
}

// The attempts of a journal's records, in order.
std::vector<std::string> attempts_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    json j = json::parse(line, nullptr, false);
    if (j.is_object() && j.contains("attempt") && j["attempt"].is_string())
      out.push_back(j["attempt"]);
  }
  return out;
}

class Line : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = make_temp_dir();
    file = dir + "/box.pad";
    ASSERT_EQ(make_pad(file, {"--format", "21", "--version", "23.0", "--record", "3000"}), 0);
  }
  void TearDown() override {
    for (BgProcess& h : hubs) {
      stop_process(&h);
      if (HasFailure()) std::fprintf(stderr, "the hub said:\n%s", h.err.c_str());
    }
    for (BgProcess& s : stations) {
      stop_process(&s);
      if (HasFailure()) std::fprintf(stderr, "a station said:\n%s", s.err.c_str());
    }
    for (BgProcess& b : boxes) kill_process(&b);
    std::system(("rm -rf " + dir).c_str());
  }
  // A station named `name` on one box of `boxes` good boxes (a failing
  // one beside it with `failing`), listening on `port`.
  void start_station(const std::string& name, int port, int count, bool failing = false) {
    std::vector<std::string> ports = {
        start_pty_box(&boxes, {"--boxes", std::to_string(count), "--expect", file})};
    if (failing)
      ports.push_back(
          start_pty_box(&boxes, {"--boxes", std::to_string(count), "--error-at", "download"}));
    // A box that never answers keeps the station up once the others are done:
    // its slot parks at its first failure (a minute on, later than a quiet
    // machine's test ends but not a loaded one's), and a parked slot holds a
    // station with a web view open. A failing box parks its own slot.
    ports.push_back(start_pty_box(&boxes, {"--silent-at", "keyword"}));
    std::vector<std::string> argv = {build_path("update-station"), "--http",
                                     "127.0.0.1:" + std::to_string(port)};
    if (!failing) argv.insert(argv.end(), {"--max-failures", "1"});
    for (const std::string& p : ports) argv.insert(argv.end(), {"-p", p});
    argv.insert(argv.end(), {"--boxes", std::to_string(count), "--station", name, "--journal",
                             journal(name), file});
    stations.emplace_back();
    ASSERT_TRUE(start_process(&stations.back(), argv));
    ASSERT_NE(wait_for_err_line(&stations.back(), "update-station: web view at", 10000), "")
        << stations.back().err;
  }
  std::string journal(const std::string& name) { return dir + "/" + name + ".jsonl"; }
  int start_hub(const std::string& stations = "stations", std::string db = "") {
    if (db.empty()) db = dir + "/line.db";
    hubs.emplace_back();
    EXPECT_TRUE(
        start_process(&hubs.back(), {build_path("update-line"), "--stations", dir + "/" + stations,
                                     "--db", db, "--http", "127.0.0.1:0"}));
    std::string prefix = "update-line: line view at http://127.0.0.1:";
    std::string line = wait_for_err_line(&hubs.back(), prefix, 10000);
    EXPECT_NE(line, "") << hubs.back().err;
    return line.empty() ? 0 : std::atoi(line.c_str() + prefix.size());
  }
  // The hub's view until `done` holds, up to `ms`.
  json wait_line(int port, const std::function<bool(const json&)>& done, int ms = 60000) {
    json line;
    for (long until = ms_now() + ms; ms_now() < until; usleep(200 * 1000)) {
      line = json::parse(http_get(port, "/api/line"), nullptr, false);
      if (line.is_object() && done(line)) break;
    }
    return line;
  }
  // The journal records of `names` (with their rotated files).
  std::multiset<std::string> journal_attempts(const std::vector<std::string>& names) {
    std::multiset<std::string> out;
    for (const std::string& n : names)
      for (const char* suffix : {"", ".1"})
        for (const std::string& a : attempts_of(read_file(journal(n) + suffix))) out.insert(a);
    return out;
  }
  std::multiset<std::string> store_attempts() {
    ProcResult r =
        run_process({"/usr/bin/sqlite3", dir + "/line.db", "SELECT hex(key) FROM records"});
    std::multiset<std::string> out;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
      for (char& c : line) c = (char)tolower(c);
      out.insert(line);
    }
    return out;
  }
  void wait_journal(const std::string& name, size_t count, int ms = 60000) {
    for (long until = ms_now() + ms; ms_now() < until; usleep(200 * 1000))
      if (journal_attempts({name}).size() >= count) return;
    ADD_FAILURE() << name << " wrote fewer than " << count << " records";
  }
  std::string report(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {build_path("update-report"), "--json"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcResult r = run_process(argv);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
  }
  std::string dir, file;
  std::vector<BgProcess> boxes, stations, hubs;
};

// Three stations and one that never comes: the store ends holding each
// journal record once, though the hub was killed mid-shift and restarted,
// one station's journal was rotated while followed, and one station came
// up only after the hub had tried it for a while.
TEST_F(Line, EveryRecordOnceThroughKillsRotationAndALateStation) {
  int pa = free_port(), pb = free_port(), pc = free_port(), gone = free_port();
  write_file(dir + "/stations", "# the line\nline-a http://127.0.0.1:" + std::to_string(pa) +
                                    "\nline-b http://127.0.0.1:" + std::to_string(pb) +
                                    "  # second\n" +
                                    "line-c http://127.0.0.1:" + std::to_string(pc) +
                                    "\n\nline-d http://127.0.0.1:" + std::to_string(gone) + "\n");
  start_station("line-a", pa, 6);
  start_station("line-b", pb, 3, true);
  int hub = start_hub();
  ASSERT_GT(hub, 0);
  // Some of a stored, then the hub killed at once and started again.
  wait_line(hub, [](const json& l) { return l["stations"][0]["records"] >= 1; });
  kill(hubs.back().pid, SIGKILL);
  wait_process(&hubs.back(), 10000);
  hubs.pop_back();
  // a's journal rotated while its boxes go on.
  wait_journal("line-a", 3);
  ASSERT_EQ(rename(journal("line-a").c_str(), (journal("line-a") + ".1").c_str()), 0);
  hub = start_hub();
  ASSERT_GT(hub, 0);
  // c comes up only now: refused until then, it catches up from its start.
  usleep(1500 * 1000);
  start_station("line-c", pc, 3);
  wait_journal("line-a", 6);
  wait_journal("line-b", 6);
  wait_journal("line-c", 3);
  // The journals grow still (the idle slots' boxes give up in the end):
  // the store catches up with them, and the report over it equals the one
  // over the journals, at one moment.
  std::vector<std::string> files = {journal("line-a"), journal("line-a") + ".1", journal("line-b"),
                                    journal("line-c")};
  std::multiset<std::string> want, got;
  json from_store, from_journals;
  for (long until = ms_now() + 60000; ms_now() < until; usleep(300 * 1000)) {
    want = journal_attempts({"line-a", "line-b", "line-c"});
    got = store_attempts();
    if (got != want) continue;
    from_store = json::parse(report({"--db", dir + "/line.db"}), nullptr, false);
    from_journals = json::parse(report(files), nullptr, false);
    // Summed in another order: equal but for the last bits.
    for (json* j : {&from_store, &from_journals})
      if (j->is_object()) (*j)["totals"].erase("mean_good_seconds");
    if (from_store.is_object() && from_store["totals"] == from_journals["totals"]) break;
  }
  EXPECT_GE(want.size(), 15u);
  EXPECT_EQ(got, want);
  ASSERT_TRUE(from_store.is_object());
  EXPECT_EQ(from_store["totals"], from_journals["totals"]);
  json line = wait_line(hub, [](const json& l) { return l["shift"]["ok"] == 12; });
  // Every expected station shown in the file's order, the one that never
  // came offline; the counts of this shift from the store.
  std::vector<std::string> names;
  for (const json& s : line["stations"]) names.push_back(s["name"]);
  EXPECT_EQ(names, (std::vector<std::string>{"line-a", "line-b", "line-c", "line-d"}));
  EXPECT_EQ(line["shift"]["ok"], 12);
  EXPECT_GE(line["stations"][1]["shift"]["failed"], 3);
  EXPECT_EQ(line["stations"][3]["up"], false);
  EXPECT_TRUE(line["stations"][0]["up"]);

  int status = 0;
  std::string page = http_get(hub, "/report?since=2000-01-01&format=json", &status);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(json::parse(page, nullptr, false)["totals"]["ok"], 12);
  http_get(hub, "/report?since=yesterday", &status);
  EXPECT_EQ(status, 400);

  // The metrics name every station, the offline one at 0.
  std::string metrics = http_get(hub, "/metrics");
  EXPECT_NE(metrics.find("update_line_station_up{station=\"line-d\"} 0\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("update_line_station_up{station=\"line-a\"} 1\n"), std::string::npos);
  EXPECT_NE(metrics.find("update_line_alarms{alarm=\"offline\"}"), std::string::npos);
  EXPECT_EQ(http_get(hub, "/healthz"), "ok\n");
  if (access("/usr/bin/promtool", X_OK) == 0) {
    ProcResult check = run_process({"/usr/bin/promtool", "check", "metrics"}, metrics);
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  }
}

// A backlog the hub takes in many transactions, the hub killed with
// SIGKILL again and again while it stores them (most of its time is
// spent inside a transaction then): the store ends with each record once.
TEST_F(Line, HubKilledInsideItsCatchUpTransactions) {
  constexpr int kBacklog = 60000;
  std::string backlog;
  for (int i = 0; i < kBacklog; ++i) {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "{\"time\":\"2026-12-08T%02d:%02d:%02d.000Z\",\"station\":\"line-a\","
                  "\"port\":%d,\"file\":\"/srv/line3/box-23.0-release.pad\",\"file_version\":"
                  "\"23.0\",\"box_version\":\"23.0\",\"seconds\":14.2,\"result\":\"%s\","
                  "\"error\":%s,\"attempt\":\"%032x\"}\n",
                  i / 3600 % 24, i / 60 % 60, i % 60, i % 16 + 1, i % 9 ? "ok" : "failed",
                  i % 9 ? "null" : "\"Time out \"", i + 1);
    backlog += buf;
  }
  write_file(journal("line-a"), backlog);
  int pa = free_port();
  write_file(dir + "/stations", "line-a http://127.0.0.1:" + std::to_string(pa) + "\n");
  start_station("line-a", pa, 1);
  auto stored = [&] {
    ProcResult r =
        run_process({"/usr/bin/sqlite3", dir + "/line.db", "SELECT count(*) FROM records"});
    return std::atol(r.out.c_str());
  };
  int kills = 0;
  for (int round = 0; round < 4; ++round) {
    long before = stored();
    ASSERT_GT(start_hub(), 0);
    // Killed after a first new transaction was committed, some way into
    // the next ones.
    for (long until = ms_now() + 60000; ms_now() < until && stored() <= before;) usleep(20 * 1000);
    usleep((30 + 40 * round) * 1000);
    if (stored() >= kBacklog) break;
    kill(hubs.back().pid, SIGKILL);
    wait_process(&hubs.back(), 10000);
    hubs.pop_back();
    ++kills;
  }
  EXPECT_GE(kills, 2) << "the catch-up was over before the hub could be killed in it";
  if (hubs.empty()) {
    ASSERT_GT(start_hub(), 0);
  }
  wait_journal("line-a", kBacklog + 1);
  std::multiset<std::string> want, got;
  for (long until = ms_now() + 120000; ms_now() < until; usleep(300 * 1000)) {
    want = journal_attempts({"line-a"});
    got = store_attempts();
    if (got == want) break;
  }
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
}

// A station restarted, and a hub told of a new station by SIGHUP: nothing
// twice, nothing left out.
TEST_F(Line, StationRestartedAndStationsFileReread) {
  int pa = free_port(), pb = free_port();
  write_file(dir + "/stations", "line-a http://127.0.0.1:" + std::to_string(pa) + "\n");
  start_station("line-a", pa, 2);
  int hub = start_hub();
  ASSERT_GT(hub, 0);
  wait_journal("line-a", 2);
  wait_line(hub, [](const json& l) { return l["stations"][0]["records"] == 2; });
  stop_process(&stations.back());
  stations.pop_back();
  start_station("line-a", pa, 2);
  wait_journal("line-a", 4);
  write_file(dir + "/stations", "line-a http://127.0.0.1:" + std::to_string(pa) +
                                    "\nline-b http://127.0.0.1:" + std::to_string(pb) + "\n");
  start_station("line-b", pb, 1);
  kill(hubs.back().pid, SIGHUP);
  wait_journal("line-b", 1);
  std::multiset<std::string> want = journal_attempts({"line-a", "line-b"});
  ASSERT_GE(want.size(), 5u);  // and a stopped record of the restarted station's idle slot
  wait_line(hub, [&](const json&) { return store_attempts().size() >= want.size(); });
  EXPECT_EQ(store_attempts(), want);
  json line = wait_line(hub, [](const json& l) { return l["stations"].size() == 2; });
  EXPECT_EQ(line["stations"][1]["name"], "line-b");
}

// Two hubs into one PostgreSQL database, one station followed by both:
// every record stored once all the same, and the report over the
// database is the report over the journals.
TEST_F(Line, TwoHubsShareOnePostgres) {
  std::string pg = dir + "/pg";
  mkdir(pg.c_str(), 0700);
  chmod(dir.c_str(), 0755);  // as root the server runs as nobody, who must reach it
  std::string server = source_path("tools/pg-test-server.sh");
  ProcResult started = run_process({server, "start", pg}, "", 300000);
  if (started.exit_code == 77) GTEST_SKIP() << "PostgreSQL's server programs are not installed";
  ASSERT_EQ(started.exit_code, 0) << started.err;
  std::string url = started.out;
  while (!url.empty() && url.back() == '\n') url.pop_back();
  int pa = free_port(), pb = free_port();
  std::string a = "line-a http://127.0.0.1:" + std::to_string(pa) + "\n";
  std::string b = "line-b http://127.0.0.1:" + std::to_string(pb) + "\n";
  write_file(dir + "/stations", a + b);
  write_file(dir + "/stations2", a);
  start_station("line-a", pa, 4);
  start_station("line-b", pb, 2);
  int hub1 = start_hub("stations", url), hub2 = start_hub("stations2", url);
  EXPECT_GT(hub1, 0);
  EXPECT_GT(hub2, 0);
  wait_journal("line-a", 4);
  wait_journal("line-b", 2);
  json from_store, from_journals;
  for (long until = ms_now() + 60000; ms_now() < until; usleep(300 * 1000)) {
    from_store = json::parse(report({"--db", url}), nullptr, false);
    from_journals = json::parse(report({journal("line-a"), journal("line-b")}), nullptr, false);
    for (json* j : {&from_store, &from_journals})
      if (j->is_object()) (*j)["totals"].erase("mean_good_seconds");
    if (from_store.is_object() && from_store["totals"] == from_journals["totals"]) break;
  }
  ASSERT_TRUE(from_store.is_object());
  EXPECT_EQ(from_store["totals"], from_journals["totals"]);
  EXPECT_EQ(from_store["records"], from_journals["records"]);
  EXPECT_GE(from_journals["totals"]["ok"], 6);
  // Each hub's board counts every record of its stations once, those the
  // other hub stored first too: as the journals have them.
  auto journal_counts = [&](const std::string& name) {
    json c = {{"ok", 0}, {"failed", 0}};
    std::istringstream in(read_file(journal(name)));
    for (std::string l; std::getline(in, l);) {
      json j = json::parse(l, nullptr, false);
      if (j.is_object() && j.contains("result") && c.contains(j["result"]))
        c[j["result"].get<std::string>()] = c[j["result"].get<std::string>()].get<int>() + 1;
    }
    return c;
  };
  auto board_counts = [](const json& line, size_t i) {
    return json{{"ok", line["stations"][i]["shift"]["ok"]},
                {"failed", line["stations"][i]["shift"]["failed"]}};
  };
  json want_a = journal_counts("line-a"), want_b = journal_counts("line-b");
  json line1 = wait_line(hub1, [&](const json& l) {
    return board_counts(l, 0) == want_a && board_counts(l, 1) == want_b;
  });
  json line2 = wait_line(hub2, [&](const json& l) { return board_counts(l, 0) == want_a; });
  ASSERT_TRUE(line1.is_object() && line2.is_object());
  EXPECT_EQ(board_counts(line1, 0), want_a);
  EXPECT_EQ(board_counts(line1, 1), want_b);
  EXPECT_EQ(board_counts(line2, 0), want_a);
  EXPECT_EQ(line1["shift"]["ok"], want_a["ok"].get<int>() + want_b["ok"].get<int>());
  for (BgProcess& h : hubs) stop_process(&h);
  hubs.clear();
  run_process({server, "stop", pg}, "", 300000);
}

}  // namespace
