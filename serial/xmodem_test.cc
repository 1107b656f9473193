#include "serial/xmodem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "image/image_buffer.h"
#include "serial/port.h"
#include "tests/fakes/fake_platform.h"

namespace {

// A receiver that answers every complete block with what `reply` says for
// that block (by count, from 0) and records the blocks it saw.
struct Receiver {
  std::vector<std::string> blocks;
  std::string pending;
  bool eot = false;
  std::function<char(size_t)> reply = [](size_t) { return '\x06'; };
};

class XmodemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_clock_set(0);
    fake_serial_reset();
    port = port_open_named(nullptr, 1, 115200, true, false);
    g_fake_serial.on_write = [this](uint8_t b) {
      if (rx.pending.empty() && b == 0x04) {
        rx.eot = true;
        return;
      }
      rx.pending.push_back((char)b);
      if (rx.pending.size() == 132) {
        rx.blocks.push_back(rx.pending);
        rx.pending.clear();
        fake_serial_feed(std::string(1, rx.reply(rx.blocks.size() - 1)), 1);
      }
    };
    for (size_t i = 0; i < 70000; i++) g_image_buffer[i] = (uint8_t)(i * 7 + 3);
  }
  plat_port port;
  uint32_t acked = 0;
  Receiver rx;
};

TEST_F(XmodemTest, BlockLayoutAndLastBlockTakesTheBytesAfterTheImage) {
  fake_serial_feed("\x15");
  testing::internal::CaptureStdout();
  EXPECT_EQ(send_image(port, 129, &acked), 0);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rx.blocks.size(), 2u);
  EXPECT_TRUE(rx.eot);
  const std::string& b1 = rx.blocks[0];
  EXPECT_EQ((uint8_t)b1[0], 0x01);
  EXPECT_EQ((uint8_t)b1[1], 1);
  EXPECT_EQ((uint8_t)b1[2], 0xFE);
  EXPECT_EQ(0, std::memcmp(b1.data() + 3, g_image_buffer, 128));
  uint8_t sum = 0;
  for (int i = 0; i < 128; i++) sum += g_image_buffer[i];
  EXPECT_EQ((uint8_t)b1[131], sum);
  EXPECT_EQ(0, std::memcmp(rx.blocks[1].data() + 3, g_image_buffer + 128, 128));
  EXPECT_EQ(out, " 50 % transmitted\r100 % transmitted\r" + std::string(30, ' ') + "\r");
}

TEST_F(XmodemTest, NakAndCanRepeatTheBlock) {
  rx.reply = [](size_t n) { return n == 0 ? '\x15' : n == 1 ? '\x18' : '\x06'; };
  fake_serial_feed("\x15");
  testing::internal::CaptureStdout();
  EXPECT_EQ(send_image(port, 128, &acked), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rx.blocks.size(), 3u);
  EXPECT_EQ(rx.blocks[0], rx.blocks[2]);
  EXPECT_TRUE(rx.eot);
}

TEST_F(XmodemTest, OtherBytesAreIgnoredAndAnEarlyAckSkipsBlockOne) {
  fake_serial_feed("C\x06");
  testing::internal::CaptureStdout();
  EXPECT_EQ(send_image(port, 256, &acked), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rx.blocks.size(), 1u);
  EXPECT_EQ((uint8_t)rx.blocks[0][1], 2);
}

TEST_F(XmodemTest, BlockNumbersWrapAfter255) {
  fake_serial_feed("\x15");
  testing::internal::CaptureStdout();
  EXPECT_EQ(send_image(port, 258 * 128, &acked), 0);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rx.blocks.size(), 258u);
  EXPECT_EQ((uint8_t)rx.blocks[254][1], 255);
  EXPECT_EQ((uint8_t)rx.blocks[255][1], 0);
  EXPECT_EQ((uint8_t)rx.blocks[255][2], 0xFF);
  EXPECT_EQ((uint8_t)rx.blocks[256][1], 1);
  // One progress line per whole percent, never more.
  size_t lines = 0;
  for (size_t p = 0; (p = out.find("transmitted\r", p)) != std::string::npos; p++) lines++;
  EXPECT_EQ(lines, 100u);
}

TEST_F(XmodemTest, ReadFailureEndsTheTransfer) {
  fake_serial_feed("\x15");
  rx.reply = [](size_t) {
    g_fake_serial.hung_up = true;
    return '\x06';
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(send_image(port, 300, &acked), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error during read from COM1\n");
}

TEST_F(XmodemTest, AStalledWriteEndsTheTransfer) {
  fake_serial_feed("\x15");
  g_fake_serial.write_chunk = 100;  // the write time-out cuts the block short
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(send_image(port, 300, &acked), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error during write to COM\n");
}

TEST_F(XmodemTest, DownloadSendsTheFillerBlockWhenReleasingTheBox) {
  fake_serial_feed("Now start download\r\n");
  fake_serial_feed("\x15", 100);
  testing::internal::CaptureStdout();
  EXPECT_EQ(send_filler_block(port), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rx.blocks.size(), 4u);
  EXPECT_EQ(rx.blocks[0].substr(3, 6), std::string("\x00\x00\x01\x91\x01\x01", 6));
  EXPECT_EQ(rx.blocks[3].substr(3, 16), std::string(16, '\x01'));
}

TEST_F(XmodemTest, DownloadReportsABoxErrorWhileProgramming) {
  fake_serial_feed("Now start download\r\n");
  fake_serial_feed("\x15", 100);
  g_fake_serial.on_write = [this](uint8_t b) {
    rx.pending.push_back((char)b);
    if (rx.pending.size() == 132) {
      rx.pending.clear();
      fake_serial_feed("\x06", 1);
    } else if (b == 0x04 && rx.pending.size() == 1) {
      fake_serial_feed("ERROR: flash write\r\n", 50);
    }
  };
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(download(port, "dummy", 100, 0, false, true, &acked), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error code (WF): 0x 20000007\n");
  EXPECT_NE(out.find("Programming the flash memory...\n\nERROR: flash write\r\n\n"),
            std::string::npos);
  EXPECT_FALSE(g_fake_serial.is_open);
}

}  // namespace
