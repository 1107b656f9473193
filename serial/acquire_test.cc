#include "serial/acquire.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/settings.h"
#include "platform/error.h"
#include "serial/port.h"
#include "tests/fakes/fake_platform.h"

namespace {

// A box in plain mode that answers its version only from keyword number
// `answer_from` on (counting from 1).
class AcquireTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_clock_set(0);
    fake_serial_reset();
    settings_reset(&g_settings);
    g_settings.com_port = 7;
    port = port_open_named(nullptr, 7, 115200, false, false);
    g_fake_serial.on_write = [this](uint8_t b) {
      if (b != 'm') return;
      keywords++;
      if (keywords >= answer_from) fake_serial_feed("Bootloader Version: 17.0\r\n", 20);
    };
  }
  plat_port port;
  int keywords = 0;
  int answer_from = 1;
};

TEST_F(AcquireTest, FifteenTimeOutsAreRetriedWithinTheBudget) {
  answer_from = 16;
  VersionRecord v = {}, second = {};
  acquire_bootloader(&port, &v, &second);
  EXPECT_EQ(keywords, 16);
  EXPECT_EQ(v.major, 23);
  EXPECT_EQ(g_settings.retries_left, 0);
  // Each failed attempt took the full 15 s.
  EXPECT_GE(fake_clock_now(), 15u * 15000u);
}

TEST_F(AcquireTest, TheSixteenthTimeOutEndsTheRun) {
  answer_from = 17;
  VersionRecord v = {}, second = {};
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        acquire_bootloader(&port, &v, &second);
      },
      ::testing::ExitedWithCode(1), "^Time out \nAccess to bootloader failed \n$");
}

TEST_F(AcquireTest, TheBudgetIsNotRestoredForTheNextBox) {
  answer_from = 4;
  VersionRecord v = {}, second = {};
  acquire_bootloader(&port, &v, &second);
  EXPECT_EQ(g_settings.retries_left, 12);
  keywords = 0;
  answer_from = 14;
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        acquire_bootloader(&port, &v, &second);
      },
      ::testing::ExitedWithCode(1), "Access to bootloader failed");
}

TEST_F(AcquireTest, AnAbortedReadReopensThePort) {
  g_fake_serial.read_error = kErrReadAborted;
  VersionRecord v = {}, second = {};
  acquire_bootloader(&port, &v, &second);
  EXPECT_EQ(g_fake_serial.close_calls, 1);
  EXPECT_EQ(g_fake_serial.open_calls, 2);
  EXPECT_EQ(g_settings.retries_left, 14);
  EXPECT_EQ(v.major, 23);
}

// The resynchronisation has no attempt limit, but a device that is gone
// ends it instead of being tried in a tight loop for good.
TEST_F(AcquireTest, ResynchronisationEndsWhenTheDeviceIsGone) {
  g_settings.sync_mode = true;
  g_fake_serial.hung_up = true;
  VersionRecord v = {}, second = {};
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        resynchronise(port, &v, &second);
      },
      ::testing::ExitedWithCode(1),
      "^WriteFile error \nWriteFile error \nError code \\(WF\\): 0x 3e3\n$");
}

TEST_F(AcquireTest, KeywordFailuresEndTheRunWithTheirMessages) {
  g_fake_serial.write_error = 31;
  VersionRecord v = {}, second = {};
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        acquire_bootloader(&port, &v, &second);
      },
      ::testing::ExitedWithCode(1), "WriteFile error  31\n");
  g_fake_serial.write_error = 0;
  g_fake_serial.write_stalled = true;
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        acquire_bootloader(&port, &v, &second);
      },
      ::testing::ExitedWithCode(1), "Cannot connect to bootloader over COM-port  7\n");
}

TEST_F(AcquireTest, WithoutKeywordSendingNoKeywordIsEverWritten) {
  g_settings.send_keyword = false;
  fake_serial_feed("Bootloader Version: 17.0\r\n", 20000);
  VersionRecord v = {}, second = {};
  acquire_bootloader(&port, &v, &second);
  EXPECT_EQ(g_fake_serial.written, "");
  EXPECT_EQ(g_settings.retries_left, 14);
}

}  // namespace
