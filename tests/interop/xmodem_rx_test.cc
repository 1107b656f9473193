// The XMODEM sender against a receiver nobody here wrote: lrzsz's rx, in
// checksum mode, behind a pseudo-terminal made by socat. rx gets a socket,
// not a terminal, so its final ACK is not lost when it flushes on exit.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "image/image_buffer.h"
#include "serial/port.h"
#include "serial/xmodem.h"
#include "tests/e2e/harness.h"

namespace {

bool have(const char* program) {
  std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

// Waits for socat's link and returns the COM number of its pty.
int com_of_link(const std::string& link) {
  for (int i = 0; i < 200; i++) {
    char target[PATH_MAX] = {0};
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::strncmp(target, "/dev/pts/", 9) == 0) return 1000 + std::atoi(target + 9);
    usleep(20000);
  }
  return -1;
}

void send_to_rx(uint32_t length) {
  if (!have("rx") || !have("socat")) GTEST_SKIP() << "lrzsz rx or socat not installed";
  std::string dir = make_temp_dir();
  std::string link = dir + "/com";
  std::string out = dir + "/out.bin";
  BgProcess socat;
  // rx refuses file names with a directory part: run it in the directory.
  ASSERT_TRUE(start_process(&socat, {"/bin/sh", "-c",
                                     "cd '" + dir +
                                         "' && exec socat pty,raw,echo=0,link=com "
                                         "'EXEC:rx -X -q out.bin'"}));
  int com = com_of_link(link);
  ASSERT_GT(com, 0) << socat.err;

  for (uint32_t i = 0; i < length + 128; i++) g_image_buffer[i] = (uint8_t)(i * 31 + (i >> 8));
  plat_port port = port_open_named(nullptr, com, 115200, true, false);
  ASSERT_NE(port, kNoPort);
  testing::internal::CaptureStdout();
  uint32_t acked = 0;
  int result = send_image(port, length, &acked);
  std::string progress = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(acked, length);
  EXPECT_NE(progress.find("100 % transmitted\r"), std::string::npos);
  EXPECT_EQ(wait_process(&socat, 20000), 0) << socat.err;
  port_close(port);

  // rx keeps whole blocks: the image, then the buffer's bytes after it.
  std::string got = read_file(out);
  uint32_t blocks = (length + 127) / 128;
  ASSERT_EQ(got.size(), blocks * 128u);
  EXPECT_EQ(0, std::memcmp(got.data(), g_image_buffer, got.size()));
  std::system(("rm -rf " + dir).c_str());
}

TEST(XmodemAgainstRx, OneShortBlock) { send_to_rx(100); }

TEST(XmodemAgainstRx, BlockNumbersWrapPast255) { send_to_rx(300 * 128 + 17); }

}  // namespace
