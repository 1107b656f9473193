// The journal's media, the same-file test and file identity, on real files, pipes, FIFOs
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

TEST(AppendFile, EveryMediumTakesTheRecordAndNoOpenWaits) {
  char dir[] = "/tmp/plat-file-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string file = std::string(dir) + "/journal", fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int fifo_reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  int pty = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(pty >= 0 && grantpt(pty) == 0 && unlockpt(pty) == 0);
  int file_reader = open(file.c_str(), O_RDONLY | O_CREAT, 0600);
  std::string pipe_path = "/proc/self/fd/" + std::to_string(pipe_fds[1]);
  struct {
    std::string path;
    int reader;  // where the record shows, -1: nowhere
  } const cases[] = {
      {file, file_reader}, {"/dev/null", -1},   {pipe_path, pipe_fds[0]},
      {ptsname(pty), pty}, {fifo, fifo_reader},
  };
  for (const auto& c : cases) {
    plat_file f = plat_append_open(c.path.c_str());
    ASSERT_NE(f, kNoFile) << c.path << " " << plat_last_error();
    EXPECT_TRUE(plat_append_record(f, "line\n", 5)) << c.path << " " << plat_last_error();
    plat_append_close(f);
    char got[4] = {};
    EXPECT_TRUE(c.reader < 0 || (read(c.reader, got, 4) == 4 && std::string(got, 4) == "line"))
        << c.path;
  }

  // No reader: the FIFO fails at the open, at once; a pipe whose reader
  // left fails the record without killing the process.
  close(fifo_reader);
  plat_set_last_error(0);
  EXPECT_EQ(plat_append_open(fifo.c_str()), kNoFile);
  EXPECT_EQ(plat_last_error(), static_cast<uint32_t>(ENXIO));
  close(pipe_fds[0]);
  plat_file f = plat_append_open(pipe_path.c_str());
  EXPECT_FALSE(plat_append_record(f, "line\n", 5));
  EXPECT_EQ(plat_last_error(), static_cast<uint32_t>(EPIPE));
  plat_append_close(f);

  // The same file by any name, and nothing the same with a missing one.
  std::string hard = file + ".hard", soft = file + ".soft";
  ASSERT_EQ(link(file.c_str(), hard.c_str()), 0);
  ASSERT_EQ(symlink(file.c_str(), soft.c_str()), 0);
  const std::string same[] = {file, hard, soft, std::string(dir) + "/./journal"};
  for (const std::string& name : same)
    EXPECT_TRUE(plat_same_file(file.c_str(), name.c_str())) << name;
  for (const std::string& name : {fifo, file + ".missing"})
    EXPECT_FALSE(plat_same_file(file.c_str(), name.c_str())) << name;

  // An open file's identity: one for all its names, another for a new
  // file that took the name (a rotated journal).
  auto identity = [](const std::string& name) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    uint64_t volume = 0, index = 0;
    EXPECT_TRUE(f && plat_file_identity(f, &volume, &index)) << name;
    if (f) std::fclose(f);
    return std::to_string(volume) + ":" + std::to_string(index);
  };
  EXPECT_EQ(identity(file), identity(hard));
  std::string before = identity(file);
  ASSERT_EQ(rename(file.c_str(), (file + ".1").c_str()), 0);
  close(open(file.c_str(), O_WRONLY | O_CREAT, 0600));
  EXPECT_NE(identity(file), before);
  EXPECT_EQ(identity(file + ".1"), before);
  unlink((file + ".1").c_str());

  for (int fd : {pipe_fds[1], pty, file_reader}) close(fd);
  for (const std::string& name : {fifo, file, hard, soft}) unlink(name.c_str());
  rmdir(dir);
}

}  // namespace
