#include "core/journal.h"
#include "core/json_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Whatever bytes a path or a message holds, the journal line stays valid
// JSON and valid UTF-8.
TEST(Journal, JsonStringsForAnyBytes) {
  struct Case {
    const char* in;
    const char* out;
  };
  static const Case kCases[] = {
      {"box.pad", "\"box.pad\""},
      {"a \"b\" c\\d", "\"a \\\"b\\\" c\\\\d\""},
      {"l1\nl2\r\t", "\"l1\\nl2\\r\\t\""},
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
      // Well-formed UTF-8 stays as it is.
      {"f\xC3\xBCr \xE2\x82\xAC \xF0\x9F\x93\xA6", "\"f\xC3\xBCr \xE2\x82\xAC \xF0\x9F\x93\xA6\""},
      // A Latin-1 byte, a cut-off sequence, an overlong form, a surrogate
      // and a code point past U+10FFFF become \u00XX byte by byte.
      {"f\xFCr", "\"f\\u00fcr\""},
      {"x\xE2\x82", "\"x\\u00e2\\u0082\""},
      {"\xC0\xAF", "\"\\u00c0\\u00af\""},
      {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},
      {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
      {"", "\"\""},
  };
  for (const Case& c : kCases) EXPECT_EQ(json_string(c.in), c.out) << c.in;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream b;
  b << in.rdbuf();
  return b.str();
}

// The box decides how long its line is; the record stays under the 4,096
// bytes one append writes whole, and says where the line was cut.
TEST(Journal, BoxErrorCutToKeepTheRecordWhole) {
  struct Case {
    std::string box_error;
    std::string field;  // the JSON value written
  };
  const std::string x1000(1000, 'x');
  const Case kCases[] = {
      {x1000, "\"" + x1000 + "\""},
      {x1000 + "y", "\"" + x1000 + "[cut]\""},
      {std::string(5000, 'x'), "\"" + x1000 + "[cut]\""},
      // Six bytes of JSON each: cut by size, not by count.
      {std::string(1000, '\xFC'),
       [] {
         std::string s = "\"";
         for (int i = 0; i < 333; i++) s += "\\u00fc";
         return s + "[cut]\"";
       }()},
      // A sequence is never split.
      {std::string(999, 'x') + "\xE2\x82\xAC\xE2\x82\xAC",
       "\"" + std::string(999, 'x') + "\xE2\x82\xAC[cut]\""},
  };
  for (const Case& c : kCases) {
    JournalRecord r = {};
    r.time = "\"2026-12-08T03:24:21.147Z\"";
    r.tool = "update 1.0-0";
    r.mode = "serial";
    std::string port(200, 'p');
    r.port_text = port.c_str();
    r.file = "box.pad";
    r.end = RunEnd::kFailed;
    r.exit_code = 1;
    std::string error(1023, 'e');
    r.error = error.c_str();
    r.box_error = c.box_error.c_str();
    std::string line = journal_line(r);
    EXPECT_NE(line.find(",\"box_error\":" + c.field + "}"), std::string::npos)
        << c.box_error.size() << ": " << line.substr(line.find("box_error"), 80);
    EXPECT_LT(line.size() + 1, 4096u);
    // The other fields at their longest (a serial and a name of 64
    // four-byte characters, a detail as long as it is kept): the box's line
    // gives way where they would push the record past one whole write.
    std::string label;
    for (int i = 0; i < 64; i++) label += "\xF0\x9F\x98\x80";
    r.unit = label.c_str();
    r.operator_name = label.c_str();
    std::string detail(255, 'd'), digest(64, 'f');
    r.error_detail = detail.c_str();
    r.image_sha256 = digest.c_str();
    r.image_size = 8388608;
    r.software_version = "255.255.255";
    line = journal_line(r);
    EXPECT_LE(line.size() + 1, 4096u) << c.box_error.size();
  }
}

// A disk that fills mid-record (here a file size limit) leaves no half
// line: the record is cut off again and said to be lost, and the next
// record starts on a line of its own, also after a line an earlier writer
// left without its end.
TEST(Journal, ShortWriteLeavesNoHalfRecord) {
  char dir[] = "/tmp/journal_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/j.jsonl";
  int err_pipe[2];
  ASSERT_EQ(pipe(err_pipe), 0);
  const std::string before = "{\"a\":1}\n{\"torn\":";
  std::ofstream(path, std::ios::binary) << before;
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (dup2(err_pipe[1], 2) < 0) _exit(10);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = {before.size() + 20, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) _exit(11);
    if (!journal_open("update", path.c_str())) _exit(12);
    if (journal_append("{\"b\":\"" + std::string(100, 'b') + "\"}")) _exit(13);
    rlimit big = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &big) != 0) _exit(14);
    if (!journal_append("{\"c\":2}")) _exit(15);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  close(err_pipe[1]);
  char buf[512];
  ssize_t got = read(err_pipe[0], buf, sizeof buf);
  close(err_pipe[0]);
  std::string err(buf, got > 0 ? got : 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(slurp(path), before + "\n{\"c\":2}\n");
  // The system's reason differs with how the write fell short.
  EXPECT_EQ(err.rfind("update: cannot write the journal " + path + ": ", 0), 0u) << err;
  EXPECT_TRUE(err.ends_with("; the attempt's record is lost\n")) << err;
  unlink(path.c_str());
  rmdir(dir);
}

// Two writers of one journal, one of them on a disk that keeps filling
// (here its file size limit): each of its records falls short and is cut
// off again, and the other's records, written meanwhile, all stay whole.
// Without the lock both writers take, the cut would take the other's
// records with it or glue them to a half one.
TEST(Journal, CutOfAShortRecordSparesAnotherWritersRecords) {
  char dir[] = "/tmp/journal_test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/j.jsonl";
  const std::string before = "{\"a\":1}\n";
  std::ofstream(path, std::ios::binary) << before;
  constexpr int kRecords = 300;
  int go[2], ready[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(ready), 0);
  // The writer that never gets a record in, until told to stop.
  pid_t full = fork();
  ASSERT_GE(full, 0);
  if (full == 0) {
    close(go[1]);
    fcntl(go[0], F_SETFL, O_NONBLOCK);
    if (!freopen("/dev/null", "w", stderr)) _exit(10);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = {before.size() + 2000, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) _exit(11);
    if (!journal_open("update", path.c_str())) _exit(12);
    const std::string big = "{\"big\":\"" + std::string(3000, 'x') + "\"}";
    char c;
    // The other starts once this one is under way.
    if (journal_append(big) || write(ready[1], "r", 1) != 1) _exit(13);
    while (read(go[0], &c, 1) != 0)
      if (journal_append(big)) _exit(13);
    _exit(0);
  }
  close(go[0]);
  pid_t other = fork();
  ASSERT_GE(other, 0);
  if (other == 0) {
    char c;
    if (read(ready[0], &c, 1) != 1) _exit(11);
    if (!journal_open("update", path.c_str())) _exit(12);
    for (int i = 0; i < kRecords; i++)
      if (!journal_append("{\"n\":" + std::to_string(i) + "}")) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(go[1]);
  close(ready[0]);
  close(ready[1]);
  ASSERT_EQ(waitpid(full, &status, 0), full);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string want = before;
  for (int i = 0; i < kRecords; i++) want += "{\"n\":" + std::to_string(i) + "}\n";
  EXPECT_EQ(slurp(path), want);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
