#include "serial/port.h"

#include <gtest/gtest.h>

#include "platform/error.h"
#include "tests/fakes/fake_platform.h"

namespace {

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_clock_set(1000);
    fake_serial_reset();
  }
};

TEST_F(PortTest, OpenRetriesABusyPortForHalfASecond) {
  g_fake_serial.open_failures = 9;
  EXPECT_NE(port_open_named(nullptr, 3, 115200, false, true), kNoPort);
  EXPECT_EQ(g_fake_serial.open_calls, 10);
  EXPECT_TRUE(g_fake_serial.two_stop_bits);
  EXPECT_TRUE(g_fake_serial.write_timeouts);

  fake_serial_reset();
  fake_clock_set(0);
  g_fake_serial.open_failures = 10;
  g_fake_serial.open_error = 16;
  EXPECT_EQ(port_open_named(nullptr, 3, 115200, true, false), kNoPort);
  EXPECT_EQ(plat_last_error(), 16u);
  EXPECT_EQ(fake_clock_slept(), 500u);
}

TEST_F(PortTest, OpenWithoutWriteTimeoutsAndFailedConfigureClosesThePort) {
  EXPECT_NE(port_open_named(nullptr, 1, 115200, true, false), kNoPort);
  EXPECT_FALSE(g_fake_serial.write_timeouts);
  fake_serial_reset();
  g_fake_serial.fail_configure = true;
  EXPECT_EQ(port_open_named(nullptr, 1, 115200, false, false), kNoPort);
  EXPECT_EQ(g_fake_serial.close_calls, 1);
}

TEST_F(PortTest, SetSpeedKeepsARateAlreadyInUse) {
  plat_port p = port_open_named(nullptr, 1, 115200, false, false);
  fake_clock_set(0);
  EXPECT_TRUE(port_set_speed(p, 115200));
  EXPECT_EQ(g_fake_serial.set_baud_calls, 0);
  EXPECT_EQ(fake_clock_slept(), 300u);
  EXPECT_TRUE(port_set_speed(p, 921600));
  EXPECT_EQ(g_fake_serial.baud, 921600u);
  g_fake_serial.fail_set_baud = true;
  EXPECT_FALSE(port_set_speed(p, 460800));
  EXPECT_FALSE(g_fake_serial.is_open);
}

TEST_F(PortTest, ARateTheDeviceDidNotTakeFailsTheSpeedChange) {
  // A divisor rounds by up to 3%; further off, the device kept another rate.
  struct {
    uint32_t asked, runs_at;
    bool ok;
  } rates[] = {
      {921600, 923077, true},   {460800, 474624, true},  {460800, 475000, false},
      {230400, 223488, true},   {230400, 223000, false}, {250000, 38400, false},
      {2000000, 115200, false},
  };
  for (const auto& r : rates) {
    fake_serial_reset();
    plat_port p = port_open_named(nullptr, 1, 115200, false, false);
    g_fake_serial.runs_at = r.runs_at;
    EXPECT_EQ(port_set_speed(p, r.asked), r.ok) << r.asked << " at " << r.runs_at;
    EXPECT_EQ(g_fake_serial.is_open, r.ok) << r.asked;
    if (!r.ok) {
      EXPECT_EQ(plat_last_error(), kErrRateRefused) << r.asked;
    }
  }
  // The opening rate is read back too.
  fake_serial_reset();
  g_fake_serial.runs_at = 38400;
  EXPECT_EQ(port_open_named(nullptr, 1, 115200, false, false), kNoPort);
  EXPECT_EQ(plat_last_error(), kErrRateRefused);
  EXPECT_EQ(g_fake_serial.close_calls, 1);
}

TEST_F(PortTest, TimedWriteContinuesAfterDriverTimeoutsUntilItsLimit) {
  plat_port p = port_open_named(nullptr, 1, 115200, false, false);
  g_fake_serial.write_chunk = 3;
  EXPECT_TRUE(timed_write(p, "qkopacom", 8, 1000));
  EXPECT_EQ(g_fake_serial.written, "qkopacom");

  // Each cut-short call costs its bytes + 10 ms: the limit passes first.
  g_fake_serial.written.clear();
  g_fake_serial.write_chunk = 1;
  std::string big(200, 'x');
  EXPECT_FALSE(timed_write(p, big.data(), big.size(), 50));
  EXPECT_EQ(plat_last_error(), ERR_TIMEOUT);
  EXPECT_LT(g_fake_serial.written.size(), big.size());

  // No limit: it goes on until everything is out.
  g_fake_serial.written.clear();
  EXPECT_TRUE(timed_write(p, big.data(), big.size(), 0));
  EXPECT_EQ(g_fake_serial.written, big);

  g_fake_serial.write_error = 5;
  EXPECT_FALSE(timed_write(p, "x", 1, 0));
  EXPECT_EQ(plat_last_error(), 5u);
}

TEST_F(PortTest, WaitForTextFindsTextAcrossReads) {
  plat_port p = port_open_named(nullptr, 1, 115200, false, false);
  fake_serial_feed("xxgra", 10);
  fake_serial_feed("nted\r\n", 30);
  EXPECT_TRUE(wait_for_text(p, "granted", 1000));
  EXPECT_STREQ(g_receive_buffer, "xxgranted\r\n");
}

TEST_F(PortTest, WaitForTextBoxErrorWinsAndIsShown) {
  plat_port p = port_open_named(nullptr, 1, 115200, false, false);
  fake_serial_feed("finished!\r\nERROR: flash 3\r\nmore\r\n");
  testing::internal::CaptureStdout();
  EXPECT_FALSE(wait_for_text(p, "finished!", 0));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(plat_last_error(), ERR_BOX_ERROR);
  EXPECT_EQ(out, "\n\nERROR: flash 3\r\n\n");
}

// The received bytes are searched, NULs and all; a device that goes away
// ends the wait at once with its error instead of being polled for ever.
TEST_F(PortTest, WaitForTextSearchesPastNulsAndEndsWhenTheDeviceIsGone) {
  struct Case {
    std::string bytes;
    bool gone;  // the device hung up (unplugged adapter, box reset)
    bool result;
    uint32_t error;
    std::string shown;
    std::string box_error;  // kept from an earlier wait unless replaced
  } cases[] = {
      {std::string("abc\0finished!", 13), false, true, 0, "", "ERROR: old"},
      {std::string("\0\0ERROR: flash\r\n", 17), false, false, ERR_BOX_ERROR,
       "\n\nERROR: flash\r\n\n", "ERROR: flash"},
      {"", true, false, kErrReadAborted, "", "ERROR: old"},
      // A box's bytes never act on the terminal; a line cut off is kept
      // as far as it came.
      {std::string("ERROR: \x1b]0;x\x07\0\xC3\xBC\x9b"
                   "2J\r\nERROR: 2\n",
                   30),
       false, false, ERR_BOX_ERROR, "\n\nERROR: ^[]0;x^G^@\xC3\xBCM-^[2J\r\n\n",
       "ERROR: ^[]0;x^G^@\xC3\xBCM-^[2J"},
      {"x\nERROR: cut", false, false, ERR_BOX_ERROR, "\n\nERROR: cut\n\n", "ERROR: cut"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    SetUp();
    plat_port p = port_open_named(nullptr, 1, 115200, false, false);
    clear_box_error();
    EXPECT_STREQ(last_box_error(), "");
    fake_serial_feed("ERROR: old\n");
    testing::internal::CaptureStdout();
    wait_for_text(p, "x", 0);
    testing::internal::GetCapturedStdout();
    fake_serial_feed(c.bytes);
    g_fake_serial.hung_up = c.gone;
    uint32_t start = fake_clock_now();
    testing::internal::CaptureStdout();
    EXPECT_EQ(wait_for_text(p, "finished!", 60000), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.shown);
    if (!c.result) {
      EXPECT_EQ(plat_last_error(), c.error);
    }
    EXPECT_EQ(last_box_error(), c.box_error);
    EXPECT_LT(fake_clock_now() - start, 100u) << "ended by the bytes, not by the limit";
  }
}

TEST_F(PortTest, WaitForTextLimits) {
  plat_port p = port_open_named(nullptr, 1, 115200, false, false);
  // No limit: a text that comes after a long time still counts.
  fake_serial_feed("Now start download", 3600000);
  EXPECT_TRUE(wait_for_text(p, "Now start download", 0));

  // A box that talks without end fills the buffer.
  fake_serial_feed(std::string(kReceiveBufferSize, 'A'));
  EXPECT_FALSE(wait_for_text(p, "finished!", 0));
  EXPECT_EQ(plat_last_error(), ERR_RECEIVE_FULL);

  fake_serial_reset();
  p = port_open_named(nullptr, 1, 115200, false, false);
  uint32_t start = fake_clock_now();
  EXPECT_FALSE(wait_for_text(p, "granted", 1000));
  EXPECT_EQ(plat_last_error(), ERR_TIMEOUT);
  EXPECT_GE(fake_clock_now() - start, 1000u);
  EXPECT_LE(fake_clock_now() - start, 1020u);
}

TEST_F(PortTest, ReadByteReportsLimitByLeavingTheByteAndFailsOnlyOnReadErrors) {
  plat_port p = port_open_named(nullptr, 1, 115200, false, false);
  uint8_t b = 0x55;
  uint32_t start = fake_clock_now();
  EXPECT_TRUE(read_byte(p, &b, 100));
  EXPECT_EQ(b, 0x55);
  EXPECT_GT(fake_clock_now() - start, 100u);
  fake_serial_feed("Z", 40);
  EXPECT_TRUE(read_byte(p, &b, 100));
  EXPECT_EQ(b, 'Z');
  g_fake_serial.read_error = kErrReadAborted;
  EXPECT_FALSE(read_byte(p, &b, 100));
  EXPECT_EQ(plat_last_error(), kErrReadAborted);
}

TEST(Elapsed, WrapsAroundTheClock) {
  EXPECT_EQ(elapsed_ms(0xFFFFFFF0u, 0x10u), 0x20u);
  EXPECT_EQ(elapsed_ms(5, 5), 0u);
}

}  // namespace
