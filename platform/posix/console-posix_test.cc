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
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0)
    return -1;
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
  while ((r = read(out_pipe[0], buf, sizeof buf)) > 0)
    out->append(buf, static_cast<size_t>(r));
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Each check that fails ends the child with its own code.
int read_line_then_bytes() {
  char buf[64];
  size_t n = plat_stdin_read_line(buf, 5);
  if (n != 5 || std::memcmp(buf, "hello", 5) != 0)
    return 10;
  // The rest of the long line is still there for the next reader.
  if (plat_stdin_getc() != ' ')
    return 11;
  n = plat_stdin_read_line(buf, sizeof buf);
  if (n != 6 || std::memcmp(buf, "world\n", 6) != 0)
    return 12;
  if (plat_stdin_getc() != 0xFF)
    return 13;
  n = plat_stdin_read_line(buf, sizeof buf);
  if (n != 4 || std::memcmp(buf, "end\n", 4) != 0)
    return 14;
  // A last line without a line feed, then end of input.
  n = plat_stdin_read_line(buf, sizeof buf);
  if (n != 4 || std::memcmp(buf, "tail", 4) != 0)
    return 15;
  if (plat_stdin_read_line(buf, sizeof buf) != 0)
    return 16;
  if (plat_stdin_getc() != -1)
    return 17;
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
  EXPECT_EQ(run_child("hello world\n\xff" "end\ntail", read_line_then_bytes, &out),
            0);
}

TEST(Console, BeepNeverWritesToStdout) {
  std::string out;
  EXPECT_EQ(run_child("", beep_without_terminal, &out), 0);
  EXPECT_EQ(out, "");
}

}  // namespace
