// build/update-server on loopback: the real tool against it with boxsim on
// the serial side, its catalogue check, a reload under a download, hostile
// clients, two servers behind HAProxy with one stopped half way, the
// metrics page with a real Prometheus scraping it, and the shipped
// Prometheus files.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "nlohmann/json.hpp"
#include "tests/e2e/harness.h"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

const char kNothingNew[] = "No new software for this box available.\n";
const std::string kQuery23("BC\x02\x17\x00", 5), kAsk23("D\x02\x17\x00", 4);

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Waits up to 10 s until standard error holds `part`; returns the rest of
// its line, or "".
std::string wait_for_err(BgProcess* p, const std::string& part) {
  for (int i = 0; i < 100; ++i) {
    size_t at = p->err.find(part), eol = p->err.find('\n', at);
    if (at != std::string::npos && eol != std::string::npos)
      return p->err.substr(at + part.size(), eol - at - part.size());
    pollfd fd = {p->err_fd, POLLIN, 0};
    poll(&fd, 1, 100);
    char buf[4096];
    for (ssize_t n; (n = read(p->err_fd, buf, sizeof buf)) > 0;) p->err.append(buf, n);
  }
  return "";
}

// A loopback socket: connected to `port` (-1 when refused), or with port
// 0 bound and closed to find a free port (HAProxy's front). A small
// `rcvbuf` keeps a large download from fitting the kernel's buffers.
int dial(int port, int rcvbuf = 0) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (rcvbuf) setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  if (port == 0) {
    bind(s, reinterpret_cast<sockaddr*>(&a), len);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
  }
  if (connect(s, reinterpret_cast<sockaddr*>(&a), len) == 0) return s;
  close(s);
  return -1;
}

void put(int s, const std::string& bytes) {
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL));
}

// Up to `n` bytes, fewer when the peer closes or nothing comes for 5 s.
std::string take(int s, size_t n) {
  std::string got;
  char buf[65536];
  pollfd p = {s, POLLIN, 0};
  for (ssize_t k; got.size() < n && poll(&p, 1, 5000) > 0 &&
                  (k = recv(s, buf, std::min(sizeof buf, n - got.size()), 0)) > 0;)
    got.append(buf, k);
  return got;
}

std::string sized(uint32_t v) {
  return {'B', static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

class UpdateServer : public ::testing::Test {
 protected:
  void TearDown() override {
    // A killed station's runs would still be writing their records into
    // dir_ while it is removed.
    for (BgProcess& s : stations_) stop_process(&s);
    for (BgProcess& s : servers_) kill_process(&s);
    fs::remove_all(dir_);
  }

  // A PAD file at catalogue path `rel`; "!" in front: a damaged one.
  std::string software(std::string rel, int payload, int seed = 1,
                       const std::string& boot = "23.0") {
    bool bad = rel[0] == '!';
    std::string path = cat_ + "/" + rel.substr(bad);
    fs::create_directories(fs::path(path).parent_path());
    Strings opts = {
        "--format",          "21", "--version", boot, "--random", std::to_string(payload), "--seed",
        std::to_string(seed)};
    if (bad) opts.push_back("--bad-checksum");
    EXPECT_EQ(0, make_pad(path, opts));
    return path;
  }

  // A server on a free loopback port; returns the port.
  // `wrap`: a program it runs under (prlimit).
  int start(const Strings& extra = {}, const std::string& log = "log", Strings wrap = {}) {
    servers_.emplace_back();
    BgProcess* p = &servers_.back();
    Strings argv = {build_path("update-server"),
                    "--catalogue",
                    cat_,
                    "--listen",
                    "127.0.0.1:0",
                    "--log",
                    dir_ + "/" + log};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.begin(), wrap.begin(), wrap.end());
    EXPECT_TRUE(start_process(p, argv));
    std::string port = wait_for_err(p, "listening on 127.0.0.1:");
    EXPECT_FALSE(port.empty()) << p->err;
    return port.empty() ? 0 : std::stoi(port);
  }

  // The tool against `port` with a box on a pseudo-terminal; the box's
  // exit code into `*box_code`.
  ProcResult update(int port, const Strings& tool, const Strings& box_args, int* box_code,
                    const std::string& input = "\n") {
    BgProcess box;
    Strings bargv = {build_path("boxsim"), "--timeout", box_args.empty() ? "2" : "30"};
    bargv.insert(bargv.end(), box_args.begin(), box_args.end());
    EXPECT_TRUE(start_process(&box, bargv));
    Strings targv = {update_bin(),
                     "-i",
                     "127.0.0.1",
                     "-j",
                     std::to_string(port),
                     "-p",
                     wait_for_line(&box, "COM ").substr(4)};
    targv.insert(targv.end(), tool.begin(), tool.end());
    ProcResult r = run_process(targv, input, 60000);
    *box_code = wait_process(&box, 30000);
    return r;
  }

  std::string log(const std::string& name = "log") { return read_file(dir_ + "/" + name); }

  // Waits up to 10 s for the log to hold `part`.
  bool logged(const std::string& part) {
    for (int i = 0; i < 100 && !has(log(), part); ++i) pause_ms(100);
    return has(log(), part);
  }

  std::string dir_ = make_temp_dir();
  std::string cat_ = dir_ + "/catalogue";
  std::vector<BgProcess> servers_;
  std::vector<BgProcess> stations_;
};

// The tool's answers: the highest version, nothing (0.0.0), a download the
// box checks byte for byte, size 0 that leaves the box alone, and two boxes
// in loop mode greeting again on one connection.
TEST_F(UpdateServer, ToolRunsAgainstTheServer) {
  std::string sw = software("released/23.0/1.10.0.pad", 20000);
  software("released/23.0/1.2.3.pad", 1000);
  int port = start();
  struct Case {
    Strings tool, box;
    const char* line;
    const char* input;
  } cases[] = {
      {{"-C", "query"}, {"--expect-filler"}, "Found software: 1.10.0\n", "\n"},
      {{"-C", "query", "-1"}, {"--expect-filler"}, kNothingNew, "\n"},
      {{"-C", "update"}, {"--expect", sw}, "Download successfully finished.", "\n"},
      {{"-C", "update", "-0"}, {}, kNothingNew, "\n"},
      {{"-C", "update", "-l"}, {"--expect", sw, "--boxes", "2"}, "Download successfully", "\nn\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool.back());
    int box = -1;
    ProcResult r = update(port, c.tool, c.box, &box, c.input);
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.line)) << r.out;
    EXPECT_EQ(c.box.empty() ? 2 : 0, box) << "2: the box waited in vain, as it should";
  }
  std::string l = log();
  EXPECT_TRUE(has(l,
                  "\"command\":\"C\",\"channel\":\"released\",\"channel_code\":2,"
                  "\"bootloader\":\"23.0\",\"version\":\"1.10.0\",\"file\":"
                  "\"released/23.0/1.10.0.pad\""))
      << l;
  EXPECT_TRUE(has(l, "\"size\":20013,\"bytes_sent\":20013")) << l;
  // Without --trust the tool never asks for a signature.
  EXPECT_EQ(0u, count(l, "\"command\":\"S\"")) << l;
  EXPECT_TRUE(has(l,
                  "\"channel\":\"alpha\",\"channel_code\":0,\"bootloader\":\"23.0\","
                  "\"version\":null,\"file\":null,\"size\":0,\"bytes_sent\":0,"))
      << l;
}

// A station's download is traceable both ways: the record names the
// software's version, its checksum, version word and SHA-256 as sent, the
// unit and the operator; the server's log line of the download names the
// station, the same attempt and the same SHA-256.
TEST_F(UpdateServer, DownloadRecordAndLogLineJoin) {
  std::string sw = software("released/23.0/3.3.0.pad", 20000);
  int port = start();
  std::string journal = dir_ + "/journal.jsonl";
  int box = -1;
  ProcResult r = update(port,
                        {"-C", "update", "--station", "line-3", "--journal", journal, "--unit",
                         "SN-0042", "--operator", "Ann"},
                        {"--expect", sw}, &box);
  ASSERT_EQ(0, r.exit_code) << r.out << r.err;
  EXPECT_EQ(0, box);
  ProcResult sum = run_process({"/usr/bin/sha256sum", sw});
  std::string sha = sum.out.substr(0, 64);
  std::string rec = read_file(journal);
  char checksum[16];
  std::string bytes = read_file(sw);
  ASSERT_GT(bytes.size(), 13u);
  const unsigned char* end = reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size());
  std::snprintf(checksum, sizeof checksum, "%02x%02x%02x%02x", end[-4], end[-3], end[-2], end[-1]);
  for (const std::string& part :
       {std::string("\"unit\":\"SN-0042\",\"operator\":\"Ann\""),
        "\"file_size\":20013,\"file_checksum\":\"" + std::string(checksum) + "\"",
        std::string("\"file_version\":\"23.0\""), "\"image_sha256\":\"" + sha + "\"",
        std::string("\"image_size\":20013,\"software_version\":\"3.3.0\""),
        std::string("\"error_detail\":null")})
    EXPECT_TRUE(has(rec, part)) << part << "\n" << rec;
  size_t at = rec.find("\"attempt\":\"");
  ASSERT_NE(at, std::string::npos);
  std::string attempt = rec.substr(at + 11, 32);
  EXPECT_TRUE(logged("\"command\":\"D\"")) << log();
  std::string l = log();
  EXPECT_TRUE(has(l, "\"version\":\"3.3.0\",\"file\":\"released/23.0/3.3.0.pad\",\"size\":20013"))
      << l;
  EXPECT_TRUE(
      has(l, "\"station\":\"line-3\",\"attempt\":\"" + attempt + "\",\"sha256\":\"" + sha + "\"}"))
      << l;
}

// Signed releases through the server: `check --trust` names every file it
// would leave out; a server without --trust still answers 'S' from the .sig
// files, and the tool with --trust refuses each bad one with its reason,
// the box getting nothing; a server with --trust serves only signed files
// and logs every catalogue change with the key, a rotation included.
TEST_F(UpdateServer, SignedReleases) {
  for (const char* k : {"new", "stranger"})
    ASSERT_EQ(0, run_process({build_path("update-sign"), "keygen", dir_ + "/" + k}).exit_code);
  std::string trust = dir_ + "/trust";
  write_file(trust, read_file(dir_ + "/new.pub"));
  auto sign = [&](const std::string& key, const std::string& file) {
    ProcResult r =
        run_process({build_path("update-sign"), "sign", "--key", dir_ + "/" + key, file});
    EXPECT_EQ(0, r.exit_code) << r.err;
  };
  std::string good = software("released/23.0/1.0.0.pad", 3000, 1);
  sign("new", good);
  software("beta/23.0/1.0.0.pad", 3000, 2);  // unsigned
  sign("stranger", software("alpha/23.0/1.0.0.pad", 3000, 3));
  std::string tampered = software("development/23.0/1.0.0.pad", 3000, 4);
  sign("new", tampered);
  {
    // One bit of the image, the file's own checksum made right again.
    std::string f = read_file(tampered);
    f[100] = char(f[100] ^ 0x10);
    uint32_t sum = 0;
    for (size_t i = 9; i + 4 < f.size(); ++i) sum += uint8_t(f[i]);
    for (int k = 0; k < 4; ++k) f[f.size() - 4 + k] = char(sum >> (24 - 8 * k));
    write_file(tampered, f);
  }
  ProcResult c = run_process({build_path("update-server"), "check", "--trust", trust, cat_});
  EXPECT_EQ(1, c.exit_code);
  EXPECT_TRUE(has(c.err, "left out beta/23.0/1.0.0.pad: signature: no signature file")) << c.err;
  EXPECT_TRUE(has(c.err, "left out alpha/23.0/1.0.0.pad: signature: key not trusted")) << c.err;
  EXPECT_TRUE(has(c.err, "development/23.0/1.0.0.pad: signature: SHA-256 does not match")) << c.err;
  EXPECT_TRUE(has(c.out, "released 23.0: 1.0.0")) << c.out;
  EXPECT_EQ(0, run_process({build_path("update-server"), "check", cat_}).exit_code);

  int port = start();
  struct Case {
    const char* channel;
    std::string trust_text;
    const char* reason;  // nullptr: loads
  } cases[] = {
      {"-1", "", "no signature file"},
      {"-0", "", "key not trusted"},
      {"-3", "", "SHA-256 does not match the file"},
      {"-2", "# nothing\n", "no key in it"},
      {"-2", "", nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.channel + std::string(" ") + (k.reason ? k.reason : "ok"));
    std::string t = trust;
    if (!k.trust_text.empty()) write_file(t = dir_ + "/empty-trust", k.trust_text);
    int box = -1;
    ProcResult r = update(port, {"--trust", t, "-C", "update", k.channel},
                          k.reason ? Strings{} : Strings{"--expect", good}, &box);
    if (k.reason) {
      EXPECT_EQ(1, r.exit_code) << r.out << r.err;
      EXPECT_TRUE(has(r.err, k.reason)) << r.err;
      EXPECT_EQ(2, box) << "2: the box waited in vain, as it should";
    } else {
      EXPECT_EQ(0, r.exit_code) << r.out << r.err;
      EXPECT_TRUE(has(r.out, "Signature OK (key new)")) << r.out;
      EXPECT_EQ(0, box);
    }
  }
  // One 'S' for each signed run that got its software, none for the run
  // refused at start.
  EXPECT_EQ(4u, count(log(), "\"command\":\"S\"")) << log();

  // A signed server: only the good file, the change logged with its key;
  // the rotation to the stranger's key swaps which file is served.
  int signed_port = start({"--trust", trust}, "signed-log");
  // One answered greeting: the server is past its start, signals included.
  int sock = dial(signed_port);
  put(sock, "B");
  EXPECT_EQ("B", take(sock, 1));
  close(sock);
  EXPECT_TRUE(has(log("signed-log"),
                  "\"command\":\"catalogue\",\"change\":\"added\",\"channel\":\"released\""))
      << log("signed-log");
  EXPECT_TRUE(has(log("signed-log"), "\"key\":\"new\"")) << log("signed-log");
  EXPECT_EQ(1u, count(log("signed-log"), "\"command\":\"catalogue\""));
  write_file(trust, read_file(dir_ + "/stranger.pub"));
  kill(servers_.back().pid, SIGHUP);
  for (int i = 0; i < 100 && count(log("signed-log"), "\"command\":\"catalogue\"") < 3; ++i)
    pause_ms(100);
  std::string l = log("signed-log");
  EXPECT_TRUE(has(l, "\"change\":\"removed\",\"channel\":\"released\"")) << l;
  EXPECT_TRUE(has(l, "\"change\":\"added\",\"channel\":\"alpha\"")) << l;
  EXPECT_TRUE(has(l, "\"key\":\"stranger\"")) << l << servers_.back().err;
}

// `check` and `resolve` on catalogues ("path:payload", "@MAJ.MIN" after it
// for the file's own bootloader, "!" for damaged), some run with few
// descriptors (`nofile`).
TEST_F(UpdateServer, CheckAndResolveTable) {
  Strings many;  // one served file per folder: one descriptor each
  for (int i = 1; i <= 24; ++i)
    many.push_back("alpha/" + std::to_string(i) + ".0/1.0.0.pad:10@" + std::to_string(i) + ".0");
  struct Case {
    Strings files, command;
    int code;
    const char* out;
    std::string err;
    int nofile = 0;
    const char* not_err = "\x1b";
    std::string dir = "";
  } cases[] = {
      {{"released/23.0/1.2.3.pad:100"},
       {"check"},
       0,
       "released 23.0: 1.2.3 released/23.0/1.2.3.pad 113 bytes, checksum",
       ""},
      {{"beta/23.0/1.0.0.pad:100", "beta/279.0/1.0.0.pad:100"},
       {"check"},
       1,
       "",
       "bootloader folders beta/23.0 and beta/279.0 meet in the low 8 bits"},
      {{"released/23.0/1.0.0.pad:100", "!released/23.0/2.0.0.pad:100"},
       {"check"},
       1,
       "released 23.0: 1.0.0 ",
       "left out released/23.0/2.0.0.pad: fails the PAD check"},
      {{"alpha/23.0/1.0.0.pad:8388596"},
       {"check"},
       1,
       "alpha 23.0: nothing",
       "alpha/23.0/1.0.0.pad: 8388609 bytes do not fit the tool's image buffer"},
      {{"released/23.0/1.2.pad:1", "released/23.0/256.0.0.pad:1", "released/023.0/1.0.0.pad:1",
        "stable/23.0/1.0.0.pad:1"},
       {"check"},
       1,
       "released 23.0: nothing",
       "left out released/023.0: not a bootloader folder"},
      // Built for another bootloader: the next lower version is served.
      {{"beta/23.0/1.0.0.pad:100", "beta/23.0/2.0.0.pad:100@24.0"},
       {"check"},
       1,
       "beta 23.0: 1.0.0 ",
       "left out beta/23.0/2.0.0.pad: its version word is bootloader 24.0, not its folder's 23.0"},
      {{"beta/23.0/2.0.0.pad:100@0.23"},
       {"resolve", "--channel", "beta", "--bootloader", "23.0"},
       1,
       "beta 23.0: nothing",
       ""},
      {{"beta/23.0/1.2.3.pad:100"},
       {"resolve", "--channel", "beta", "--bootloader", "279.0"},
       0,
       "/beta/23.0/1.2.3.pad\nversion: 1.2.3\nsize: 113\nchecksum: ",
       ""},
      {{"beta/23.0/1.2.3.pad:100"},
       {"resolve", "--channel", "2", "--bootloader", "23.0"},
       1,
       "released 23.0: nothing",
       ""},
      // Control characters in names from disk are shown, never sent.
      {{"beta/23.0/1.0.0.pad:10", "beta/23.0/\x1b]0;x\x07.pad:10"},
       {"check"},
       1,
       "",
       "left out beta/23.0/^[]0;x^G.pad: not a software name"},
      {{"beta/23.0/1.0.0.pad:10"},
       {"resolve", "--channel", "beta", "--bootloader", "23.0"},
       0,
       "catalogue^[[2J/beta/23.0/1.0.0.pad\n",
       "",
       0,
       "\x1b",
       "\x1b[2J"},
      // A file that cannot be opened, and too few descriptors for the
      // check: the catalogue is refused with the system's reason, no file
      // blamed.
      {{"beta/23.0/1.0.0.pad:10", "~beta/23.0/2.0.0.pad"},
       {"check"},
       1,
       "",
       "cannot open " + cat_ + "/beta/23.0/2.0.0.pad: Too many levels of symbolic links",
       0,
       "left out"},
      {many, {"check"}, 1, "", "Too many open files", 16, "left out"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.files.back() + " " + std::to_string(c.nofile));
    fs::remove_all(cat_);
    std::string saved = cat_;
    cat_ += c.dir;
    for (const std::string& f : c.files) {
      if (f[0] == '~') {  // a link to itself
        fs::create_symlink(fs::path(f).filename(), cat_ + "/" + f.substr(1));
        continue;
      }
      size_t colon = f.find(':'), at = f.find('@');
      software(f.substr(0, colon), std::stoi(f.substr(colon + 1)), 1,
               at == std::string::npos ? "23.0" : f.substr(at + 1));
    }
    Strings argv = {build_path("update-server"), c.command[0], cat_};
    argv.insert(argv.end(), c.command.begin() + 1, c.command.end());
    if (c.nofile)
      argv.insert(argv.begin(), {"/usr/bin/prlimit", "--nofile=" + std::to_string(c.nofile)});
    ProcResult r = run_process(argv);
    fs::remove_all(cat_);
    cat_ = saved;
    EXPECT_EQ(c.code, r.exit_code) << r.out << r.err;
    EXPECT_TRUE(has(r.out, c.out)) << r.out;
    EXPECT_TRUE(has(r.err, c.err)) << r.err;
    EXPECT_FALSE(has(r.out + r.err, c.not_err)) << r.out << r.err;
  }
}

// A download under way when the catalogue changes: the box gets the file
// it was sized from, whole, and the next box the new one. A file rewritten
// in place under the download never arrives whole.
TEST_F(UpdateServer, ReloadDuringADownload) {
  const int kBig = 8388595;  // the largest file the image buffer takes
  software("released/23.0/1.0.0.pad", kBig, 1);
  software("alpha/23.0/1.0.0.pad", kBig, 3);
  std::string v1 = read_file(software("beta/23.0/1.0.0.pad", 3000, 4));
  int port = start();
  for (bool in_place : {false, true}) {
    SCOPED_TRACE(in_place);
    std::string file = cat_ + (in_place ? "/alpha" : "/released") + "/23.0/1.0.0.pad";
    std::string old_bytes = read_file(file);
    int s = dial(port, 4096);
    put(s, std::string("BD") + (in_place ? '\0' : '\2') + std::string("\x17\x00", 2));
    std::string got = take(s, 5 + 1000);
    ASSERT_EQ(sized(kBig + 13), got.substr(0, 5));
    if (in_place) {  // same name and size, other bytes, never truncated
      std::string other = old_bytes;
      for (size_t i = 9; i < other.size(); i += 4096) other[i] = static_cast<char>(~other[i]);
      int fd = open(file.c_str(), O_WRONLY);
      ASSERT_EQ(static_cast<ssize_t>(other.size()), pwrite(fd, other.data(), other.size(), 0));
      close(fd);
    } else {
      software("released/23.0/2.0.0.pad", 5000, 2);
      kill(servers_[0].pid, SIGHUP);
      ASSERT_NE("", wait_for_err(&servers_[0], "catalogue reloaded"));
    }
    got = got.substr(5) + take(s, kBig + 13 - 1000);
    if (in_place) {
      EXPECT_LT(got.size(), old_bytes.size()) << "never a whole image of two files";
    } else {
      EXPECT_TRUE(got == old_bytes) << "the old file whole, " << got.size() << " bytes";
      put(s, std::string("ZB") + kAsk23);
      EXPECT_EQ(sized(5013) + read_file(cat_ + "/released/23.0/2.0.0.pad"), take(s, 5 + 5013));
    }
    close(s);
  }
  EXPECT_TRUE(logged("\"result\":\"failed\",\"reason\":\"the file was rewritten")) << log();

  // A query and the download after it come from one catalogue, a reload
  // between them notwithstanding; once the download is done the
  // connection lets go, and a replaced file is closed while it idles.
  int s = dial(port);
  put(s, "BC\x01\x17" + std::string(1, '\0'));
  ASSERT_EQ(std::string("B\x01\x00\x00", 4), take(s, 4));
  software("beta/23.0/2.0.0.pad", 4000, 5);
  servers_[0].err.clear();
  kill(servers_[0].pid, SIGHUP);
  ASSERT_NE("", wait_for_err(&servers_[0], "catalogue reloaded"));
  put(s, "D\x01\x17" + std::string(1, '\0'));
  EXPECT_TRUE(sized(3013).substr(1) + v1 == take(s, 4 + 3013)) << "the version it was told";
  ASSERT_TRUE(logged("\"file\":\"beta/23.0/1.0.0.pad\",\"size\":3013,\"bytes_sent\":3013"));
  fs::remove(cat_ + "/beta/23.0/1.0.0.pad");
  std::string fds = "/proc/" + std::to_string(servers_[0].pid) + "/fd";
  for (const auto& e : fs::directory_iterator(fds)) {
    std::error_code ec;
    EXPECT_FALSE(has(fs::read_symlink(e.path(), ec).string(), "1.0.0.pad (deleted)"));
  }
  put(s, "BC\x01\x17" + std::string(1, '\0'));
  EXPECT_EQ(std::string("B\x02\x00\x00", 4), take(s, 4));
  close(s);
}

// Clients that break the rules: the server logs them, ends their
// connection, and goes on answering everyone else.
TEST_F(UpdateServer, HostileClients) {
  software("released/23.0/1.0.0.pad", 8388595);
  int port = start({"--send-timeout", "1", "--idle-timeout", "2", "--max-connections", "3"});
  auto healthy = [&] {
    int s = dial(port);
    put(s, kQuery23);
    bool ok = take(s, 4) == std::string("B\x01\x00\x00", 4);
    close(s);
    return ok;
  };
  // A reset after every byte offset of an exchange, and in the download.
  const std::string exchange = kQuery23 + kAsk23 + "Z";
  for (size_t k = 0; k <= exchange.size() + 3; ++k) {
    int s = dial(port, 4096);
    put(s, exchange.substr(0, k));
    take(s, k <= exchange.size() ? 0 : size_t{1} << (6 * (k - exchange.size())));
    linger l = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(s);
  }
  EXPECT_TRUE(healthy());

  struct Case {
    std::string send;
    const char* logged;
  } cases[] = {
      {"B?", "\"command\":\"0x3f\""},
      {"B" + kAsk23, "no progress within the send limit"},
      {"BZ", "\"command\":\"idle\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logged);
    int s = dial(port, 4096);
    put(s, c.send);
    EXPECT_TRUE(healthy()) << "one thread, never held up by one peer";
    EXPECT_TRUE(logged(c.logged)) << log();
    close(s);
  }

  // Every connection kept by a peer, none idle for long enough to matter:
  // the server itself holds idle connections no longer than keepalive
  // takes to find a vanished peer (the timer's due time in /proc, in
  // hundredths of a second).
  int idle = dial(port);
  sockaddr_in me{};
  socklen_t len = sizeof me;
  getsockname(idle, reinterpret_cast<sockaddr*>(&me), &len);
  char ends[32];
  std::snprintf(ends, sizeof ends, ":%04X 0100007F:%04X", port, ntohs(me.sin_port));
  pause_ms(100);
  std::string tcp = read_file("/proc/net/tcp");
  size_t row = tcp.find(ends);
  ASSERT_NE(std::string::npos, row) << tcp;
  unsigned timer = 0, when = 0;
  std::sscanf(tcp.c_str() + tcp.find(' ', tcp.find(" 01 ", row) + 4) + 1, "%x:%x", &timer, &when);
  EXPECT_EQ(2u, timer) << tcp.substr(row, 120);
  EXPECT_GT(when, 1000u) << "not a delayed ack";
  EXPECT_LE(when, 6000u) << "within a minute of idling";
  close(idle);
}

// At --max-connections: connections in the middle of an exchange are kept
// and the newcomer is refused (logged once a second, not once a refusal);
// otherwise the connection idle the longest makes room.
TEST_F(UpdateServer, ConnectionLimit) {
  software("released/23.0/1.0.0.pad", 8388595);
  int port = start({"--max-connections", "3"});
  auto answers = [&](int s) {  // the greeting, or "" when closed
    send(s, "B", 1, MSG_NOSIGNAL);
    return take(s, 1);
  };
  int busy[3] = {dial(port, 4096), dial(port, 4096), dial(port, 4096)};
  for (int b : busy) {
    put(b, "B" + kAsk23);  // a download the box does not read on
    EXPECT_EQ(sized(8388608), take(b, 5));
  }
  for (int i = 0; i < 10; ++i) {
    int over = dial(port);
    EXPECT_EQ("", answers(over)) << log();
    close(over);
  }
  EXPECT_TRUE(logged("\"result\":\"refused\",\"reason\":\"over --max-connections 3\""));
  EXPECT_LE(count(log(), "\"refused\""), 2u) << log();
  for (int b : busy) close(b);
  for (int i = 0; i < 100 && count(log(), "\"command\":\"D\"") < 3; ++i) pause_ms(100);
  int held[3];
  for (int& h : held) {
    h = dial(port);
    EXPECT_EQ("B", answers(h));
  }
  int over = dial(port);
  EXPECT_EQ("B", answers(over)) << "admitted";
  EXPECT_EQ("", answers(held[0])) << "the longest idle closed";
  EXPECT_EQ("B", answers(held[1]));
  EXPECT_TRUE(logged("\"command\":\"idle\"")) << log();
  for (int h : {held[0], held[1], held[2], over}) close(h);

  // Out of descriptors: accept fails, and says so once a second.
  int tight = start({}, "log.tight", {"/usr/bin/prlimit", "--nofile=24"});
  std::vector<int> many;
  for (int i = 0; i < 24; ++i) many.push_back(dial(tight));
  BgProcess* server = &servers_.back();
  EXPECT_EQ(" line)", wait_for_err(server, "more since the last")) << server->err;
  EXPECT_EQ(2u, count(server->err, "accept failed")) << server->err;
  for (int m : many) close(m);
}

// A log nobody reads (a pipe never drained) holds up no box: the server
// answers on, drops the lines that find its queue full and says how many
// once the reader catches up, every line written whole.
TEST_F(UpdateServer, LogThatNobodyReads) {
  software("released/23.0/1.0.0.pad", 100);
  int port = start({"--log", "-"});
  BgProcess* server = &servers_[0];
  std::string queries = "B";
  for (int i = 0; i < 8000; ++i) queries += kQuery23.substr(1);
  int s = dial(port);
  put(s, queries);
  EXPECT_EQ(1 + 8000 * 3u, take(s, 1 + 8000 * 3).size()) << "answered without the log";
  std::string out;
  char buf[65536];
  auto read_log = [&](auto done) {
    pollfd p = {server->out_fd, POLLIN, 0};
    for (ssize_t n;
         !done() && poll(&p, 1, 10000) > 0 && (n = read(server->out_fd, buf, sizeof buf)) > 0;)
      out.append(buf, n);
  };
  read_log([&] { return out.size() > (1u << 20); });
  put(s, "Z" + kQuery23);
  EXPECT_EQ(4u, take(s, 4).size());
  read_log([&] {  // up to the last query's line, after the count
    size_t count = out.find(" lines dropped before this one");
    return count != std::string::npos && out.back() == '\n' &&
           out.rfind("\"command\":\"C\"") > count;
  });
  close(s);
  EXPECT_TRUE(has(out, "\"command\":\"log\"")) << "the drop is counted";
  EXPECT_TRUE(has(out, " lines dropped before this one"));
  size_t lines = 0;
  for (size_t at = 0, eol; (eol = out.find('\n', at)) != std::string::npos; at = eol + 1, ++lines) {
    std::string line = out.substr(at, eol - at);
    ASSERT_TRUE(line.rfind("{\"time\":\"", 0) == 0 && line.back() == '}' &&
                line.find("{\"time\"", 1) == std::string::npos)
        << line;
  }
  EXPECT_GT(lines, 1000u);
  EXPECT_LT(lines, 8000u);
  EXPECT_EQ('\n', out.back());
}

// Signals while a download holds up the stop: SIGHUP only reopens the log,
// a second SIGTERM ends the drain at once; neither ends the server by its
// default action.
TEST_F(UpdateServer, SignalsDuringTheDrain) {
  software("released/23.0/1.0.0.pad", 8388595);
  int port = start();
  BgProcess* server = &servers_[0];
  int s = dial(port, 4096);
  put(s, "B" + kAsk23);
  ASSERT_EQ(sized(8388608), take(s, 5));
  auto said = [&](int sig) {
    server->err.clear();
    kill(server->pid, sig);
    return wait_for_err(server, "update-server: ");
  };
  ASSERT_EQ("stopping", said(SIGTERM));
  EXPECT_EQ("stopping; the catalogue is not reloaded", said(SIGHUP));
  EXPECT_EQ("stopping now", said(SIGTERM));
  EXPECT_EQ(0, wait_process(server, 5000)) << server->err;
  EXPECT_TRUE(logged("\"result\":\"failed\",\"reason\":\"server stopping\"")) << log();
  close(s);
}

// Two servers behind HAProxy in TCP mode: updates go through, and go on
// when one server stops half way.
TEST_F(UpdateServer, TwoServersBehindHaproxy) {
  const char* haproxy = access("/usr/sbin/haproxy", X_OK) == 0 ? "/usr/sbin/haproxy" : nullptr;
  if (haproxy == nullptr) GTEST_SKIP() << "haproxy is not installed (make deps installs it)";
  std::string sw = software("released/23.0/1.0.0.pad", 20000);
  std::string a = std::to_string(start({}, "log.a")), b = std::to_string(start({}, "log.b"));
  int front = dial(0);
  write_file(dir_ + "/haproxy.cfg",
             "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 1h\n"
             "  timeout server 1h\n  retries 3\n  option redispatch\n"
             "frontend updates\n  bind 127.0.0.1:" +
                 std::to_string(front) +
                 "\n  default_backend servers\nbackend servers\n  balance roundrobin\n"
                 "  server a 127.0.0.1:" +
                 a +
                 " check inter 300ms fall 1 rise 1\n"
                 "  server b 127.0.0.1:" +
                 b + " check inter 300ms fall 1 rise 1\n");
  BgProcess proxy;
  ASSERT_TRUE(start_process(&proxy, {haproxy, "-db", "-f", dir_ + "/haproxy.cfg"}));
  int s = -1;
  for (int i = 0; i < 50 && (s = dial(front)) < 0; ++i) pause_ms(100);
  ASSERT_GE(close(s), 0) << "HAProxy listens";

  for (int run = 0; run < 4; ++run) {
    if (run == 2) {
      kill(servers_[0].pid, SIGTERM);
      EXPECT_EQ(0, wait_process(&servers_[0], 10000)) << "a stop is a clean end";
    }
    int box = -1;
    ProcResult r = update(front, {"-C", "update"}, {"--expect", sw}, &box);
    EXPECT_EQ(0, r.exit_code) << "run " << run << r.out << r.err;
    EXPECT_EQ(0, box);
  }
  kill_process(&proxy);
  std::string la = log("log.a"), lb = log("log.b"), ok = "\"size\":20013,\"bytes_sent\":20013";
  EXPECT_TRUE(has(la, ok) && has(lb, ok)) << "both served before the stop\n" << la << lb;
  int n = 0;
  for (size_t at = 0; (at = (la + lb).find(ok, at)) != std::string::npos; at += ok.size()) ++n;
  EXPECT_EQ(4, n) << la << lb;
}

// One HTTP request on a fresh connection; the whole answer.
std::string http_get(int port, const std::string& target, const std::string& method = "GET",
                     const std::string& host = "127.0.0.1") {
  int s = dial(port);
  if (s < 0) return "";
  put(s, method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
  std::string got = take(s, 1 << 20);
  close(s);
  return got;
}

std::string http_body(const std::string& response) {
  size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? "" : response.substr(at + 4);
}

// /metrics and /healthz beside the update protocol: the counts follow the
// request log, the page passes promtool, and HTTP clients that misbehave
// hold up neither the boxes nor the next scrape.
TEST_F(UpdateServer, MetricsAndHealth) {
  std::string sw = software("released/23.0/1.0.0.pad", 5000);
  int port = start({"--http", "127.0.0.1:0", "--http-allow-host", "metrics.example"});
  std::string at = wait_for_err(&servers_[0], "metrics at http://127.0.0.1:");
  ASSERT_NE("", at) << servers_[0].err;
  int web = std::stoi(at);

  // Slow and silent HTTP clients, more than the web side admits at once.
  std::vector<int> pests;
  for (int i = 0; i < 70; ++i) {
    pests.push_back(dial(web));
    put(pests.back(), "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Slow: ");
  }
  int held = dial(port);
  put(held, kQuery23 + kAsk23);
  EXPECT_EQ(std::string("B\x01\x00\x00", 4) + sized(5013).substr(1) + read_file(sw),
            take(held, 4 + 4 + 5013));
  put(held, "BC\x01\x17" + std::string(1, '\0'));  // beta: nothing
  EXPECT_EQ(std::string("B\x00\x00\x00", 4), take(held, 4));
  int rude = dial(port);
  put(rude, "BX");
  EXPECT_EQ("B", take(rude, 5));
  close(rude);
  software("released/23.0/2.0.0.pad", 10);
  kill(servers_[0].pid, SIGHUP);
  ASSERT_NE("", wait_for_err(&servers_[0], "catalogue reloaded"));
  fs::create_symlink("3.0.0.pad", cat_ + "/released/23.0/3.0.0.pad");  // cannot be opened
  kill(servers_[0].pid, SIGHUP);
  ASSERT_NE("", wait_for_err(&servers_[0], "reload refused"));

  const Strings want = {
      "update_server_connections 1\n",
      "update_server_exchanges_total{command=\"C\",result=\"ok\"} 1\n",
      "update_server_exchanges_total{command=\"C\",result=\"none\"} 1\n",
      "update_server_exchanges_total{command=\"D\",result=\"ok\"} 1\n",
      "update_server_exchanges_total{command=\"D\",result=\"failed\"} 0\n",
      "update_server_exchanges_total{command=\"other\",result=\"failed\"} 1\n",
      "update_server_bytes_sent_total 5013\n",
      "update_server_reloads_total{result=\"ok\"} 1\n",
      "update_server_reloads_total{result=\"refused\"} 1\n",
      "update_server_catalogue_files 1\n",  // one served per folder
  };
  std::string page;
  for (int i = 0; i < 50; ++i) {
    page = http_get(web, "/metrics");
    bool all = true;
    for (const std::string& w : want) all = all && has(page, w);
    if (all) break;
    pause_ms(100);
  }
  EXPECT_TRUE(has(page, "Content-Type: text/plain; version=0.0.4")) << page;
  for (const std::string& w : want) EXPECT_TRUE(has(page, w)) << w << page;
  if (access("/usr/bin/promtool", X_OK) == 0) {
    ProcResult r = run_process({"/usr/bin/promtool", "check", "metrics"}, http_body(page));
    EXPECT_EQ(0, r.exit_code) << r.out << r.err;
    EXPECT_EQ("", r.out + r.err) << "not a complaint";
  }

  EXPECT_TRUE(has(http_get(web, "/healthz"), "HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(has(http_get(web, "/metrics", "POST"), "HTTP/1.1 405 "));
  EXPECT_TRUE(has(http_get(web, "/metrics/x"), "HTTP/1.1 404 "));
  EXPECT_TRUE(has(http_get(web, "/healthz", "GET", "metrics.example:80"), "HTTP/1.1 200 "));
  EXPECT_TRUE(has(http_get(web, "/metrics", "GET", "evil.example"), "HTTP/1.1 421 "))
      << "a name the server was not given";
  put(held, kQuery23);
  EXPECT_EQ(std::string("B\x02\x00\x00", 4), take(held, 4));
  for (int s : pests) close(s);
  close(held);
}

// A real Prometheus scrapes the server, and a station beside it, every
// second; its query API gives the request log's and the journal's counts.
TEST_F(UpdateServer, PrometheusScrapesTheServerAndAStation) {
  if (access("/usr/bin/prometheus", X_OK) != 0)
    GTEST_SKIP() << "prometheus is not installed (make deps installs it)";
  std::string sw = software("released/23.0/1.0.0.pad", 3000);
  int port = start({"--http", "127.0.0.1:0"});
  int web = std::stoi(wait_for_err(&servers_[0], "metrics at http://127.0.0.1:"));
  for (int i = 0; i < 3; ++i) {
    int s = dial(port);
    put(s, kQuery23 + kAsk23);
    EXPECT_EQ(4u + 4 + 3013, take(s, 4 + 4 + 3013).size());
    put(s, "BC\x01\x17" + std::string(1, '\0'));
    EXPECT_EQ(4u, take(s, 4).size());
    close(s);
  }

  // The station: three good boxes on one slot, a box that fails on
  // another (parked at once), and a box that never answers keeps it
  // running. Until this build's station has a web side, the server alone.
  ProcResult help = run_process({build_path("update-station"), "--help"});
  bool with_station = has(help.out + help.err, "--http");
  std::string pad = dir_ + "/box.pad", journal = dir_ + "/journal.jsonl";
  int station_web = 0;
  if (with_station) {
    ASSERT_EQ(0, make_pad(pad, {"--format", "21", "--version", "23.0", "--random", "2000"}));
    Strings argv = {build_path("update-station"),
                    "--http",
                    "127.0.0.1:0",
                    "--boxes",
                    "3",
                    "--max-failures",
                    "1",
                    "--journal",
                    journal};
    for (Strings box : {Strings{"--boxes", "3", "--expect", pad},
                        Strings{"--error-at", "download", "--error-line", "\\r\\nERROR: bad\\r\\n"},
                        Strings{"--silent-at", "keyword"}}) {
      servers_.emplace_back();  // stopped with the servers
      box.insert(box.begin(), {build_path("boxsim"), "--timeout", "300"});
      ASSERT_TRUE(start_process(&servers_.back(), box));
      argv.insert(argv.end(), {"-p", wait_for_line(&servers_.back(), "PTY ").substr(4)});
    }
    argv.push_back(pad);
    stations_.emplace_back();
    ASSERT_TRUE(start_process(&stations_.back(), argv));
    std::string at =
        wait_for_err(&stations_.back(), "update-station: web view at http://127.0.0.1:");
    ASSERT_NE("", at) << stations_.back().err;
    station_web = std::stoi(at);
  }

  int prom = dial(0);
  std::string config =
      "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
      "scrape_configs:\n  - job_name: update-server\n    static_configs:\n"
      "      - targets: ['127.0.0.1:" +
      std::to_string(web) + "']\n";
  if (with_station)
    config +=
        "  - job_name: update-station\n    static_configs:\n"
        "      - targets: ['127.0.0.1:" +
        std::to_string(station_web) + "']\n";
  write_file(dir_ + "/prometheus.yml", config);
  BgProcess p;
  ASSERT_TRUE(start_process(
      &p, {"/usr/bin/prometheus", "--config.file=" + dir_ + "/prometheus.yml",
           "--storage.tsdb.path=" + dir_ + "/tsdb",
           "--web.listen-address=127.0.0.1:" + std::to_string(prom), "--log.level=warn"}));
  servers_.push_back(p);  // stopped with the servers

  // The request log's counts, by command and result, once the last
  // exchange is in.
  std::map<std::string, int> counted;
  for (int i = 0; i < 100 && counted["C/ok"] + counted["C/none"] < 6; ++i) {
    if (i > 0) pause_ms(100);
    counted.clear();
    std::string lines = log();
    for (size_t at = 0; (at = lines.find("\"command\":\"", at)) != std::string::npos; ++at) {
      std::string command = lines.substr(at + 11, lines.find('"', at + 11) - at - 11);
      if (command == "catalogue") continue;  // a change of the catalogue, no exchange
      size_t r = lines.find("\"result\":\"", at) + 10;
      counted[command + "/" + lines.substr(r, lines.find('"', r) - r)]++;
    }
  }
  ASSERT_EQ(3, counted["D/ok"]);
  ASSERT_EQ(6, counted["C/ok"] + counted["C/none"]);

  auto query = [&](const std::string& q) {
    std::string encoded;
    for (unsigned char c : q) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      encoded += std::isalnum(c) ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    nlohmann::json j = nlohmann::json::parse(
        http_body(http_get(prom, "/api/v1/query?query=" + encoded)), nullptr, false);
    if (j.is_discarded() || j.value("status", "") != "success") return std::string("?");
    const auto& result = j["data"]["result"];
    return result.empty() ? std::string("none") : result[0]["value"][1].get<std::string>();
  };
  std::map<std::string, std::string> want = {
      {"up{job=\"update-server\"}", "1"},
      {"update_server_bytes_sent_total", std::to_string(3 * 3013)},
      {"update_server_catalogue_files", "1"},
  };
  for (const auto& [key, n] : counted) {
    size_t slash = key.find('/');
    want["update_server_exchanges_total{command=\"" + key.substr(0, slash) + "\",result=\"" +
         key.substr(slash + 1) + "\"}"] = std::to_string(n);
  }
  if (with_station) {
    // The journal's counts by port and result, once the four attempts
    // that end have ended.
    Strings records;
    for (int i = 0; i < 600 && records.size() < 4; ++i) {
      if (i > 0) pause_ms(100);
      records.clear();
      std::string text = read_file(journal);
      for (size_t at = 0, eol; (eol = text.find('\n', at)) != std::string::npos; at = eol + 1)
        records.push_back(text.substr(at, eol - at));
    }
    ASSERT_EQ(4u, records.size());
    std::map<std::string, int> per;
    for (const std::string& line : records) {
      nlohmann::json r = nlohmann::json::parse(line);
      per["port=\"" + r["port"].get<std::string>() + "\",result=\"" +
          r["result"].get<std::string>() + "\""]++;
    }
    EXPECT_EQ(2u, per.size());
    want["up{job=\"update-station\"}"] = "1";
    for (const auto& [labels, n] : per)
      want["update_station_attempts_total{" + labels + "}"] = std::to_string(n);
  }
  std::map<std::string, std::string> got;
  for (int i = 0; i < 60 && got != want; ++i) {
    pause_ms(500);
    for (const auto& [q, n] : want) got[q] = query(q);
  }
  EXPECT_EQ(want, got);
}

// The shipped alert rules and example configuration pass promtool, and the
// rules fire when they should (promtool's rule tests, series made up).
TEST(PrometheusFiles, AlertsAndConfig) {
  if (access("/usr/bin/promtool", X_OK) != 0)
    GTEST_SKIP() << "promtool is not installed (make deps installs prometheus)";
  for (Strings argv : {Strings{"check", "rules", source_path("docs/alerts.yml")},
                       Strings{"check", "config", source_path("docs/prometheus.yml")},
                       Strings{"test", "rules", source_path("tests/e2e/alerts_test.yml")}}) {
    argv.insert(argv.begin(), "/usr/bin/promtool");
    ProcResult r = run_process(argv);
    EXPECT_EQ(0, r.exit_code) << argv[2] << "\n" << r.out << r.err;
  }
}

}  // namespace
