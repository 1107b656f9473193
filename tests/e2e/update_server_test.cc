// build/update-server on loopback: the real tool against it with boxsim on
// the serial side, its catalogue check, a reload under a download, hostile
// clients, and two servers behind HAProxy with one stopped half way.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e/harness.h"

namespace {

namespace fs = std::filesystem;

const char kNothingNew[] = "No new software for this box available.\n";

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// Waits until standard error holds `part`; returns the text from there to
// the line's end, or "" after `timeout_ms`.
std::string wait_for_err(BgProcess* p, const std::string& part, int timeout_ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t at = p->err.find(part);
    if (at != std::string::npos) {
      size_t eol = p->err.find('\n', at);
      if (eol != std::string::npos) return p->err.substr(at + part.size(), eol - at - part.size());
    }
    if (std::chrono::steady_clock::now() > end) return "";
    pollfd fds[2] = {{p->out_fd, POLLIN, 0}, {p->err_fd, POLLIN, 0}};
    poll(fds, 2, 100);
    char buf[4096];
    ssize_t n;
    while ((n = read(p->err_fd, buf, sizeof buf)) > 0) p->err.append(buf, n);
    while ((n = read(p->out_fd, buf, sizeof buf)) > 0) p->out.append(buf, n);
  }
}

// A loopback port free at the time of asking (HAProxy's own front).
int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// A raw client; `rcvbuf` small keeps a large download from fitting the
// kernel's buffers, so the server stays in the middle of it.
int dial(int port, int rcvbuf = 0) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (rcvbuf) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  return s;
}

void put(int s, const std::string& bytes) {
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL));
}

// Up to `n` bytes, fewer when the peer closes or nothing comes for 5 s.
std::string take(int s, size_t n) {
  std::string got;
  while (got.size() < n) {
    pollfd p = {s, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    char buf[65536];
    ssize_t k = recv(s, buf, std::min(sizeof buf, n - got.size()), 0);
    if (k <= 0) break;
    got.append(buf, k);
  }
  return got;
}

// Closes with a reset instead of an orderly close.
void reset(int s) {
  linger l = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(s);
}

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

const std::string kAsk23 = std::string("D\x02\x17\x00", 4);

class UpdateServer : public ::testing::Test {
 public:
  void TearDown() override {
    for (BgProcess& s : servers_) kill_process(&s);
    fs::remove_all(dir_);
  }

  // A PAD file for bootloader 23.0 at catalogue path `rel`.
  std::string software(const std::string& rel, int payload, int seed = 1) {
    std::string path = cat_ + "/" + rel;
    fs::create_directories(fs::path(path).parent_path());
    EXPECT_EQ(0, make_pad(path, {"--format", "21", "--version", "23.0", "--random",
                                 std::to_string(payload), "--seed", std::to_string(seed)}));
    return path;
  }

  // Starts a server on a free loopback port; returns the port, 0 on failure.
  int start(const std::vector<std::string>& extra = {}, const std::string& log = "log") {
    servers_.emplace_back();
    BgProcess* p = &servers_.back();
    std::vector<std::string> argv = {build_path("update-server"), "--catalogue", cat_,
                                     "--listen", "127.0.0.1:0", "--log", dir_ + "/" + log};
    argv.insert(argv.end(), extra.begin(), extra.end());
    EXPECT_TRUE(start_process(p, argv));
    std::string port = wait_for_err(p, "listening on 127.0.0.1:");
    EXPECT_FALSE(port.empty()) << p->err;
    return port.empty() ? 0 : std::stoi(port);
  }

  // The tool against `port` with a box on a pseudo-terminal.
  ProcResult update(int port, const std::vector<std::string>& tool_args,
                    const std::vector<std::string>& box_args, int* box_code,
                    const std::string& input = "\n", std::string* box_out = nullptr) {
    BgProcess box;
    std::vector<std::string> bargv = {build_path("boxsim"), "--timeout",
                                      box_args.empty() ? "2" : "30"};
    bargv.insert(bargv.end(), box_args.begin(), box_args.end());
    EXPECT_TRUE(start_process(&box, bargv));
    std::string com = wait_for_line(&box, "COM ");
    std::vector<std::string> targv = {update_bin(), "-i", "127.0.0.1", "-j",
                                      std::to_string(port), "-p", com.substr(4)};
    targv.insert(targv.end(), tool_args.begin(), tool_args.end());
    ProcResult r = run_process(targv, input, 60000);
    *box_code = wait_process(&box, 30000);
    if (box_out) *box_out = box.out;
    return r;
  }

  std::string log(const std::string& name = "log") { return read_file(dir_ + "/" + name); }

  std::string dir_ = make_temp_dir();
  std::string cat_ = dir_ + "/catalogue";
  std::vector<BgProcess> servers_;
};

TEST_F(UpdateServer, QueryAnswersTheHighestVersionOrNothing) {
  software("released/23.0/1.2.3.pad", 1000);
  software("released/23.0/1.10.0.pad", 1000);
  software("beta/24.0/9.0.0.pad", 1000);
  int port = start();
  struct Case {
    const char* channel;
    const char* line;
  } cases[] = {{"-2", "Found software: 1.10.0\n"}, {"-1", kNothingNew}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channel);
    int box = -1;
    ProcResult r = update(port, {"-C", "query", c.channel}, {"--expect-filler"}, &box);
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.line)) << r.out;
    EXPECT_EQ(0, box);
  }
  std::string l = log();
  EXPECT_TRUE(has(l, "\"command\":\"C\",\"channel\":2,\"bootloader\":\"23.0\",\"version\":"
                     "\"1.10.0\",\"file\":\"released/23.0/1.10.0.pad\"")) << l;
  EXPECT_TRUE(has(l, "\"channel\":1,\"bootloader\":\"23.0\",\"version\":null")) << l;
}

TEST_F(UpdateServer, DownloadReachesTheBoxAndSizeZeroSendsNothing) {
  std::string sw = software("released/23.0/1.0.0.pad", 20000);
  int port = start();
  int box = -1;
  ProcResult r = update(port, {"-C", "update"}, {"--expect", sw}, &box);
  EXPECT_EQ(0, r.exit_code) << r.out << r.err;
  EXPECT_TRUE(has(r.out, "Download successfully finished.")) << r.out;
  EXPECT_EQ(0, box) << "the box verifies every byte";

  std::string box_out;
  r = update(port, {"-C", "update", "-0"}, {}, &box, "\n", &box_out);
  EXPECT_EQ(0, r.exit_code) << r.out << r.err;
  EXPECT_TRUE(has(r.out, kNothingNew)) << r.out;
  EXPECT_TRUE(has(box_out, "received 0 bytes")) << box_out;
  std::string l = log();
  EXPECT_TRUE(has(l, "\"size\":20013,\"bytes_sent\":20013")) << l;
  EXPECT_TRUE(has(l, "\"size\":0,\"bytes_sent\":0,")) << l;
}

TEST_F(UpdateServer, LoopServesTwoBoxesOnOneConnection) {
  std::string sw = software("released/23.0/1.0.0.pad", 20000);
  int port = start();
  int box = -1;
  ProcResult r = update(port, {"-C", "update", "-l"}, {"--expect", sw, "--boxes", "2"}, &box,
                        "\nn\n");
  EXPECT_EQ(0, r.exit_code) << r.out << r.err;
  EXPECT_EQ(0, box);
  std::string l = log();
  ASSERT_EQ(2, count_of(l, "\"result\":\"ok\"")) << l;
  // Both lines name one peer: the same connection.
  size_t p1 = l.find("\"peer\":"), p2 = l.find("\"peer\":", p1 + 1);
  EXPECT_EQ(l.substr(p1, 30), l.substr(p2, 30));
}

// What `check` says about a catalogue, and its exit code.
TEST_F(UpdateServer, CheckTable) {
  struct Case {
    const char* name;
    void (*make)(UpdateServer*);
    int code;
    const char* out;
    const char* err;
  } cases[] = {
      {"clean", [](UpdateServer* t) { t->software("released/23.0/1.2.3.pad", 100); }, 0,
       "released 23.0: 1.2.3 released/23.0/1.2.3.pad 113 bytes, checksum", ""},
      {"colliding low bytes",
       [](UpdateServer* t) {
         t->software("beta/23.0/1.0.0.pad", 100);
         t->software("beta/279.0/1.0.0.pad", 100);
       },
       1, "", "bootloader folders beta/23.0 and beta/279.0 meet in the low 8 bits"},
      {"damaged file falls back to the next version",
       [](UpdateServer* t) {
         t->software("released/23.0/1.0.0.pad", 100);
         std::string bad = t->cat_ + "/released/23.0/2.0.0.pad";
         make_pad(bad, {"--format", "21", "--version", "23.0", "--random", "100",
                        "--bad-checksum"});
       },
       1, "released 23.0: 1.0.0 ", "left out released/23.0/2.0.0.pad: fails the PAD check"},
      {"oversized file",
       [](UpdateServer* t) { t->software("alpha/23.0/1.0.0.pad", 8388596); }, 1,
       "alpha 23.0: nothing",
       "alpha/23.0/1.0.0.pad: 8388609 bytes do not fit the tool's image buffer"},
      {"non-numeric names",
       [](UpdateServer* t) {
         t->software("released/23.0/1.2.pad", 100);
         t->software("released/23.x/1.0.0.pad", 100);
         t->software("released/023.0/1.0.0.pad", 100);
         t->software("stable/23.0/1.0.0.pad", 100);
       },
       1, "",
       "left out released/023.0: not a bootloader folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(cat_);
    fs::create_directories(cat_);
    c.make(this);
    ProcResult r = run_process({build_path("update-server"), "check", cat_});
    EXPECT_EQ(c.code, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.out)) << r.out;
    EXPECT_TRUE(has(r.err, c.err)) << r.err;
    if (std::string(c.name) == "non-numeric names") {
      EXPECT_EQ(4, count_of(r.err, "left out ")) << r.err;
    }
  }
}

TEST_F(UpdateServer, ResolveGivesWhatOneBoxGets) {
  std::string sw = software("beta/23.0/1.2.3.pad", 100);
  // 279 is what a box with bootloader 279.0 sends as 23.
  ProcResult r = run_process({build_path("update-server"), "resolve", cat_, "--channel", "beta",
                              "--bootloader", "279.0"});
  EXPECT_EQ(0, r.exit_code) << r.err;
  EXPECT_TRUE(has(r.out, "file: " + sw + "\nversion: 1.2.3\nsize: 113\nchecksum: ")) << r.out;
  r = run_process({build_path("update-server"), "resolve", cat_, "--channel", "released",
                   "--bootloader", "23.0"});
  EXPECT_EQ(1, r.exit_code);
  EXPECT_TRUE(has(r.out, "released 23.0: nothing")) << r.out;
}

// A download under way when the catalogue changes: the box gets the file
// it was sized from, whole; the next box gets the new one. A file
// rewritten in place under the download never arrives whole.
TEST_F(UpdateServer, ReloadDuringADownload) {
  const int kBig = 8388595;  // the largest file the image buffer takes
  software("released/23.0/1.0.0.pad", kBig, 1);
  software("alpha/23.0/1.0.0.pad", kBig, 3);
  int port = start();
  BgProcess* server = &servers_.back();

  struct Case {
    const char* name;
    const char* channel;
    bool in_place;
  } cases[] = {{"new version beside it", "released", false},
               {"rewritten in place", "alpha", true}};
  int reloads = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int s = dial(port, 4096);
    ASSERT_GE(s, 0);
    std::string file = cat_ + "/" + c.channel + "/23.0/1.0.0.pad";
    put(s, std::string("BD") + (c.in_place ? '\0' : '\2') + std::string("\x17\x00", 2));
    std::string sent = take(s, 1 + 4 + 1000);
    ASSERT_EQ(std::string("B") + be32(kBig + 13), sent.substr(0, 5));
    std::string now_served = read_file(file);
    if (c.in_place) {
      // Same name, same size, other bytes, written over the open file.
      std::string other = now_served;
      for (size_t i = 9; i + 4 < other.size(); i += 4096) other[i] = static_cast<char>(~other[i]);
      FILE* f = fopen(file.c_str(), "r+b");
      ASSERT_NE(nullptr, f);
      fwrite(other.data(), 1, other.size(), f);
      fclose(f);
    } else {
      software("released/23.0/2.0.0.pad", 5000, 2);
      kill(server->pid, SIGHUP);
      ++reloads;
      std::string line = "catalogue reloaded";
      while (count_of(server->err, line) < reloads) ASSERT_NE("", wait_for_err(server, line));
    }
    std::string rest = take(s, kBig + 13 - 1000);
    sent = sent.substr(5) + rest;
    if (!c.in_place) {
      EXPECT_TRUE(sent == now_served) << "the old file whole, " << sent.size() << " bytes";
      put(s, std::string("ZB") + kAsk23);
      std::string next = take(s, 1 + 4 + 5013);
      EXPECT_EQ(std::string("B") + be32(5013) + read_file(cat_ + "/released/23.0/2.0.0.pad"), next);
    } else {
      EXPECT_LT(sent.size(), now_served.size()) << "never a whole image of two files";
    }
    close(s);
  }
  for (int i = 0; i < 50 && !has(log(), "rewritten in place"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(has(log(), "\"result\":\"failed\",\"reason\":\"the file was rewritten in place"))
      << log();
}

// Clients that break the rules: the server logs them, ends their
// connection, and goes on answering everyone else.
TEST_F(UpdateServer, HostileClients) {
  software("released/23.0/1.0.0.pad", 8388595);
  int port = start({"--send-timeout", "1", "--idle-timeout", "2", "--max-connections", "3"});
  const std::string exchange = std::string("B") + std::string("C\x02\x17\x00", 4) + kAsk23 + "Z";
  auto healthy = [&] {
    int s = dial(port);
    put(s, std::string("B") + std::string("C\x02\x17\x00", 4));
    std::string got = take(s, 4);
    close(s);
    return got == std::string("B\x01\x00\x00", 4);
  };

  // A reset after every byte offset of a whole exchange, and during the
  // download's bytes.
  for (size_t k = 0; k <= exchange.size(); ++k) {
    int s = dial(port);
    put(s, exchange.substr(0, k));
    if (k > 5) take(s, 4);
    reset(s);
  }
  for (size_t k : {5u, 1000u, 500000u}) {
    int s = dial(port, 4096);
    put(s, std::string("B") + kAsk23);
    take(s, k);
    reset(s);
  }
  EXPECT_TRUE(healthy());

  struct Case {
    const char* name;
    std::string send;
    const char* logged;
  } cases[] = {
      {"unknown byte", "B?", "\"command\":\"0x3f\""},
      {"never reads", std::string("B") + kAsk23, "no progress within the send limit"},
      {"idles", "BZ", "\"command\":\"idle\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int s = dial(port, 4096);
    put(s, c.send);
    // Others are served meanwhile: one thread, never blocked by one peer.
    EXPECT_TRUE(healthy());
    std::string l;
    for (int i = 0; i < 100 && !has(l = log(), c.logged); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(has(l, c.logged)) << l;
    close(s);
  }

  // Over the limit: closed at once and logged, the others kept.
  int held[3];
  for (int& h : held) h = dial(port);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int over = dial(port);
  EXPECT_EQ("", take(over, 1));
  close(over);
  EXPECT_TRUE(has(log(), "\"result\":\"refused\",\"reason\":\"over --max-connections 3\""));
  put(held[0], "B");
  EXPECT_EQ("B", take(held[0], 1));
  for (int h : held) close(h);
}

// Two servers behind HAProxy in TCP mode: updates go through, and go on
// when one server stops half way.
TEST_F(UpdateServer, TwoServersBehindHaproxy) {
  const char* haproxy = nullptr;
  for (const char* p : {"/usr/sbin/haproxy", "/usr/bin/haproxy"})
    if (access(p, X_OK) == 0) haproxy = p;
  if (haproxy == nullptr) GTEST_SKIP() << "haproxy is not installed (make deps installs it)";
  std::string sw = software("released/23.0/1.0.0.pad", 20000);
  int a = start({}, "log.a");
  int b = start({}, "log.b");
  int front = free_port();
  std::string cfg = dir_ + "/haproxy.cfg";
  write_file(cfg,
             "global\n  maxconn 100\n"
             "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 1h\n"
             "  timeout server 1h\n  retries 3\n  option redispatch\n"
             "frontend updates\n  bind 127.0.0.1:" + std::to_string(front) + "\n"
             "  default_backend servers\n"
             "backend servers\n  balance roundrobin\n"
             "  server a 127.0.0.1:" + std::to_string(a) + " check inter 300ms fall 1 rise 1\n"
             "  server b 127.0.0.1:" + std::to_string(b) + " check inter 300ms fall 1 rise 1\n");
  BgProcess proxy;
  ASSERT_TRUE(start_process(&proxy, {haproxy, "-db", "-f", cfg}));
  bool up = false;
  for (int i = 0; i < 50 && !up; ++i) {
    int s = dial(front);
    if (s >= 0) {
      put(s, "B");
      up = take(s, 1) == "B";
      close(s);
    }
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(up) << proxy.err;

  for (int run = 0; run < 4; ++run) {
    SCOPED_TRACE(run);
    if (run == 2) {
      kill(servers_[0].pid, SIGTERM);
      EXPECT_EQ(0, wait_process(&servers_[0], 10000)) << "a stop is a clean end";
    }
    int box = -1;
    ProcResult r = update(front, {"-C", "update"}, {"--expect", sw}, &box);
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_EQ(0, box);
  }
  kill_process(&proxy);
  std::string la = log("log.a"), lb = log("log.b");
  EXPECT_GE(count_of(la, "\"command\":\"D\""), 1) << la;
  EXPECT_EQ(4, count_of(la + lb, "\"size\":20013,\"bytes_sent\":20013")) << la << lb;
}

}  // namespace
