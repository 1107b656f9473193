// The journal's media and the same-file test, on real files, pipes, FIFOs
// and a pseudo-terminal.
#include "platform/file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"

namespace {

std::string temp_dir() {
  char dir[] = "/tmp/plat-file-XXXXXX";
  return mkdtemp(dir) ? dir : "";
}

std::string read_some(int fd) {
  char buf[64];
  ssize_t r = read(fd, buf, sizeof buf);
  return r > 0 ? std::string(buf, static_cast<size_t>(r)) : "";
}

TEST(AppendFile, EveryMediumTakesTheRecord) {
  std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int fifo_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
  int file_reader = open((dir + "/journal").c_str(), O_RDONLY | O_CREAT, 0600);
  struct {
    std::string path;
    int reader;  // where the record shows, -1: nowhere
  } const cases[] = {
      {dir + "/journal", file_reader},
      {"/dev/null", -1},
      {"/proc/self/fd/" + std::to_string(pipe_fds[1]), pipe_fds[0]},
      {ptsname(pty), pty},
      {fifo, fifo_reader},
  };
  for (const auto& c : cases) {
    plat_file f = plat_append_open(c.path.c_str());
    ASSERT_NE(f, kNoFile) << c.path << " " << plat_last_error();
    EXPECT_TRUE(plat_append_record(f, "line\n", 5)) << c.path << " " << plat_last_error();
    plat_append_close(f);
    if (c.reader >= 0) {
      EXPECT_EQ(read_some(c.reader).substr(0, 4), "line") << c.path;
    }
  }

  // No reader: the FIFO fails at the open, at once; a pipe whose reader
  // left fails the record without killing the process.
  close(fifo_reader);
  plat_set_last_error(0);
  EXPECT_EQ(plat_append_open(fifo.c_str()), kNoFile);
  EXPECT_EQ(plat_last_error(), static_cast<uint32_t>(ENXIO));
  close(pipe_fds[0]);
  plat_file f = plat_append_open(cases[2].path.c_str());
  ASSERT_NE(f, kNoFile);
  EXPECT_FALSE(plat_append_record(f, "line\n", 5));
  EXPECT_EQ(plat_last_error(), static_cast<uint32_t>(EPIPE));
  plat_append_close(f);
  for (int fd : {pipe_fds[1], pty, file_reader}) close(fd);
  for (const std::string& name : {fifo, dir + "/journal"}) unlink(name.c_str());
  rmdir(dir.c_str());
}

TEST(AppendFile, SameFileByAnyName) {
  std::string dir = temp_dir();
  std::string a = dir + "/a.pad", b = dir + "/b.pad";
  close(open(a.c_str(), O_WRONLY | O_CREAT, 0600));
  close(open(b.c_str(), O_WRONLY | O_CREAT, 0600));
  ASSERT_EQ(link(a.c_str(), (dir + "/hard").c_str()), 0);
  ASSERT_EQ(symlink(a.c_str(), (dir + "/soft").c_str()), 0);
  struct {
    std::string other;
    bool same;
  } const cases[] = {
      {a, true},           {dir + "/hard", true},      {dir + "/soft", true},
      {dir + "/./a.pad", true}, {b, false},            {dir + "/missing", false},
  };
  for (const auto& c : cases) EXPECT_EQ(plat_same_file(a.c_str(), c.other.c_str()), c.same) << c.other;
  EXPECT_FALSE(plat_same_file((dir + "/missing").c_str(), (dir + "/missing").c_str()));
  for (const char* name : {"/a.pad", "/b.pad", "/hard", "/soft"}) unlink((dir + name).c_str());
  rmdir(dir.c_str());
}

}  // namespace
