// Standard input is redirected inside a forked child, so the test binary's
// own stdin and stdout stay untouched.
#include "platform/console.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// Runs `body` in a child whose stdin reads `input` from a pipe and whose
// stdout goes to a pipe. Returns the child's exit code (-1 if it crashed);
// `out` receives what it wrote to stdout.
int run_child(const std::string& input, int (*body)(), std::string* out) {
  int in_pipe[2];
  int out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    close(in_pipe[0]);
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(out_pipe[1]);
    _exit(body());
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  ssize_t w = write(in_pipe[1], input.data(), input.size());
  (void)w;
  close(in_pipe[1]);
  out->clear();
  char buf[256];
  ssize_t r;
  while ((r = read(out_pipe[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(r));
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Each check that fails ends the child with its own code.
int read_line_then_bytes() {
  char buf[64];
  size_t n = plat_stdin_read_line(buf, 5);
  if (n != 5 || std::memcmp(buf, "hello", 5) != 0) return 10;
  // The rest of the long line is still there for the next reader.
  if (plat_stdin_getc() != ' ') return 11;
  n = plat_stdin_read_line(buf, sizeof buf);
  if (n != 6 || std::memcmp(buf, "world\n", 6) != 0) return 12;
  if (plat_stdin_getc() != 0xFF) return 13;
  n = plat_stdin_read_line(buf, sizeof buf);
  if (n != 4 || std::memcmp(buf, "end\n", 4) != 0) return 14;
  // A last line without a line feed, then end of input.
  n = plat_stdin_read_line(buf, sizeof buf);
  if (n != 4 || std::memcmp(buf, "tail", 4) != 0) return 15;
  if (plat_stdin_read_line(buf, sizeof buf) != 0) return 16;
  if (plat_stdin_getc() != -1) return 17;
  return 0;
}

int beep_without_terminal() {
  // A new session has no controlling terminal, like a run from a service.
  setsid();
  plat_beep(1000, 500);
  return 0;
}

TEST(Console, LineReadLeavesTheRestOfALongLine) {
  std::string out;
  EXPECT_EQ(run_child("hello world\n\xff"
                      "end\ntail",
                      read_line_then_bytes, &out),
            0);
}

TEST(Console, BeepNeverWritesToStdout) {
  std::string out;
  EXPECT_EQ(run_child("", beep_without_terminal, &out), 0);
  EXPECT_EQ(out, "");
}

// What a console is given for the program's bytes: UTF-8 where it is
// well formed, code page 1252 for every other byte (the catalogue's German
// text), and a sequence cut off at the end of a read kept for the next.
TEST(Console, TextForTheConsole) {
  struct Case {
    const char* in;
    bool more;
    size_t used;
    std::u16string want;
  } cases[] = {
      {"m\xF6glich", false, 7, u"m\u00F6glich"},
      {"\x80\x81\x8A\x9F\xA0\xFF", false, 6, u"\u20AC\u0081\u0160\u0178\u00A0\u00FF"},
      {"\xC5\x81\xC3\xB3"
       "d\xC5\xBA \xD0\x96 \xE2\x82\xAC",
       false, 14, u"\u0141\u00F3d\u017A \u0416 \u20AC"},
      {"\xF0\x9F\x98\x80", false, 4, u"\U0001F600"},
      // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
      {"\xC0\x80", false, 2, u"\u00C0\u20AC"},
      {"\xE0\x80\xAF", false, 3, u"\u00E0\u20AC\u00AF"},
      {"\xED\xA0\x80", false, 3, u"\u00ED\u00A0\u20AC"},
      {"\xF4\x90\x80\x80", false, 4, u"\u00F4\u0090\u20AC\u20AC"},
      // A lead byte without its continuation is one byte of 1252.
      {"\xE2\x82x", true, 3, u"\u00E2\u201Ax"},
      {"a\xE2\x82", false, 3, u"a\u00E2\u201A"},
      {"a\xE2\x82", true, 1, u"a"},
      {"a\xF0\x9F\x98", true, 1, u"a"},
      {"a\xF6", true, 2, u"a\u00F6"},
  };
  for (const Case& c : cases) {
    std::u16string out = u"<";
    EXPECT_EQ(plat_console_utf16(c.in, std::strlen(c.in), c.more, &out), c.used) << c.in;
    EXPECT_EQ(out, u"<" + c.want) << c.in;
  }
}

}  // namespace
