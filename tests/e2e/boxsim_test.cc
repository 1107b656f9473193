// Self-tests of boxsim: the test plays the tool's side by hand over the
// pseudo-terminal, so the end-to-end tests of the tool can trust the box.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/e2e/harness.h"

namespace {

long clock_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

std::string block(unsigned char n, const std::string& data128, int damage = 0) {
  std::string b = {'\x01', char(n), char(255 - n)};
  b += data128;
  unsigned char sum = 0;
  for (char c : data128) sum = static_cast<unsigned char>(sum + c);
  b += char(sum);
  if (damage == 1) b.back() = char(sum + 1);  // checksum
  if (damage == 2) b[2] = char(n);            // complement
  return b;
}

// A started boxsim and the test's own end of its line.
struct Line {
  BgProcess proc;
  int fd = -1;
  std::string dir = make_temp_dir();

  ~Line() {
    if (fd >= 0) close(fd);
    if (proc.pid > 0) kill_process(&proc);
    std::filesystem::remove_all(dir);
  }

  void start(std::vector<std::string> args) {
    args.insert(args.begin(), build_path("boxsim"));
    args.insert(args.end(), {"--out", dir + "/out.bin"});
    // The box's own limit only ends a test that went wrong; a loaded
    // machine takes far longer than a quiet one over the longest dialogue.
    if (std::find(args.begin(), args.end(), "--timeout") == args.end())
      args.insert(args.end(), {"--timeout", "60"});
    ASSERT_TRUE(start_process(&proc, args));
    std::string com = wait_for_line(&proc, "COM ");
    std::string pty = wait_for_line(&proc, "PTY ");
    ASSERT_FALSE(pty.empty()) << proc.err;
    ASSERT_EQ(std::stoi(com.substr(4)), 1000 + std::stoi(pty.substr(13)));
    path = pty.substr(4);
    ASSERT_NO_FATAL_FAILURE(reopen());
  }

  // The tool's next run: it closes the line and opens it again.
  void reopen() {
    if (fd >= 0) close(fd);
    fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    set_rate(B115200);
  }
  std::string path;

  void set_rate(speed_t rate) {
    termios t{};
    ASSERT_EQ(0, tcgetattr(fd, &t));
    cfmakeraw(&t);
    cfsetispeed(&t, rate);
    cfsetospeed(&t, rate);
    ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &t));
  }

  void put(const std::string& s) {
    ASSERT_EQ(static_cast<ssize_t>(s.size()), write(fd, s.data(), s.size()));
  }

  // What arrives within `ms`, ending early once `until` has been seen.
  std::string get(int ms, const std::string& until = "") {
    // Waiting for a text, the limit only bounds a failure: five times the
    // quiet machine's, so a loaded one does not fail what is only slow.
    // Waiting for silence, the limit is the verdict and stays as given.
    if (!until.empty()) ms *= 5;
    std::string got;
    long end = clock_ms() + ms;
    for (long left = ms; left > 0; left = end - clock_ms()) {
      if (!until.empty() && got.find(until) != std::string::npos) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, int(left)) <= 0) break;
      char buf[512];
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;  // hung up
      got.append(buf, size_t(n));
    }
    return got;
  }

  std::string get_until(const std::string& text) { return get(2000, text); }

  // Digit echo until two in a row came back, then the closing bytes.
  void synchronise(unsigned char speed_byte = 0xFE) {
    for (char d : std::string("01")) {
      put(std::string(1, d));
      ASSERT_EQ(std::string(1, d), get(1000, std::string(1, d)));
    }
    put(std::string{'\xAF', char(speed_byte)});
  }

  // Blocks of `data` (padded with 0x1A), each answered by ACK, then EOT.
  void send_image(const std::string& data, unsigned char first = 1) {
    unsigned char n = first;
    for (size_t off = 0; off < data.size(); off += 128, ++n) {
      std::string chunk = data.substr(off, 128);
      chunk.resize(128, '\x1A');
      put(block(n, chunk));
      ASSERT_EQ("\x06", get(1000, "\x06")) << "block " << int(n);
    }
    put("\x04");
    ASSERT_EQ("\x06", get(1000, "\x06"));
  }

  int finish() {
    close(fd);
    fd = -1;
    return wait_process(&proc, 15000);
  }
};

std::string pattern(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += char(i * 7 + 3);
  return s;
}

TEST(Boxsim, WholeDialogueWithDamagedAndRepeatedBlocks) {
  Line l;
  std::string image = pattern(200);
  write_file(l.dir + "/image.bin", image);
  ASSERT_NO_FATAL_FAILURE(l.start({"--expect", l.dir + "/image.bin"}));
  // Bytes before the keyword are ignored.
  l.put("xyqkopacom");
  EXPECT_EQ("granted\r\n", l.get_until("granted\r\n"));
  l.synchronise();
  EXPECT_EQ("\r\nBootloader Version: 17.0\r\nNow start download\r\n\x15", l.get(1500, "\x15"));

  std::string b1 = image.substr(0, 128);
  l.put(block(1, b1, 1));
  EXPECT_EQ("\x15", l.get(1000, "\x15")) << "bad checksum";
  l.put(block(1, b1, 2));
  EXPECT_EQ("\x15", l.get(1000, "\x15")) << "bad complement";
  l.put(block(1, b1));
  EXPECT_EQ("\x06", l.get(1000, "\x06"));
  l.put(block(1, b1));
  EXPECT_EQ("\x06", l.get(1000, "\x06")) << "a repeated block is acknowledged";
  std::string b2 = image.substr(128);
  b2.resize(128, '\0');
  l.put(block(2, b2));
  EXPECT_EQ("\x06", l.get(1000, "\x06"));
  l.put("\x04");
  EXPECT_EQ("\x06\r\nfinished!\r\n", l.get(2000, "finished!\r\n"));

  EXPECT_EQ(0, l.finish()) << l.proc.out << l.proc.err;
  EXPECT_NE(
      std::string::npos,
      l.proc.out.find("BOX 1 OK received 256 bytes blocks 2 naks 2 speed 115200 keywords 1\n"))
      << l.proc.out;
  EXPECT_NE(std::string::npos, l.proc.out.find("RESULT OK\n"));
  EXPECT_EQ(b1 + b2, read_file(l.dir + "/out.bin"));
}

TEST(Boxsim, SpeedCodeNeedsTheToolToSwitchTheLine) {
  Line l;
  ASSERT_NO_FATAL_FAILURE(l.start({}));
  l.put("qkopacom");
  l.get_until("granted\r\n");
  l.synchronise(0xF2);
  l.put("2");
  EXPECT_EQ("", l.get(300)) << "no echo while the line still runs at 115200";
  l.set_rate(B921600);
  l.put("3");
  EXPECT_EQ("3", l.get(1000, "3"));
  l.put("4");
  EXPECT_EQ("4", l.get(1000, "4"));
  l.put(std::string{'\xAF', '\xFE'});
  EXPECT_NE(std::string::npos, l.get(1500, "\x15").find("Bootloader Version: 17.0"));
  l.send_image(pattern(128));
  l.get_until("finished!");
  EXPECT_EQ(0, l.finish());
  EXPECT_NE(std::string::npos, l.proc.out.find("speed 921600 keywords 1"));
}

TEST(Boxsim, IgnoredSpeedCodeLeavesTheBoxDeaf) {
  Line l;
  ASSERT_NO_FATAL_FAILURE(l.start({"--speed", "ignore", "--timeout", "2"}));
  l.put("qkopacom");
  l.get_until("granted\r\n");
  l.synchronise(0xF1);
  l.set_rate(B460800);
  l.put("0");
  EXPECT_EQ("", l.get(300));
  EXPECT_EQ(2, l.finish()) << "gives up at its time limit";
  EXPECT_NE(std::string::npos, l.proc.out.find("BOX 1 FAIL timeout at sync"));
  EXPECT_NE(std::string::npos, l.proc.out.find("speed 460800"));
}

TEST(Boxsim, KeywordRetriesIdentificationAndBlockFaultsRepeat) {
  Line l;
  ASSERT_NO_FATAL_FAILURE(l.start(
      {"--bad-version-times", "1", "--nak-block", "2", "--can-block", "3", "--read-after-sync"}));
  l.put("qkopacom");
  l.get_until("granted\r\n");
  l.synchronise();
  EXPECT_EQ("++Bootloader Version: ???\r\n", l.get(1000, "???\r\n"));
  EXPECT_EQ("", l.get(300)) << "no download prompt after a bad version line";

  l.put("qkopacom");
  EXPECT_EQ("granted\r\n", l.get_until("granted\r\n"));
  l.synchronise();
  EXPECT_EQ("++\r\nBootloader Version: 17.0\r\nNow start download\r\n\x15", l.get(1500, "\x15"));
  std::string image = pattern(3 * 128);
  l.put(block(1, image.substr(0, 128)));
  EXPECT_EQ("\x06", l.get(1000, "\x06"));
  l.put(block(2, image.substr(128, 128)));
  EXPECT_EQ("\x15", l.get(1000, "\x15"));
  l.put(block(2, image.substr(128, 128)));
  EXPECT_EQ("\x06", l.get(1000, "\x06"));
  l.put(block(3, image.substr(256, 128)));
  EXPECT_EQ("\x18", l.get(1000, "\x18"));
  l.put(block(3, image.substr(256, 128)));
  EXPECT_EQ("\x06", l.get(1000, "\x06"));
  l.put("\x04");
  l.get_until("finished!");
  EXPECT_EQ(0, l.finish());
  EXPECT_NE(std::string::npos, l.proc.out.find("blocks 3 naks 1 speed 115200 keywords 2"));
  EXPECT_EQ(image, read_file(l.dir + "/out.bin"));
}

// A sender nobody here wrote: lrzsz's sx, long enough for the block number
// to wrap past 255.
TEST(Boxsim, ReceivesFromAnIndependentSender) {
  const char* sx = "/usr/bin/sx";
  if (access(sx, X_OK) != 0) GTEST_SKIP() << "lrzsz not installed";
  Line l;
  std::string image = pattern(40000);
  write_file(l.dir + "/image.bin", image);
  ASSERT_NO_FATAL_FAILURE(l.start({"--expect", l.dir + "/image.bin", "--nak-interval", "1000"}));
  l.put("qkopacom");
  l.get_until("granted\r\n");
  l.synchronise();
  ASSERT_NE(std::string::npos, l.get_until("Now start download\r\n").find("Now start"));

  pid_t pid = fork();
  if (pid == 0) {
    dup2(l.fd, 0);
    dup2(l.fd, 1);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execl(sx, sx, "-X", "-q", (l.dir + "/image.bin").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = -1;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  l.get_until("finished!");
  EXPECT_EQ(0, l.finish()) << l.proc.out;
  EXPECT_NE(std::string::npos, l.proc.out.find("BOX 1 OK received 40064 bytes blocks 313"));
  EXPECT_EQ(image, read_file(l.dir + "/out.bin").substr(0, image.size()));
}

TEST(Boxsim, PlainModeAnswersTheKeywordWithTheVersionLines) {
  Line l;
  ASSERT_NO_FATAL_FAILURE(l.start({"--mode", "plain", "--version-prefix", "xBootloader Version ",
                                   "--version", "1B.02.0.7", "--second-version", "3.6", "--garbage",
                                   "\\x00zz", "--start-text", "go\\r\\n"}));
  l.put("qkopacom\n\r");
  EXPECT_EQ(std::string("\0zz", 3) + "xBootloader Version 1B.02.0.7\r\n3.6\r\ngo\r\n\x15",
            l.get(1500, "\x15"));
}

TEST(Boxsim, HangupClosesTheLine) {
  Line l;
  ASSERT_NO_FATAL_FAILURE(l.start({"--hangup-at", "version"}));
  l.put("qkopacom");
  l.get_until("granted\r\n");
  l.synchronise();
  long t = clock_ms();
  EXPECT_EQ("", l.get(3000));
  EXPECT_LT(clock_ms() - t, 2000) << "the read ends with the hang-up, not the wait";
  EXPECT_EQ(1, l.finish());
  EXPECT_NE(std::string::npos, l.proc.out.find("BOX 1 FAIL hangup at version"));
}

TEST(Boxsim, VerdictComparesWithTheExpectedFileOrTheFiller) {
  {
    Line l;
    write_file(l.dir + "/image.bin", pattern(130));
    ASSERT_NO_FATAL_FAILURE(l.start({"--expect", l.dir + "/image.bin", "--no-keyword"}));
    l.synchronise();
    l.get(1500, "\x15");
    std::string wrong = pattern(130);
    wrong[129] ^= 1;
    l.send_image(wrong);
    l.get_until("finished!");
    EXPECT_EQ(1, l.finish());
    EXPECT_NE(std::string::npos, l.proc.out.find("BOX 1 FAIL content differs at byte 129"));
    EXPECT_NE(std::string::npos, l.proc.out.find("keywords 0"));
    EXPECT_NE(std::string::npos, l.proc.out.find("RESULT FAIL\n"));
  }
  {
    Line l;
    ASSERT_NO_FATAL_FAILURE(l.start({"--expect-filler"}));
    l.put("qkopacom");
    l.get_until("granted\r\n");
    l.synchronise();
    l.get(1500, "\x15");
    std::string filler = std::string("\0\0\x01\x91", 4) + std::string(396, '\x01');
    l.send_image(filler + std::string(112, 'x'));
    l.get_until("finished!");
    EXPECT_EQ(0, l.finish());
    EXPECT_NE(std::string::npos, l.proc.out.find("BOX 1 FILLER received 512 bytes blocks 4"));
  }
}

// Faults for some boxes only: each box is a run of the tool of its own (the
// line closed and opened again), and the box after a faulted one is good.
TEST(Boxsim, FaultsForSomeBoxesOnly) {
  enum Play { kGood, kErrorAtDownload, kSilentAtKeyword, kErrorAtVersion, kNakFirstBlock };
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<Play> boxes;
    std::vector<std::string> summary;
  };
  const std::string ok = " received 256 bytes blocks 2 naks 0 speed 115200 keywords 1";
  const Case cases[] = {
      {"every second box refuses the download",
       {"--boxes", "4", "--fault-every", "2", "--error-at", "download"},
       {kGood, kErrorAtDownload, kGood, kErrorAtDownload},
       {"BOX 1 OK" + ok, "BOX 2 FAIL error at download (received 0 bytes", "BOX 3 OK" + ok,
        "BOX 4 FAIL error at download ("}},
      {"a silent box in the middle",
       {"--boxes", "3", "--faults", "2:silent-at=keyword"},
       {kGood, kSilentAtKeyword, kGood},
       {"BOX 1 OK" + ok, "BOX 2 FAIL silent at keyword (", "BOX 3 OK" + ok}},
      {"a box of its own fault each",
       {"--boxes", "3", "--faults", "1:error-at=version,2:nak-block=1"},
       {kErrorAtVersion, kNakFirstBlock, kGood},
       {"BOX 1 FAIL error at version (received 0 bytes",
        "BOX 2 OK received 256 bytes blocks 2 naks 1", "BOX 3 OK" + ok}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Line l;
    std::string image = pattern(256);
    write_file(l.dir + "/image.bin", image);
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--expect", l.dir + "/image.bin"});
    ASSERT_NO_FATAL_FAILURE(l.start(args));
    for (size_t i = 0; i < c.boxes.size(); ++i) {
      SCOPED_TRACE("box " + std::to_string(i + 1));
      if (i > 0) {
        ASSERT_NO_FATAL_FAILURE(l.reopen());
      }
      l.put("qkopacom");
      if (c.boxes[i] == kSilentAtKeyword) {
        EXPECT_EQ("", l.get(300));
        continue;
      }
      ASSERT_EQ("granted\r\n", l.get_until("granted\r\n"));
      l.synchronise();
      if (c.boxes[i] == kErrorAtVersion) {
        EXPECT_EQ("\r\nERROR: no valid bootloader\r\n", l.get(1500, "bootloader\r\n"));
        continue;
      }
      if (c.boxes[i] == kErrorAtDownload) {
        EXPECT_NE(std::string::npos, l.get(1500, "refused\r\n").find("ERROR: download refused"));
        continue;
      }
      ASSERT_NE(std::string::npos, l.get(1500, "\x15").find("Now start download\r\n\x15"));
      if (c.boxes[i] == kNakFirstBlock) {
        l.put(block(1, image.substr(0, 128)));
        ASSERT_EQ("\x15", l.get(1000, "\x15"));
      }
      l.send_image(image);
      EXPECT_NE(std::string::npos, l.get_until("finished!\r\n").find("finished!"));
    }
    EXPECT_EQ(1, l.finish()) << l.proc.out << l.proc.err;
    for (const std::string& line : c.summary)
      EXPECT_NE(std::string::npos, l.proc.out.find(line)) << line << "\n" << l.proc.out;
    EXPECT_NE(std::string::npos, l.proc.out.find("RESULT FAIL\n"));
  }
}

// --link takes over a link an earlier run left, never anything else, and
// removes at its end only a link that still leads to its own line.
TEST(Boxsim, LinkReplacesOnlyALeftOverLink) {
  struct Case {
    const char* name;
    const char* before;  // "file", a link target, or "" for nothing
    bool starts;
  };
  const Case cases[] = {
      {"nothing there", "", true},
      {"a link an earlier run left", "/dev/pts/999999", true},
      {"someone's file", "file", false},
      {"someone's link elsewhere", "/dev/null", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string dir = make_temp_dir();
    std::string link = dir + "/line";
    std::string before = c.before;
    if (before == "file") {
      write_file(link, "keep");
    } else if (!before.empty()) {
      ASSERT_EQ(0, symlink(c.before, link.c_str()));
    }
    BgProcess p;
    ASSERT_TRUE(start_process(&p, {build_path("boxsim"), "--link", link, "--timeout", "60"}));
    std::string pty = wait_for_line(&p, "PTY ");
    if (!c.starts) {
      EXPECT_EQ(2, wait_process(&p, 60000)) << p.out;
      EXPECT_NE(std::string::npos, p.err.find("left as it is")) << p.err;
      if (before == "file") {
        EXPECT_EQ("keep", read_file(link));
      } else {
        EXPECT_EQ(before, std::filesystem::read_symlink(link).string());
      }
    } else {
      ASSERT_FALSE(pty.empty()) << p.err;
      EXPECT_EQ(pty.substr(4), std::filesystem::read_symlink(link).string());
      // A second simulator takes the path over; the first must leave it.
      BgProcess q;
      ASSERT_TRUE(start_process(&q, {build_path("boxsim"), "--link", link, "--timeout", "60"}));
      std::string pty2 = wait_for_line(&q, "PTY ");
      ASSERT_FALSE(pty2.empty()) << q.err;
      stop_process(&p, 60000);
      EXPECT_EQ(pty2.substr(4), std::filesystem::read_symlink(link).string());
      stop_process(&q, 60000);
      EXPECT_FALSE(std::filesystem::is_symlink(link));
    }
    std::filesystem::remove_all(dir);
  }
}

}  // namespace
