// Serial updates of the simulated box, with the real tool and the box
// simulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

const char kPause[] = "error updating image -> ENTER\n";

class SerialUpdate : public ::testing::Test {
 protected:
  void SetUp() override { dir = make_temp_dir(); }
  void TearDown() override {
    kill_process(&box);
    std::system(("rm -rf " + dir).c_str());
  }

  std::string pad(const std::string& name, const std::vector<std::string>& args) {
    std::string path = dir + "/" + name;
    EXPECT_EQ(make_pad(path, args), 0);
    return path;
  }

  std::string patched(const std::string& in, const std::string& version) {
    std::string out = in + ".expect";
    ProcResult r =
        run_process({build_path("padtool"), "patch-expect", in, out, "--version", version});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return out;
  }

  // Starts the box; returns its COM number as text.
  std::string start_box(std::vector<std::string> args) {
    box = BgProcess();  // a box before this one must not lend its COM line
    std::vector<std::string> argv = {build_path("boxsim"), "--out", dir + "/received.bin",
                                     "--timeout", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_TRUE(start_process(&box, argv));
    std::string line = wait_for_line(&box, "COM ", 10000);
    EXPECT_FALSE(line.empty()) << box.err;
    return line.substr(4);
  }

  ProcResult update(const std::string& com, std::vector<std::string> args,
                    const std::string& input = "") {
    std::vector<std::string> argv = {update_bin(), "-p", com};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, input, 120000);
  }

  // The box's verdict and summary once the tool is done.
  int box_result() {
    int code = wait_process(&box, 20000);
    return code;
  }

  std::string received() { return read_file(dir + "/received.bin"); }

  std::string dir;
  BgProcess box;
};

bool contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

const char kBannerEnd[] = "\t\t OOO   K   K   *\n\nDownload successfully finished. (com port:";

TEST_F(SerialUpdate, NormalUpdateDeliversTheFileByteForByte) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "5000",
                                     "--record", "300:marked", "--record", "77"});
  std::string com = start_box({"--expect", file});
  ProcResult r = update(com, {file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.out.find("Checking file ... OK\n\n\nAccess to bootloader version:  23.0\n"), 0u)
      << r.out;
  EXPECT_TRUE(contains(r.out, "100 % transmitted\r" + std::string(30, ' ') + "\rDone!"));
  EXPECT_TRUE(contains(r.out, "Programming the flash memory...Done!                   \n"));
  EXPECT_TRUE(contains(r.out, std::string(kBannerEnd) + " " + com + ")\n\n"));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box_result(), 0) << box.out << box.err;
  std::string got = received();
  std::string want = read_file(file);
  ASSERT_GE(got.size(), want.size());
  EXPECT_EQ(got.substr(0, want.size()), want);
  EXPECT_EQ(got.size() % 128, 0u);
}

TEST_F(SerialUpdate, SpeedChangeTo921600) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "20000"});
  std::string com = start_box({"--expect", file});
  ProcResult r = update(com, {"-s", "3", file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(box_result(), 0) << box.out;
  EXPECT_TRUE(contains(box.out, "speed 921600")) << box.out;
}

TEST_F(SerialUpdate, SlowImageDropsTheRaisedSpeedWithAWarning) {
  // 25.0 with format 21 is not fast-capable: the update runs at 115200.
  std::string file = pad("box.pad", {"--format", "21", "--version", "25.0", "--record", "100"});
  std::string com = start_box({"--version", "19.0", "--expect", file});
  ProcResult r = update(com, {"-f", file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "WARNING: box can not do the fast update\n");
  EXPECT_EQ(box_result(), 0);
  EXPECT_TRUE(contains(box.out, "speed 115200")) << box.out;
}

TEST_F(SerialUpdate, MissingGrantIsIgnoredWithTheGrantLimit) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "10"});
  std::string com = start_box({"--no-grant", "--expect", file});
  ProcResult r = update(com, {file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(box_result(), 0);
}

TEST_F(SerialUpdate, RefusedGrantWithoutTheGrantLimitStopsTheRun) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "10"});
  std::string com = start_box(
      {"--keyword", "qkopanew", "--error-at", "grant", "--error-line", "ERROR: no access\r\n"});
  ProcResult r = update(com, {"-n", file});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.out, "\n\nERROR: no access\r\n\n" + std::string(kPause))) << r.out;
  EXPECT_EQ(r.err, "Error code (WF): 0x 20000007\n");
}

TEST_F(SerialUpdate, FifteenFailedIdentificationsAreRetried) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "10"});
  std::string com = start_box({"--bad-version-times", "15", "--expect", file});
  ProcResult r = update(com, {file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(box_result(), 0);
  EXPECT_TRUE(contains(box.out, "keywords 16")) << box.out;
}

// A box whose line never parses, garbled or with three numbers ("1.2.3"
// must not pass as a 2.3 box), is retried until the budget is spent and
// gets no image.
TEST_F(SerialUpdate, TheSixteenthFailedIdentificationEndsTheRun) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "2.3", "--record", "10"});
  for (std::vector<std::string> box_args : {std::vector<std::string>{"--bad-version-times", "16"},
                                            std::vector<std::string>{"--version", "1.2.3"}}) {
    SCOPED_TRACE(box_args[0]);
    std::string com = start_box(box_args);
    ProcResult r = update(com, {file});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Time out \nAccess to bootloader failed \n");
    EXPECT_TRUE(contains(r.out, kPause));
    EXPECT_FALSE(contains(r.out, "Access to bootloader version")) << r.out;
    kill_process(&box);
  }
}

TEST_F(SerialUpdate, VersionMismatchReleasesTheBoxWithTheFillerBlock) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "24.0", "--record", "10"});
  std::string com = start_box({"--version", "17.0", "--expect-filler"});
  ProcResult r = update(com, {file});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.out, "error -> wrong hardware IDs  (0x00180000 != 0x00170000)\n"))
      << r.out;
  EXPECT_FALSE(contains(r.out, "Access to bootloader version"));
  EXPECT_EQ(box_result(), 0) << box.out;
  std::string got = received();
  ASSERT_EQ(got.size(), 512u);
  EXPECT_EQ(got.substr(0, 4), std::string("\x00\x00\x01\x91", 4));
  EXPECT_EQ(got.substr(4, 396), std::string(396, '\x01'));
}

TEST_F(SerialUpdate, PatchedUpdateRewritesUnmarkedVersionWords) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "24.0", "--record", "100",
                                     "--record", "64:marked", "--record", "300"});
  std::string want = read_file(patched(file, "23.0"));
  std::string com = start_box({"--version", "17.0"});
  ProcResult r = update(com, {"-X", file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  box_result();
  std::string got = received();
  ASSERT_GE(got.size(), want.size());
  EXPECT_EQ(got.substr(0, want.size()), want);
  EXPECT_NE(want, read_file(file));
}

TEST_F(SerialUpdate, UnprogrammedBoxTakesTheFilesVersion) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "100",
                                     "--record", "50:marked"});
  std::string want = read_file(patched(file, "23.0"));
  std::string com = start_box({"--version", "FFFF.FFFF"});
  ProcResult r = update(com, {file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out,
                       "Access to bootloader version:  65535.65535\n"
                       "Access to bootloader version:  23.0\n"))
      << r.out;
  box_result();
  EXPECT_EQ(received().substr(0, want.size()), want);
}

TEST_F(SerialUpdate, BoxErrorWhileProgramming) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "10"});
  std::string com = start_box({"--error-at", "finish", "--error-line", "ERROR: flash 7\r\n"});
  ProcResult r = update(com, {file});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(contains(r.out, "Programming the flash memory...\n\nERROR: flash 7\r\n\n")) << r.out;
  EXPECT_EQ(r.err, "Error code (WF): 0x 20000007\n");
}

// A line that hangs up (unplugged adapter, box gone) ends the run where it
// happens instead of being polled or written to for ever.
TEST_F(SerialUpdate, ABoxThatHangsUpEndsTheRun) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "300"});
  struct Case {
    const char* stage;
    std::string err;  // standard error: one line that starts so
    const char* out_end;
  } cases[] = {
      // While the box programs its flash: the wait for "finished!".
      {"finish", "Error code (WF): 0x 3e3\n", "Programming the flash memory..."},
      // During the digit echo: handled as an aborted read; the port that
      // is opened again is gone (2) or still hung up (16).
      {"echo", "Inititialization of COM-port failed (Error:  ", "\n\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stage);
    std::string com = start_box({"--hangup-at", c.stage});
    // Held open here, the hung-up line keeps its number: a test running
    // beside this one cannot get it and be opened by the tool's retry.
    std::string device = "/dev/pts/" + std::to_string(std::stoi(com) - 1000);
    int keep = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(keep, 0) << device;
    ProcResult r = update(com, {file});
    close(keep);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.compare(0, c.err.size(), c.err), 0) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(contains(r.out, c.out_end + std::string(kPause))) << r.out;
    kill_process(&box);
  }
}

// A NUL on the line (noise, a box's reset glitch) does not hide the
// "finished!" after it.
TEST_F(SerialUpdate, ANulBeforeFinishedIsNoObstacle) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "300"});
  std::string com = start_box({"--progress", "\\0", "--expect", file});
  ProcResult r = update(com, {file});
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, std::string(kBannerEnd) + " " + com + ")\n\n")) << r.out;
  EXPECT_EQ(box_result(), 0) << box.out;
}

TEST_F(SerialUpdate, LoopModeOverTwoBoxes) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "1000"});
  std::string com = start_box({"--boxes", "2", "--expect", file});
  ProcResult r = update(com, {"-l", file}, "\nn");
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string prompt = "Update another box [ENTER,n]? [<ENTER> = yes, <n> = no]\n";
  size_t first = r.out.find(prompt);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(r.out.find(prompt, first + 1), std::string::npos);
  EXPECT_EQ(box_result(), 0) << box.out;
  EXPECT_TRUE(contains(box.out, "BOX 2 OK")) << box.out;
}

TEST_F(SerialUpdate, JumperedBootloaderGetsNoKeyword) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "10"});
  std::string com = start_box({"--no-keyword", "--no-grant", "--expect", file});
  ProcResult r = update(com, {"-b", file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(box_result(), 0);
  EXPECT_TRUE(contains(box.out, "keywords 0")) << box.out;
}

TEST_F(SerialUpdate, ReadAfterSyncAndSecondVersionLine) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "10"});
  std::string com =
      start_box({"--read-after-sync", "--second-version", "UL 4.12", "--expect", file});
  ProcResult r = update(com, {"-R", "-r", file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Access to bootloader version:  23.0\nUL version 4.12\n")) << r.out;
  EXPECT_EQ(box_result(), 0);
}

TEST_F(SerialUpdate, PlainBootloaderWithoutSynchronisation) {
  std::string file = pad("box.pad", {"--format", "5", "--version", "33.0", "--record", "10"});
  std::string com = start_box({"--mode", "plain", "--version", "21.0", "--expect", file});
  ProcResult r = update(com, {"-f", file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(box_result(), 0) << box.out;
  EXPECT_TRUE(contains(box.out, "speed 115200"));
}

TEST_F(SerialUpdate, NakAndCanFromTheBoxAreRecovered) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "2000"});
  std::string com = start_box({"--nak-block", "3", "--can-block", "5", "--expect", file});
  ProcResult r = update(com, {file});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(box_result(), 0) << box.out;
}

// The journal as a script reads it: every field of every line through a
// JSON parser of its own, as "line.field" -> "type value".
std::map<std::string, std::string> journal_fields(const std::string& path) {
  const char* script =
      "import json, sys\n"
      "lines = open(sys.argv[1], 'rb').read().decode('utf-8').split('\\n')\n"
      "assert lines[-1] == '', 'the last record ends its line'\n"
      "for i, line in enumerate(lines[:-1]):\n"
      "    for k, v in json.loads(line).items():\n"
      "        print('%d.%s\\t%s %s' % (i, k, type(v).__name__, json.dumps(v)))\n";
  ProcResult r = run_process({"/usr/bin/env", "python3", "-c", script, path});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::map<std::string, std::string> fields;
  size_t at = 0;
  while (at < r.out.size()) {
    size_t tab = r.out.find('\t', at), end = r.out.find('\n', at);
    if (tab == std::string::npos || end == std::string::npos) break;
    fields[r.out.substr(at, tab - at)] = r.out.substr(tab + 1, end - tab - 1);
    at = end + 1;
  }
  return fields;
}

// Two boxes in loop mode on a port given by its device path (the box
// simulator's link to its pty): the first is updated, the second reports
// an error at the end. One journal line each; the journal is rotated
// between them, and the second line goes to the file that has its name now.
TEST_F(SerialUpdate, JournalOfALoopOnAPortGivenByPath) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "1000"});
  std::string link = dir + "/line 3 \"box\"";
  std::string journal = dir + "/line3.jsonl";
  start_box({"--link", link, "--expect", file});
  BgProcess tool;
  ASSERT_TRUE(start_process(
      &tool,
      {update_bin(), "-l", "-f", "-p", link, "--journal", journal, "--station", "line 3", file},
      true));
  std::string prompt = wait_for_line(&tool, "Update another box", 30000);
  ASSERT_FALSE(prompt.empty()) << tool.out << tool.err;
  EXPECT_TRUE(contains(tool.out, "Download successfully finished. (com port: " + link + ")\n"))
      << tool.out;
  // The first simulator removes its link when it ends: the second makes it anew.
  EXPECT_EQ(box_result(), 0) << box.out;
  start_box({"--link", link, "--error-at", "finish"});
  ASSERT_EQ(std::rename(journal.c_str(), (journal + ".1").c_str()), 0);
  ASSERT_EQ(write(tool.in_fd, "\n", 1), 1);
  close(tool.in_fd);
  tool.in_fd = -1;
  EXPECT_EQ(wait_process(&tool, 60000), 1) << tool.out << tool.err;

  std::map<std::string, std::string> f = journal_fields(journal + ".1");
  for (const auto& [key, value] : journal_fields(journal)) f["1." + key.substr(2)] = value;
  std::string bytes = read_file(file);
  ASSERT_GE(bytes.size(), 4u);
  char checksum[16];
  const unsigned char* tail = (const unsigned char*)bytes.data() + bytes.size() - 4;
  std::snprintf(checksum, sizeof checksum, "str \"%02x%02x%02x%02x\"", tail[0], tail[1], tail[2],
                tail[3]);
  const std::string size = "int " + std::to_string(bytes.size());
  for (int i = 0; i < 2; i++) {
    std::string n = std::to_string(i) + ".";
    EXPECT_EQ(f[n + "tool"], "str \"update 3.6-25\"");
    EXPECT_EQ(f[n + "mode"], "str \"serial\"");
    EXPECT_EQ(f[n + "port"], "str \"" + dir + "/line 3 \\\"box\\\"\"");
    EXPECT_EQ(f[n + "file"], "str \"" + file + "\"");
    EXPECT_EQ(f[n + "file_size"], size);
    EXPECT_EQ(f[n + "file_checksum"], checksum);
    EXPECT_EQ(f[n + "format"], "int 21");
    EXPECT_EQ(f[n + "file_version"], "str \"23.0\"");
    EXPECT_EQ(f[n + "box_version"], "str \"23.0\"");
    EXPECT_EQ(f[n + "patched"], "bool false");
    EXPECT_EQ(f[n + "line_speed"], "int 230400");
    // The second box took the whole image, then reported the error.
    EXPECT_EQ(f[n + "bytes_sent"], size);
    EXPECT_EQ(f[n + "seconds"].rfind("float ", 0), 0u) << f[n + "seconds"];
    const std::string& t = f[n + "time"];
    EXPECT_TRUE(t.size() == 30 && t[15] == 'T' && t[28] == 'Z' && t[24] == '.') << t;
    EXPECT_EQ(f[n + "station"], "str \"line 3\"");
    // "str \"" + 32 lower-case hex digits + "\"".
    const std::string& id = f[n + "attempt"];
    EXPECT_TRUE(id.size() == 38 && id.find_first_not_of("0123456789abcdef", 5) == 37) << id;
  }
  // Each box is an attempt of its own.
  EXPECT_NE(f["0.attempt"], f["1.attempt"]);
  EXPECT_EQ(f["0.result"], "str \"ok\"");
  EXPECT_EQ(f["0.exit_code"], "int 0");
  EXPECT_EQ(f.count("0.error"), 0u);
  EXPECT_EQ(f["1.result"], "str \"failed\"");
  EXPECT_EQ(f["1.exit_code"], "int 1");
  // The whole line as printed, its value as a number, and the box's own words.
  EXPECT_EQ(f["1.error"], "str \"Error code (WF): 0x 20000007\"");
  EXPECT_EQ(f["1.error_code"], "int 536870919");
  EXPECT_EQ(f["1.box_error"], "str \"ERROR: flash programming failed\"");
  EXPECT_EQ(f.count("2.time"), 0u);
  EXPECT_LE(f["0.time"], f["1.time"]);
}

// One record for each way a serial attempt ends, each field a supervisor
// decides by: the whole printed line, its value, the box's own words.
TEST_F(SerialUpdate, JournalRecordForEachWayAnAttemptEnds) {
  std::string good = pad("good.pad", {"--format", "21", "--version", "23.0", "--record", "900"});
  std::string bad = pad("bad.pad", {"--format", "21", "--version", "23.0", "--bad-checksum"});
  const std::string size = "int " + std::to_string(read_file(good).size());
  struct Row {
    const char* name;
    std::vector<std::string> box;  // empty: no box, port 999
    std::string file;
    std::string result, error, error_code, box_error, box_version, bytes_sent, file_size;
  };
  const Row rows[] = {
      {"good", {}, good, "ok", "", "", "", "\"23.0\"", size, size},
      {"file check",
       {"--timeout", "3"},
       bad,
       "failed",
       "\"Checking file ... failed. Abort!\"",
       "null",
       "null",
       "null",
       "0",
       "null"},
      {"port missing",
       {},
       good,
       "failed",
       "\"Inititialization of COM-port failed (Error:  2)\"",
       "2",
       "null",
       "null",
       "0",
       "null"},
      {"box error shown safely",
       {"--error-at", "download", "--error-line", "\r\nERROR: flash \x1b[2J\x07\r\n"},
       good,
       "failed",
       "\"Error code (WF): 0x 20000007\"",
       "536870919",
       "\"ERROR: flash ^[[2J^G\"",
       "\"23.0\"",
       "0",
       size},
      {"version mismatch",
       {"--version", "17.1"},
       good,
       "failed",
       "\"error -> wrong hardware IDs  (0x00170000 != 0x00170001)\"",
       "null",
       "null",
       "\"23.1\"",
       "0",
       size},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string journal = dir + "/" + row.name + ".jsonl";
    std::string com = "999";
    if (row.result == "ok" || !row.box.empty()) {
      std::vector<std::string> box_args = row.box;
      if (row.result == "ok") box_args = {"--expect", row.file};
      com = start_box(box_args);
    }
    ProcResult r = update(com, {"--journal", journal, row.file});
    EXPECT_EQ(r.exit_code, row.result == "ok" ? 0 : 1) << r.out << r.err;
    if (row.name == std::string("box error shown safely")) {
      EXPECT_TRUE(contains(r.out, "\n\nERROR: flash ^[[2J^G\r\n\n")) << r.out;
    }
    kill_process(&box);
    std::map<std::string, std::string> f = journal_fields(journal);
    EXPECT_EQ(f["0.result"], "str \"" + row.result + "\"");
    // Without --station the record names the host.
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(f["0.station"], "str \"" + std::string(host) + "\"");
    EXPECT_EQ(f["0.box_version"],
              (row.box_version == "null" ? "NoneType " : "str ") + row.box_version);
    EXPECT_EQ(f["0.bytes_sent"],
              row.bytes_sent.rfind("int ", 0) == 0 ? row.bytes_sent : "int " + row.bytes_sent);
    EXPECT_EQ(f["0.file_size"], row.file_size == "null" ? "NoneType null" : row.file_size);
    if (row.result == "ok") {
      EXPECT_EQ(f.count("0.error") + f.count("0.error_code") + f.count("0.box_error"), 0u);
      continue;
    }
    EXPECT_EQ(f["0.error"], "str " + row.error);
    EXPECT_EQ(f["0.error_code"],
              (row.error_code == "null" ? "NoneType " : "int ") + row.error_code);
    EXPECT_EQ(f["0.box_error"], (row.box_error == "null" ? "NoneType " : "str ") + row.box_error);
  }
}

// Whatever the journal is, a good box is a good box: a pipe, a terminal,
// /dev/null, a FIFO with its reader. A FIFO without a reader ends the run
// at once, before the port is touched.
TEST_F(SerialUpdate, JournalOnEveryMedium) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "300"});
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string tty = ptsname(master);
  struct Row {
    const char* name;
    std::string journal;
    bool reader;  // a thread reads the FIFO
    int exit_code;
    std::string err;
  };
  const Row rows[] = {
      {"pipe", "/dev/stdout", false, 0, ""},
      {"terminal", tty, false, 0, ""},
      {"null", "/dev/null", false, 0, ""},
      {"fifo with a reader", fifo, true, 0, ""},
      {"fifo without a reader", fifo, false, 1,
       "update: cannot open the journal " + fifo + ": No such device or address\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string heard;
    std::thread reader;
    if (row.reader) reader = std::thread([&] { heard = read_file(fifo); });
    std::string com = row.exit_code == 0 ? start_box({"--expect", file}) : "999";
    ProcResult r = update(com, {"--journal", row.journal, file});
    if (reader.joinable()) reader.join();
    EXPECT_EQ(r.exit_code, row.exit_code) << r.out << r.err;
    if (row.exit_code == 0) {
      EXPECT_EQ(box_result(), 0) << box.out;
    } else {
      EXPECT_EQ(r.err, row.err);
    }
    if (row.journal == "/dev/stdout") heard = r.out;
    if (row.journal == tty) {
      char buf[4096];
      ssize_t n = read(master, buf, sizeof buf);
      heard.assign(buf, n > 0 ? n : 0);
    }
    if (row.exit_code == 0 && row.journal != "/dev/null") {
      EXPECT_TRUE(contains(heard, "\"result\":\"ok\"")) << heard;
    }
  }
  close(master);
}

// Ctrl-C, a kill, the station's request, or a station that went away (its
// event stream's reader gone), in a wait without a limit: the attempt is
// recorded as stopped, in the phase it came in, the line's settings are put
// back and the run ends with 1 at once (no ENTER pause to wait through).
TEST_F(SerialUpdate, StopInAWaitWithoutALimitIsRecorded) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "3000"});
  struct Row {
    int signal;  // 0: the event stream's reader goes away instead
    std::vector<std::string> box;
    const char* phase;  // the request comes once this phase is under way
    std::string error, box_version;
    std::string wait_for = "";  // an event line's text to stop at, else the phase
    uint32_t bytes_sent = 0;    // at least, in the record
    std::string or_error = "";  // the error may be this instead
  };
  const Row rows[] = {
      {SIGINT,
       {"--silent-at", "transfer"},
       "download",
       "Stopped by SIGINT during download.",
       "str \"23.0\""},
      {SIGTERM,
       {"--silent-at", "finish"},
       "program",
       "Stopped by SIGTERM during program.",
       "str \"23.0\""},
      {SIGTERM,
       {"--silent-at", "echo"},
       "sync",
       "Stopped by SIGTERM during sync.",
       "NoneType null"},
      // Half way: the record says how far the box got.
      {SIGTERM,
       {"--turnaround", "20"},
       "download",
       "Stopped by SIGTERM during download.",
       "str \"23.0\"",
       "\"bytes\":1280,",
       1280},
      {SIGUSR1,
       {"--silent-at", "transfer"},
       "download",
       "Stopped by the station during download.",
       "str \"23.0\""},
      // The tool may be past the echo by the time the reader goes.
      {0,
       {"--silent-at", "version"},
       "sync",
       "Stopped by SIGHUP during sync.",
       "NoneType null",
       "",
       0,
       "Stopped by SIGHUP during identify."},
      // The reader goes while the box says nothing and no line is due:
      // only watching the stream sees it, not the next write.
      {0,
       {"--silent-at", "finish"},
       "program",
       "Stopped by SIGHUP during program.",
       "str \"23.0\""},
      {0,
       {"--silent-at", "transfer"},
       "download",
       "Stopped by SIGHUP during download.",
       "str \"23.0\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.error);
    std::string link = dir + "/line";
    std::vector<std::string> box_args = row.box;
    box_args.insert(box_args.end(), {"--link", link});
    start_box(box_args);
    // Settings nothing of the tool's would set, so only their restoring
    // brings them back.
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    termios before = {};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    before.c_iflag = ICRNL | IXON | ISTRIP;
    before.c_oflag = OPOST | ONLCR;
    before.c_lflag = ICANON | ECHO | ISIG;
    before.c_cflag = (before.c_cflag & ~(CSIZE | CSTOPB | PARENB)) | CS7 | PARENB | CSTOPB;
    cfsetspeed(&before, B2400);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    std::string journal = dir + "/stop.jsonl", events = dir + "/events";
    unlink(journal.c_str());
    unlink(events.c_str());
    ASSERT_EQ(mkfifo(events.c_str(), 0600), 0);
    // Not inherited: the tool must not hold its own reader.
    int reader = open(events.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string heard;
    auto listen = [&] {
      char buf[4096];
      ssize_t n;
      while (reader >= 0 && (n = read(reader, buf, sizeof buf)) > 0) heard.append(buf, n);
    };
    BgProcess tool;
    ASSERT_TRUE(start_process(
        &tool, {update_bin(), "-p", link, "--journal", journal, "--events", events, file}));
    std::string phase_line =
        row.wait_for.empty() ? std::string("\"phase\":\"") + row.phase + "\"" : row.wait_for;
    for (int i = 0; i < 3000 && !contains(heard, phase_line); i++) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      listen();
    }
    ASSERT_TRUE(contains(heard, phase_line)) << heard;
    if (row.signal != 0) {
      kill(tool.pid, row.signal);
    } else {
      close(reader);
      reader = -1;
    }
    EXPECT_EQ(wait_process(&tool, 10000), 1) << tool.out << tool.err;
    listen();
    if (reader >= 0) close(reader);
    EXPECT_FALSE(contains(tool.out, kPause)) << tool.out;
    termios after = {};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    close(fd);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    std::map<std::string, std::string> f = journal_fields(journal);
    EXPECT_EQ(f["0.result"], "str \"stopped\"");
    EXPECT_EQ(f["0.exit_code"], "int 1");
    if (row.or_error.empty() || f["0.error"] != "str \"" + row.or_error + "\"") {
      EXPECT_EQ(f["0.error"], "str \"" + row.error + "\"");
    }
    EXPECT_EQ(f["0.box_version"], row.box_version);
    if (row.bytes_sent > 0) {
      ASSERT_EQ(f["0.bytes_sent"].rfind("int ", 0), 0u) << f["0.bytes_sent"];
      EXPECT_GE(std::stoul(f["0.bytes_sent"].substr(4)), row.bytes_sent);
    }
    // The event stream ends with the same record, where anyone still reads it.
    if (row.signal != 0) {
      EXPECT_TRUE(contains(heard, "\"event\":\"end\",\"record\":{")) << heard;
    }
    kill_process(&box);
  }
}

// Stops at random moments of whole runs (seeded: a failure repeats), one
// kind of request after the other: wherever a request lands (a sleep, a
// write, a wait for the box, the transfer, the wait for "finished!"), the
// run ends within a second, its record and last event saying stopped.
TEST_F(SerialUpdate, StopAtAnyMomentEndsTheRunWithinASecond) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "20000"});
  // The box, and the tool's options for it: a box that takes the image and
  // never says "finished!", the same at 230400 on a paced line after a speed
  // change (its pauses), one that never says its version, one that never
  // echoes (the pause after each notice).
  const std::pair<std::vector<std::string>, std::vector<std::string>> boxes[] = {
      {{"--silent-at", "finish"}, {}},
      {{"--pace", "--silent-at", "finish"}, {"-f"}},
      {{"--silent-at", "version"}, {}},
      {{"--silent-at", "echo"}, {}},
  };
  const std::pair<int, std::string> requests[] = {
      {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGUSR1, "the station"}};
  std::mt19937 random(20);
  std::uniform_int_distribution<int> moment_ms(0, 1400);
  for (int run = 0; run < 32; run++) {
    const auto& [box_args, tool_args] = boxes[run % 4];
    const auto& [sig, name] = requests[run / 4 % 4];
    int moment = moment_ms(random);
    SCOPED_TRACE("run " + std::to_string(run) + ", " + name + " after " + std::to_string(moment) +
                 " ms");
    std::string com = start_box(box_args);
    std::string journal = dir + "/run.jsonl", events = dir + "/run.events";
    unlink(journal.c_str());
    unlink(events.c_str());
    BgProcess tool;
    std::vector<std::string> argv = {update_bin(), "-p",       com,    "--journal",
                                     journal,      "--events", events, file};
    argv.insert(argv.begin() + 1, tool_args.begin(), tool_args.end());
    ASSERT_TRUE(start_process(&tool, argv));
    // The event stream is opened once the tool takes requests.
    for (int i = 0; i < 2500 && access(events.c_str(), F_OK) != 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(access(events.c_str(), F_OK), 0) << tool.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(moment));
    auto sent = std::chrono::steady_clock::now();
    kill(tool.pid, sig);
    int code = wait_process(&tool, 5000);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - sent)
                    .count();
    EXPECT_EQ(code, 1) << tool.out << tool.err;
    EXPECT_LT(took, 1000);
    std::string record = read_file(journal);
    EXPECT_TRUE(contains(record, "\"result\":\"stopped\"")) << record;
    EXPECT_TRUE(contains(record, "\"error\":\"Stopped by " + name + " during ")) << record;
    std::string stream = read_file(events);
    std::string end = "\"event\":\"end\",\"record\":" + record;
    end.back() = '}';  // the record's line end closes the event
    EXPECT_TRUE(contains(stream, end)) << stream;
    kill_process(&box);
  }
}

// A console that goes away (standard output and error a pipe nobody reads
// any more) never ends a transfer: the box is updated and recorded.
TEST_F(SerialUpdate, ConsoleThatGoesAwayNeverEndsTheTransfer) {
  std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--record", "3000"});
  std::string com = start_box({"--expect", file});
  std::string journal = dir + "/gone.jsonl";
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  std::string tool = update_bin();
  std::vector<const char*> argv = {tool.c_str(),    "-p",         com.c_str(), "--journal",
                                   journal.c_str(), file.c_str(), nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    signal(SIGPIPE, SIG_DFL);
    execv(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  close(fds[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status)) : "");
  EXPECT_EQ(box_result(), 0) << box.out;
  EXPECT_TRUE(contains(read_file(journal), "\"result\":\"ok\"")) << read_file(journal);
}

// A paced line cannot be beaten: the transfer takes at least what stop and
// wait allows for the frame, rate, turnaround and latency, and not wildly
// more. Bounds are wide; only the lower one is tight, and it holds on any
// machine.
TEST_F(SerialUpdate, PacedLineTakesAboutItsIdealTime) {
  struct Row {
    std::vector<std::string> tool_args, box_args;
    unsigned bits;
    double turnaround_ms, latency_ms;
  };
  const Row rows[] = {
      {{}, {"--latency", "16"}, 10, 1, 16},
      {{"-S"}, {"--pace", "--turnaround", "2"}, 11, 2, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.box_args.back());
    std::string file = pad("box.pad", {"--format", "21", "--version", "23.0", "--random", "7600"});
    std::vector<std::string> box_args = row.box_args;
    box_args.insert(box_args.end(), {"--expect", file});
    std::string com = start_box(box_args);
    std::vector<std::string> args = row.tool_args;
    args.push_back(file);
    auto t0 = std::chrono::steady_clock::now();
    ProcResult r = update(com, args);
    double wall_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_EQ(box_result(), 0) << box.out;

    long long us = 0;
    int blocks = 0;
    unsigned rate = 0, bits = 0;
    size_t at = box.out.find("PACE BOX 1 ");
    ASSERT_NE(at, std::string::npos) << box.out;
    ASSERT_EQ(4, std::sscanf(box.out.c_str() + at,
                             "PACE BOX 1 transfer %lld us blocks %d rate %u bits %u", &us, &blocks,
                             &rate, &bits));
    EXPECT_EQ(blocks, int((read_file(file).size() + 127) / 128));
    EXPECT_EQ(rate, 115200u);
    EXPECT_EQ(bits, row.bits);
    // Per block: 132 bytes out and one back at the line rate, then the
    // box's turnaround and the adapter's latency.
    double ideal_ms =
        blocks * (133.0 * row.bits * 1000 / rate + row.turnaround_ms + row.latency_ms);
    double transfer_ms = us / 1000.0;
    EXPECT_GE(transfer_ms, ideal_ms);
    EXPECT_LE(transfer_ms, 5 * ideal_ms + 1000);  // a loaded machine is late
    // The box's figure is real time the tool lived through.
    EXPECT_GE(wall_ms + 2, transfer_ms);
    kill_process(&box);
  }
}

}  // namespace
