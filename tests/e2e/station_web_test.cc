// update-station --http as a supervisor and Prometheus meet it: the API,
// the event stream, the metrics, control with the token, and clients that
// misbehave while boxes run. Real programs, boxsim slots, loopback only.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

// Keys in the order they came.
using json = nlohmann::ordered_json;

long ms_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// A connection to 127.0.0.1:port or [::1]:port; -1 when refused.
int dial(int port, bool v6 = false) {
  int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  int r;
  if (v6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_loopback;
    r = connect(fd, (sockaddr*)&a, sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    r = connect(fd, (sockaddr*)&a, sizeof a);
  }
  if (r != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void send_text(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += n;
  }
}

// Reads what arrives within `ms`; false once the peer closed.
bool read_some(int fd, std::string* into, int ms) {
  pollfd p = {fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return true;
  char buf[16384];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  if (n <= 0) return false;
  into->append(buf, n);
  return true;
}

struct Reply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  bool closed = false;  // the server closed the connection after it
};

// One response off `fd`, its body by Content-Length; waits up to `ms`.
Reply read_reply(int fd, int ms = 5000) {
  Reply r;
  std::string in;
  long deadline = ms_now() + ms;
  size_t head_end;
  while ((head_end = in.find("\r\n\r\n")) == std::string::npos && ms_now() < deadline)
    if (!read_some(fd, &in, 100)) {
      r.closed = true;
      break;
    }
  if (head_end == std::string::npos) return r;
  std::istringstream head(in.substr(0, head_end));
  std::string line;
  std::getline(head, line);
  r.status = std::atoi(line.c_str() + 9);
  while (std::getline(head, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = (char)tolower(c);
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) value.pop_back();
    r.headers[name] = value;
  }
  size_t length = std::atol(r.headers["content-length"].c_str());
  r.body = in.substr(head_end + 4);
  while (r.body.size() < length && ms_now() < deadline && !r.closed)
    if (!read_some(fd, &r.body, 100)) r.closed = true;
  // Closed after it: the next read sees the end at once.
  if (!r.closed && r.headers["connection"] == "close") {
    std::string rest;
    long until = ms_now() + 2000;
    while (ms_now() < until)
      if (!read_some(fd, &rest, 100)) {
        r.closed = true;
        break;
      }
  }
  return r;
}

Reply request(int port, const std::string& method, const std::string& path,
              const std::string& token = "", const std::string& extra = "") {
  int fd = dial(port);
  if (fd < 0) return {};
  std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!token.empty()) req += "Authorization: Bearer " + token + "\r\n";
  if (method == "POST") req += "Content-Length: 0\r\n";
  send_text(fd, req + extra + "\r\n");
  Reply r = read_reply(fd);
  close(fd);
  return r;
}

// An event stream as a browser reads it.
struct Events {
  int fd = -1;
  std::string buf;
  ~Events() {
    if (fd >= 0) close(fd);
  }
  bool open(int port) {
    fd = dial(port);
    if (fd < 0) return false;
    send_text(fd,
              "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n");
    long deadline = ms_now() + 5000;
    size_t end;
    while ((end = buf.find("\r\n\r\n")) == std::string::npos && ms_now() < deadline)
      if (!read_some(fd, &buf, 100)) return false;
    if (end == std::string::npos || buf.compare(0, 12, "HTTP/1.1 200") != 0) return false;
    buf.erase(0, end + 4);
    return true;
  }
  // The next event of kind `want` ("" any) within `ms`: its data.
  bool next(const std::string& want, json* data, int ms, std::string* kind = nullptr) {
    long deadline = ms_now() + ms;
    for (;;) {
      size_t end;
      while ((end = buf.find("\n\n")) != std::string::npos) {
        std::string block = buf.substr(0, end);
        buf.erase(0, end + 2);
        std::string event, text;
        std::istringstream lines(block);
        std::string line;
        while (std::getline(lines, line)) {
          if (line.rfind("event: ", 0) == 0) event = line.substr(7);
          if (line.rfind("data: ", 0) == 0) text += line.substr(6);
        }
        if (text.empty() || (!want.empty() && event != want)) continue;
        *data = json::parse(text, nullptr, false);
        if (kind) *kind = event;
        return true;
      }
      long left = deadline - ms_now();
      if (left <= 0 || !read_some(fd, &buf, (int)std::min(left, 200L))) return false;
    }
  }
};

const std::vector<std::string> kStatusKeys = {"station",  "file",  "file_version", "file_checksum",
                                              "elapsed",  "ok",    "failed",       "boxes_per_hour",
                                              "draining", "slots", "causes",       "attempts"};
const std::vector<std::string> kSlotKeys = {
    "slot",   "port",   "state",      "percent",           "box_version", "line_speed", "ok",
    "failed", "streak", "last_error", "last_error_detail", "unit",        "retest"};

std::vector<std::string> keys(const json& o) {
  std::vector<std::string> k;
  for (auto it = o.begin(); it != o.end(); ++it) k.push_back(it.key());
  return k;
}

// The value of one metrics sample, -1 when absent.
double sample(const std::string& metrics, const std::string& series) {
  size_t at = metrics.find("\n" + series + " ");
  return at == std::string::npos ? -1 : std::atof(metrics.c_str() + at + series.size() + 2);
}

class StationWeb : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = make_temp_dir();
    file = dir + "/box.pad";
    // About four seconds on the paced line at 115200.
    ASSERT_EQ(make_pad(file, {"--format", "21", "--version", "23.0", "--record", "45000"}), 0);
    write_file(dir + "/token", "s3cret-token\nnot this line\n");
  }
  void TearDown() override {
    for (BgProcess& s : stations) stop_process(&s);
    for (BgProcess& b : boxes) kill_process(&b);
    std::system(("rm -rf " + dir).c_str());
  }
  std::string start_box(const std::vector<std::string>& args) {
    std::string pty = start_pty_box(&boxes, args);
    EXPECT_FALSE(pty.empty());
    return pty;
  }
  // Starts a station on `ports` with `options`; returns its web port (0
  // when it did not say where it listens).
  int start_station(const std::vector<std::string>& ports, const std::vector<std::string>& options,
                    const std::string& listen = "127.0.0.1:0") {
    std::vector<std::string> argv = {build_path("update-station"), "--http", listen};
    for (const std::string& p : ports) argv.insert(argv.end(), {"-p", p});
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"--journal", dir + "/journal.jsonl", file});
    stations.emplace_back();
    EXPECT_TRUE(start_process(&stations.back(), argv));
    std::string host = listen.substr(0, listen.rfind(':'));
    std::string prefix = "update-station: web view at http://" + host + ":";
    std::string line = wait_for_err_line(&stations.back(), prefix, 10000);
    EXPECT_NE(line, "") << stations.back().err;
    EXPECT_EQ(line.back(), '/') << line;
    return line.empty() ? 0 : std::atoi(line.c_str() + prefix.size());
  }
  std::vector<json> journal() {
    std::vector<json> out;
    std::istringstream in(read_file(dir + "/journal.jsonl"));
    std::string line;
    while (std::getline(in, line)) out.push_back(json::parse(line, nullptr, false));
    return out;
  }
  std::string dir, file;
  std::vector<BgProcess> boxes, stations;
};

// Every route, every refusal, park, unpark and drain with their effects,
// the stream that shows them and the metrics that count them.
TEST_F(StationWeb, ApiStreamMetricsAndControl) {
  std::string busy = start_box({"--pace", "--expect", file});
  std::string idle = start_box({"--silent-at", "keyword"});
  int port = start_station({busy, idle}, {"--boxes", "1", "--http-token-file", dir + "/token"});
  ASSERT_GT(port, 0);
  // A station without a token file refuses control; it listens on ::1 too.
  std::string other = start_box({"--silent-at", "keyword"});
  int port6 = start_station({other}, {}, "[::1]:0");
  ASSERT_GT(port6, 0);
  int fd6 = dial(port6, true);
  ASSERT_GE(fd6, 0);
  send_text(fd6,
            "POST /api/drain HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer s3cret-token\r\n"
            "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(read_reply(fd6).status, 403);
  close(fd6);

  Events events;
  ASSERT_TRUE(events.open(port));
  json first;
  ASSERT_TRUE(events.next("status", &first, 5000));
  EXPECT_EQ(keys(first), kStatusKeys) << first.dump();

  const std::string token = "s3cret-token";
  struct Case {
    const char* method;
    std::string path, token;
    int status;
  } cases[] = {
      {"GET", "/", "", 200},
      {"HEAD", "/api/status", "", 200},
      {"GET", "/no/such/page", "", 404},
      {"GET", "/api/status/", "", 404},
      {"DELETE", "/api/status", "", 405},
      {"POST", "/metrics", token, 405},
      {"GET", "/api/drain", token, 405},
      {"PUT", "/api/slots/1/park", token, 405},
      {"POST", "/api/slots/1/park", "", 401},
      {"POST", "/api/slots/1/park", "s3cret-token not this line", 401},
      {"POST", "/api/slots/1/unpark", "s3cret-tokeN", 401},
      {"POST", "/api/drain", "s3cret", 401},
      {"POST", "/api/slots/3/park", token, 404},
      {"POST", "/api/slots/0/park", token, 404},
      {"POST", "/api/slots/x/unpark", token, 404},
      {"POST", "/api/slots/01x/park", token, 404},
  };
  for (const Case& c : cases) {
    Reply r = request(port, c.method, c.path, c.token);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << " " << c.token;
    if (c.status == 401) {
      EXPECT_EQ(r.headers["www-authenticate"].rfind("Bearer", 0), 0u) << c.path;
    }
  }

  // The status: its fields in the order given, the slots in -p order.
  Reply st = request(port, "GET", "/api/status");
  ASSERT_EQ(st.status, 200);
  EXPECT_EQ(st.headers["content-type"].rfind("application/json", 0), 0u);
  json s = json::parse(st.body, nullptr, false);
  ASSERT_TRUE(s.is_object()) << st.body;
  EXPECT_EQ(keys(s), kStatusKeys);
  EXPECT_EQ(s["file"], file);
  EXPECT_EQ(s["draining"], false);
  ASSERT_EQ(s["slots"].size(), 2u);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(keys(s["slots"][i]), kSlotKeys);
    EXPECT_EQ(s["slots"][i]["slot"], i + 1);
    EXPECT_EQ(s["slots"][i]["port"], i ? idle : busy);
  }

  // The page: whole in itself.
  Reply page = request(port, "GET", "/");
  EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
  EXPECT_NE(page.body.find("new EventSource(\"/api/events\")"), std::string::npos);
  for (const char* outside : {"src=", "href=", "url(", "@import", "<link", "http:", "https:"})
    EXPECT_EQ(page.body.find(outside), std::string::npos) << outside;
  EXPECT_NE(page.headers["content-security-policy"].find("default-src 'none'"), std::string::npos);
  // In the language the browser asks for, said so, and marked for caches.
  struct Lang {
    const char* header;
    const char* lang;
    const char* text;
  } langs[] = {{"", "en", "<th>Last cause</th>"},
               {"Accept-Language: de-DE,de;q=0.9,en;q=0.8\r\n", "de", "<th>Letzte Ursache</th>"},
               {"Accept-Language: en,de;q=0.5\r\n", "en", "<th>Last cause</th>"}};
  for (const Lang& l : langs) {
    Reply p = request(port, "GET", "/", "", l.header);
    EXPECT_EQ(p.headers["content-language"], l.lang) << l.header;
    EXPECT_EQ(p.headers["vary"], "Accept-Language") << l.header;
    EXPECT_NE(p.body.find(std::string("<html lang=\"") + l.lang + "\">"), std::string::npos);
    EXPECT_NE(p.body.find(l.text), std::string::npos) << l.header;
  }

  // Park the slot that has no box: its run stops, and the stream shows it.
  Reply parked = request(port, "POST", "/api/slots/2/park", token);
  ASSERT_EQ(parked.status, 200) << parked.body;
  json after = json::parse(parked.body, nullptr, false);
  EXPECT_EQ(after["slots"][1]["state"], "parked") << parked.body;
  json ev;
  bool seen = false;
  while (!seen && events.next("status", &ev, 3000)) seen = ev["slots"][1]["state"] == "parked";
  EXPECT_TRUE(seen) << "no status event shows the park";

  // The good box finishes: its record comes as an attempt event, the one
  // the journal holds.
  json attempt;
  std::string kind;
  bool got = false;
  while (!got && events.next("", &attempt, 20000, &kind))
    got = kind == "attempt" && attempt["port"] == busy;
  ASSERT_TRUE(got) << "no attempt event for the good box";
  EXPECT_EQ(attempt["result"], "ok");
  bool in_journal = false;
  for (const json& r : journal()) in_journal |= r == attempt;
  EXPECT_TRUE(in_journal) << attempt.dump();

  // The metrics count the journal's records, every series from the start.
  long deadline = ms_now() + 10000;
  std::string m;
  const std::string name = s["station"];
  const std::string lab = "{station=\"" + name + "\",port=\"";
  while (ms_now() < deadline) {
    m = request(port, "GET", "/metrics").body;
    if (sample(m, "update_station_attempts_total" + lab + idle + "\",result=\"stopped\"}") == 1 &&
        sample(m, "update_station_attempts_total" + lab + busy + "\",result=\"ok\"}") == 1)
      break;
    usleep(100000);
  }
  EXPECT_EQ(sample(m, "update_station_attempts_total" + lab + busy + "\",result=\"ok\"}"), 1) << m;
  EXPECT_EQ(sample(m, "update_station_attempts_total" + lab + busy + "\",result=\"failed\"}"), 0)
      << m;
  EXPECT_EQ(sample(m, "update_station_attempts_total" + lab + idle + "\",result=\"stopped\"}"), 1)
      << m;
  EXPECT_EQ(sample(m, "update_station_attempts_total" + lab + idle + "\",result=\"ok\"}"), 0) << m;
  EXPECT_EQ(sample(m, "update_station_slot_parked" + lab + idle + "\"}"), 1) << m;
  EXPECT_EQ(sample(m, "update_station_slot_parked" + lab + busy + "\"}"), 0) << m;
  EXPECT_GE(sample(m, "update_station_bytes_total" + lab + busy + "\"}"), 45000) << m;
  EXPECT_EQ(sample(m, "update_station_attempt_duration_seconds_count{station=\"" + name + "\"}"), 1)
      << m;
  EXPECT_EQ(sample(m, "update_station_info{station=\"" + name +
                          "\",file_version=\"23.0\",file_checksum=\"" +
                          attempt["file_checksum"].get<std::string>() + "\"}"),
            1)
      << m;
  if (access("/usr/bin/promtool", X_OK) == 0) {
    ProcResult check = run_process({"/usr/bin/promtool", "check", "metrics"}, m);
    EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");
  }

  // Unpark: the slot runs again, its streak cleared.
  Reply unparked = request(port, "POST", "/api/slots/2/unpark", token);
  ASSERT_EQ(unparked.status, 200);
  json u = json::parse(unparked.body, nullptr, false);
  EXPECT_NE(u["slots"][1]["state"], "parked") << unparked.body;
  EXPECT_EQ(u["slots"][1]["streak"], 0);
  // Its new run under way (a run stopped before it has set itself up
  // dies without a record), then the drain.
  deadline = ms_now() + 10000;
  while (ms_now() < deadline) {
    json now = json::parse(request(port, "GET", "/api/status").body, nullptr, false);
    if (now["slots"][1]["state"] == "sync") break;
    usleep(100000);
  }

  // Drain: the station ends as after a Ctrl-C, with no failure.
  Reply drained = request(port, "POST", "/api/drain", token);
  ASSERT_EQ(drained.status, 200);
  EXPECT_EQ(json::parse(drained.body, nullptr, false)["draining"], true) << drained.body;
  EXPECT_EQ(wait_process(&stations[0], 20000), 0) << stations[0].out << stations[0].err;
  EXPECT_NE(stations[0].out.find(busy + ": ok"), std::string::npos) << stations[0].out;
  EXPECT_EQ(dial(port), -1) << "still listening after the end";
  kill(stations[1].pid, SIGINT);
  EXPECT_EQ(wait_process(&stations[1], 20000), 0) << stations[1].out << stations[1].err;
}

// Clients that misbehave on purpose while a box takes its file: each gets
// its status or its closed connection, a supervisor still gets in, and the
// box ends on time.
TEST_F(StationWeb, BadClientsNeverTouchTheBoxes) {
  std::string busy = start_box({"--pace", "--expect", file});
  int port = start_station({busy}, {"--boxes", "1", "--http-allow-host", "Line3.example"});
  ASSERT_GT(port, 0);
  Events watcher;  // a browser that keeps reading
  ASSERT_TRUE(watcher.open(port));
  Events stuck;  // one that stops reading at once
  ASSERT_TRUE(stuck.open(port));

  struct Case {
    const char* name;
    std::string bytes;
    int status;  // 0: the connection closes with no answer
  } cases[] = {
      {"headers past 8 KiB",
       "GET /api/status HTTP/1.1\r\nHost: localhost\r\nX-Big: " + std::string(9000, 'a') +
           "\r\n\r\n",
       431},
      {"garbage", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), 400},
      {"not a request line", "HELLO THERE\r\n\r\n", 400},
      {"a header without a colon", "GET / HTTP/1.1\r\nHost: localhost\r\nnonsense\r\n\r\n", 400},
      // A page elsewhere whose name now points here (DNS rebinding).
      {"another site's Host", "GET /api/status HTTP/1.1\r\nHost: evil.example\r\n\r\n", 421},
      {"no Host on HTTP/1.1", "GET /api/status HTTP/1.1\r\n\r\n", 400},
      {"a name given with --http-allow-host",
       "GET /api/status HTTP/1.1\r\nHost: line3.EXAMPLE:8080\r\nConnection: close\r\n\r\n", 200},
  };
  for (const Case& c : cases) {
    int fd = dial(port);
    ASSERT_GE(fd, 0);
    send_text(fd, c.bytes);
    Reply r = read_reply(fd);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_TRUE(r.closed) << c.name;
    close(fd);
  }
  // A flood of idle sockets past the limit, and one that sends half a
  // request and stops.
  std::vector<int> idle;
  for (int i = 0; i < 80; i++) {
    int fd = dial(port);
    if (fd >= 0) idle.push_back(fd);
  }
  int half = dial(port);
  send_text(half, "GET /api/status HTTP/1.1\r\nHo");
  long t0 = ms_now();
  Reply st = request(port, "GET", "/api/status");
  EXPECT_EQ(st.status, 200) << "a supervisor locked out by idle sockets";
  EXPECT_LT(ms_now() - t0, 2000);
  // The stream that reads was not closed to make room.
  json ev;
  EXPECT_TRUE(watcher.next("status", &ev, 3000));

  EXPECT_EQ(wait_process(&stations[0], 30000), 0) << stations[0].out;
  for (int fd : idle) close(fd);
  close(half);
  std::vector<json> records = journal();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "ok");
  // 45000 bytes paced at 115200 with its handshake take about 5 s; a
  // station that waited on a client would take far longer.
  EXPECT_LT(records[0]["seconds"].get<double>(), 25.0) << records[0].dump();
  EXPECT_EQ(wait_process(&boxes[0], 20000), 0);
}

// A real Prometheus scrapes the station; its query API gives the journal's
// counts, port by port and result by result, zeros included.
TEST_F(StationWeb, PrometheusScrapesTheJournalsCounts) {
  if (access("/usr/bin/prometheus", X_OK) != 0)
    GTEST_SKIP() << "prometheus is not installed (make deps installs it)";
  ASSERT_EQ(make_pad(file, {"--format", "21", "--version", "23.0", "--record", "3000"}), 0);
  std::string good = start_box({"--boxes", "3", "--expect", file});
  std::string bad = start_box({"--boxes", "3", "--error-at", "download", "--error-line",
                               "\\r\\nERROR: bad flash id\\r\\n"});
  std::string idle = start_box({"--silent-at", "keyword"});  // keeps the station up
  int port = start_station({good, bad, idle}, {"--boxes", "3", "--max-failures", "5",
                                               "--http-token-file", dir + "/token"});
  ASSERT_GT(port, 0);

  // A port for Prometheus: one the system picks, let go again.
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, (sockaddr*)&a, sizeof a), 0);
  getsockname(probe, (sockaddr*)&a, &len);
  int prom = ntohs(a.sin_port);
  close(probe);
  write_file(dir + "/prometheus.yml",
             "global:\n  scrape_interval: 1s\n"
             "scrape_configs:\n  - job_name: update-station\n    static_configs:\n"
             "      - targets: ['127.0.0.1:" +
                 std::to_string(port) + "']\n");
  stations.emplace_back();  // stopped with the stations
  ASSERT_TRUE(start_process(
      &stations.back(),
      {"/usr/bin/prometheus", "--config.file=" + dir + "/prometheus.yml",
       "--storage.tsdb.path=" + dir + "/tsdb",
       "--web.listen-address=127.0.0.1:" + std::to_string(prom), "--log.level=warn"}));

  // Both boxes' three attempts in the journal.
  long deadline = ms_now() + 60000;
  std::vector<json> records;
  while (ms_now() < deadline && (records = journal()).size() < 6) usleep(200000);
  ASSERT_EQ(records.size(), 6u) << read_file(dir + "/journal.jsonl");
  std::map<std::string, std::string> want;
  for (const std::string& p : {good, bad, idle})
    for (const char* result : {"ok", "failed", "stopped"}) {
      int n = 0;
      for (const json& r : records) n += r["port"] == p && r["result"] == result;
      want["update_station_attempts_total{port=\"" + p + "\",result=\"" + result + "\"}"] =
          std::to_string(n);
    }
  EXPECT_EQ(want["update_station_attempts_total{port=\"" + good + "\",result=\"ok\"}"], "3");
  EXPECT_EQ(want["update_station_attempts_total{port=\"" + bad + "\",result=\"failed\"}"], "3");
  want["update_station_attempt_duration_seconds_count"] = "3";
  want["update_station_slot_parked{port=\"" + idle + "\"}"] = "0";

  auto query = [&](const std::string& q) {
    std::string encoded;
    for (unsigned char c : q) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += isalnum(c) ? std::string(1, (char)c) : std::string(hex);
    }
    json j =
        json::parse(request(prom, "GET", "/api/v1/query?query=" + encoded).body, nullptr, false);
    if (!j.is_object() || j.value("status", "") != "success") return std::string("?");
    const json& result = j["data"]["result"];
    return result.empty() ? std::string("none") : result[0]["value"][1].get<std::string>();
  };
  std::map<std::string, std::string> got;
  for (int i = 0; i < 60 && got != want; i++) {
    usleep(500000);
    for (const auto& [q, n] : want) got[q] = query(q);
  }
  EXPECT_EQ(want, got);
  EXPECT_EQ(request(port, "POST", "/api/drain", "s3cret-token").status, 200);
  EXPECT_EQ(wait_process(&stations[0], 20000), 1) << stations[0].out;  // the failed box
}

}  // namespace
