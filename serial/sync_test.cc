#include "serial/sync.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/error.h"
#include "serial/port.h"
#include "tests/fakes/fake_platform.h"

namespace {

SyncSettings plain() {
  SyncSettings s = {};
  s.keyword_sent = true;
  return s;
}

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_clock_set(1000);
    fake_serial_reset();
    port = port_open_named(nullptr, 1, 115200, true, false);
    g_fake_serial.written.clear();
  }
  // Echoes digits; `answer` may rewrite the echo of the n-th digit.
  void echo_digits(std::function<std::string(int, uint8_t)> answer = nullptr) {
    g_fake_serial.on_write = [this, answer](uint8_t b) {
      if (b < '0' || b > '9') return;
      int n = digits++;
      fake_serial_feed(answer ? answer(n, b) : std::string(1, (char)b), 5);
    };
  }
  plat_port port;
  int digits = 0;
};

TEST(ParseDottedNumbers, ReadsTwoOrFourNumbers) {
  VersionRecord v = {9, 9, 9};
  EXPECT_TRUE(parse_dotted_numbers(": 21.0", true, &v));
  EXPECT_EQ(v.major, 0x21);
  EXPECT_EQ(v.minor, 0);
  EXPECT_TRUE(parse_dotted_numbers(": 1B.02.0.7", true, &v));
  EXPECT_EQ(v.major, 27);
  EXPECT_EQ(v.minor, 2);
  EXPECT_EQ(v.build, 7);
  EXPECT_TRUE(parse_dotted_numbers("$Revision: 3.6.2.25 $", false, &v));
  EXPECT_EQ(v.major, 3);
  EXPECT_EQ(v.minor, 6);
  EXPECT_EQ(v.build, 25);
  EXPECT_TRUE(parse_dotted_numbers("x 12345.1", false, &v));
  EXPECT_EQ(v.major, 12345);
  EXPECT_FALSE(parse_dotted_numbers("x 12345.1", true, &v));  // not wrapped to 0x2345
}

TEST(ParseDottedNumbers, RejectsOtherCounts) {
  VersionRecord v = {9, 9, 9};
  EXPECT_FALSE(parse_dotted_numbers("", true, &v));
  EXPECT_EQ(v.major, 9);  // unchanged
  EXPECT_FALSE(parse_dotted_numbers("1.2.3", false, &v));
  EXPECT_EQ(v.major, 0);
  v = {9, 9, 9};
  EXPECT_FALSE(parse_dotted_numbers(": 5", true, &v));
  EXPECT_EQ(v.major, 0);
  v = {9, 9, 9};
  EXPECT_FALSE(parse_dotted_numbers("no digits", false, &v));
  EXPECT_EQ(v.major, 0);
  EXPECT_EQ(v.minor, 0);
}

TEST(ParseDottedNumbers, HexVersionsStartingWithALetter) {
  VersionRecord v = {};
  EXPECT_TRUE(parse_dotted_numbers(": FFFF.FFFF", true, &v));
  EXPECT_EQ(v.major, 0xFFFF);
  EXPECT_EQ(v.minor, 0xFFFF);
  // From the first decimal digit: the word "A" before it is not read.
  EXPECT_FALSE(parse_dotted_numbers(": A.0", true, &v));
  EXPECT_TRUE(parse_dotted_numbers(": A.B", true, &v));
  EXPECT_EQ(v.major, 10);
  EXPECT_TRUE(parse_dotted_numbers(": F1.20", true, &v));
  EXPECT_EQ(v.major, 0xF1);
  EXPECT_EQ(v.minor, 0x20);
  EXPECT_TRUE(parse_dotted_numbers(" for box: FFFF.FFFF", true, &v));
  EXPECT_EQ(v.major, 0xFFFF);
  // Letters that end a word are not part of the number.
  EXPECT_TRUE(parse_dotted_numbers(" code17.0", true, &v));
  EXPECT_EQ(v.major, 0x17);
  EXPECT_FALSE(parse_dotted_numbers(": FFFF.FFFF", false, &v));
}

// Bootloader lines as boxes send them (hexadecimal): a version is read from
// one start only (the word with the first decimal digit), and a run of three
// numbers is never cut down to two.
TEST(ParseDottedNumbers, VersionTextTable) {
  struct Case {
    const char* text;
    bool parses;
    uint16_t major, minor, build;
  } cases[] = {
      {"1.2.3", false, 0, 0, 0},
      {"17.0.1", false, 0, 0, 0},
      {"x 1.2.3 y", false, 0, 0, 0},
      {": FF.1.2", true, 1, 2, 0},
      {": de.1.0", true, 1, 0, 0},
      {": F.E.1.0", true, 1, 0, 0},
      {"10017.0", false, 0, 0, 0},
      {"1.2.3.4", true, 1, 2, 4},
      {"A1.0", true, 0xA1, 0, 0},
      {"FFFF.FFFF", true, 0xFFFF, 0xFFFF, 0},
      {" be FFFF.FFFF", true, 0xFFFF, 0xFFFF, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    VersionRecord v = {9, 9, 9};
    EXPECT_EQ(parse_dotted_numbers(c.text, true, &v), c.parses);
    EXPECT_EQ(v.major, c.major);
    EXPECT_EQ(v.minor, c.minor);
    EXPECT_EQ(v.build, c.build);
  }
}

TEST(SpeedCode, OnlyTheTwoHighRatesHaveCodesOfTheirOwn) {
  EXPECT_EQ(speed_code_for(460800), 0xF1);
  EXPECT_EQ(speed_code_for(921600), 0xF2);
  EXPECT_EQ(speed_code_for(230400), 0xF0);
  EXPECT_EQ(speed_code_for(57600), 0xF0);
}

TEST_F(SyncTest, TwoCorrectEchoesInARowThenStartAndSpeedByte) {
  echo_digits();
  EXPECT_TRUE(synchronise(port, 0xFE, plain()));
  EXPECT_EQ(g_fake_serial.written, "01\xAF\xFE");
}

TEST_F(SyncTest, AWrongEchoStartsTheCountAgain) {
  echo_digits([](int n, uint8_t d) { return std::string(1, n == 1 ? 'x' : (char)d); });
  EXPECT_TRUE(synchronise(port, 0xF2, plain()));
  EXPECT_EQ(g_fake_serial.written, "0123\xAF\xF2");
}

TEST_F(SyncTest, OnlyTheLastByteOfAnAnswerCountsAndFFIsNoAnswer) {
  echo_digits([](int n, uint8_t d) {
    if (n == 0) return std::string("7") + (char)d;     // last byte right
    if (n == 1) return std::string(1, (char)d) + "x";  // last byte wrong
    if (n == 2) return std::string("\xFF");            // no answer
    return std::string(1, (char)d);
  });
  EXPECT_TRUE(synchronise(port, 0xFE, plain()));
  EXPECT_EQ(g_fake_serial.written, "01234\xAF\xFE");
}

TEST_F(SyncTest, AnsweredDigitCostsTwoPausesABlankSkipsOne) {
  echo_digits();
  fake_clock_set(0);
  synchronise(port, 0xFE, plain());
  EXPECT_EQ(fake_clock_slept(), 200u);

  // A blank in front of the echo is read on without a pause; any other
  // byte costs one.
  SetUp();
  echo_digits([](int, uint8_t d) { return std::string(" ") + (char)d; });
  fake_clock_set(0);
  synchronise(port, 0xFE, plain());
  EXPECT_EQ(fake_clock_slept(), 200u);

  SetUp();
  echo_digits([](int, uint8_t d) { return std::string("x") + (char)d; });
  fake_clock_set(0);
  synchronise(port, 0xFE, plain());
  EXPECT_EQ(fake_clock_slept(), 300u);
}

TEST_F(SyncTest, GiveUpAfterTwentyUnansweredDigits) {
  SyncSettings s = plain();
  s.give_up = true;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(synchronise(port, 0xFE, s));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(g_fake_serial.written, "01234567890123456789");
  EXPECT_EQ(out, "Cannot connect to loader over COM-port, still trying. \n");

  SetUp();
  s.quiet = true;
  fake_clock_set(0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(synchronise(port, 0xFE, s));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(fake_clock_slept(), 20u * 250u);  // no one-second pause
}

// A device that goes away mid-synchronisation ends it (the caller reports
// it) instead of being written to, or polled, for ever.
TEST_F(SyncTest, ADeviceThatIsGoneEndsTheSynchronisation) {
  struct Case {
    const char* when;
    bool before_first_digit;  // else right after the first digit went out
    std::string written, err;
  } cases[] = {
      {"write fails", true, "", "WriteFile error \n"},
      {"echo read fails", false, "0", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.when);
    SetUp();
    g_fake_serial.hung_up = c.before_first_digit;
    g_fake_serial.on_write = [](uint8_t) { g_fake_serial.hung_up = true; };
    testing::internal::CaptureStderr();
    EXPECT_FALSE(synchronise(port, 0xFE, plain()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(plat_last_error(), kErrReadAborted);
    EXPECT_EQ(g_fake_serial.written, c.written);
  }
}

TEST_F(SyncTest, GrantWithLimitIsAwaitedAtMostOneSecondThenDrained) {
  echo_digits();
  SyncSettings s = plain();
  s.grant_phase = true;
  s.grant_limit = true;
  uint32_t start = fake_clock_now();
  EXPECT_TRUE(synchronise(port, 0xFE, s));
  EXPECT_GE(fake_clock_now() - start, 1000u);
}

TEST_F(SyncTest, GrantDrainsTheLineBeforeTheDigits) {
  SyncSettings s = plain();
  s.grant_phase = true;
  s.grant_limit = false;
  fake_serial_feed("granted\r\n");
  fake_serial_feed("12345", 10);
  fake_clock_advance(20);
  echo_digits();
  EXPECT_TRUE(synchronise(port, 0xFE, s));
  EXPECT_EQ(g_fake_serial.written, "01\xAF\xFE");
}

TEST_F(SyncTest, WithoutKeywordNoGrantIsAwaited) {
  echo_digits();
  SyncSettings s = plain();
  s.grant_phase = true;
  s.keyword_sent = false;
  uint32_t start = fake_clock_now();
  EXPECT_TRUE(synchronise(port, 0xFE, s));
  EXPECT_LT(fake_clock_now() - start, 1000u);
}

TEST_F(SyncTest, RefusedGrantWithoutLimitEndsTheRun) {
  SyncSettings s = plain();
  s.grant_phase = true;
  s.grant_limit = false;
  fake_serial_feed("ERROR: locked\r\n", 100);
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "r", stdin);
        synchronise(port, 0xFE, s);
      },
      ::testing::ExitedWithCode(1), "Error code \\(WF\\): 0x 20000007");
}

TEST_F(SyncTest, ReadAfterSyncTakesOneByteAfterEachClosingByte) {
  g_fake_serial.on_write = [this](uint8_t b) {
    if (b >= '0' && b <= '9') fake_serial_feed(std::string(1, (char)b), 5);
    if (b == 0xAF || b == 0xFE) fake_serial_feed("+", 5);
  };
  SyncSettings s = plain();
  s.read_after_sync = true;
  EXPECT_TRUE(synchronise(port, 0xFE, s));
  EXPECT_EQ(fake_serial_pending(), 0u);
}

TEST_F(SyncTest, ChangeSpeedSwitchesTheLineBetweenTwoSynchronisations) {
  echo_digits();
  EXPECT_TRUE(change_speed(port, 0xF2, 921600, plain()));
  EXPECT_EQ(g_fake_serial.baud, 921600u);
  // Every synchronisation starts again at digit 0.
  EXPECT_EQ(g_fake_serial.written,
            "01\xAF\xF2"
            "01\xAF\xFE");
}

class VersionTest : public SyncTest {};

TEST_F(VersionTest, MarkerAfterAnUnrelatedByteIsFound) {
  fake_serial_feed("xBootloader Version: 17.0\r\nNow");
  VersionRecord v = {}, second = {1, 1, 1};
  EXPECT_TRUE(read_bootloader_version(port, 15000, true, false, &v, &second));
  EXPECT_EQ(v.major, 23);
  EXPECT_EQ(v.minor, 0);
  EXPECT_EQ(second.major, 0);
  EXPECT_EQ(fake_serial_pending(), 4u);  // "\nNow" left for the next wait
}

TEST_F(VersionTest, DoubledFirstLetterHidesTheMarker) {
  fake_serial_feed("BBootloader Version: 17.0\r\n");
  VersionRecord v = {}, second = {};
  uint32_t start = fake_clock_now();
  EXPECT_FALSE(read_bootloader_version(port, 15000, true, false, &v, &second));
  EXPECT_EQ(plat_last_error(), ERR_TIMEOUT);
  EXPECT_GE(fake_clock_now() - start, 15000u);
}

TEST_F(VersionTest, SecondLineIsReadInDecimal) {
  fake_serial_feed("Bootloader Version: 1B.0\r\nUL 2.10\r\n");
  VersionRecord v = {}, second = {};
  EXPECT_TRUE(read_bootloader_version(port, 15000, true, true, &v, &second));
  EXPECT_EQ(v.major, 27);
  EXPECT_EQ(second.major, 2);
  EXPECT_EQ(second.minor, 10);
}

TEST_F(VersionTest, UnparseableOrEndlessLinesCountAsTimeOuts) {
  fake_serial_feed("Bootloader Version: ???\r\n");
  VersionRecord v = {}, second = {};
  plat_set_last_error(0);
  EXPECT_FALSE(read_bootloader_version(port, 15000, true, false, &v, &second));
  EXPECT_EQ(plat_last_error(), ERR_TIMEOUT);

  fake_serial_feed("Bootloader Version: " + std::string(3 * kReceiveBufferSize, '1'));
  EXPECT_FALSE(read_bootloader_version(port, 15000, true, false, &v, &second));
  EXPECT_EQ(plat_last_error(), ERR_TIMEOUT);

  g_fake_serial.hung_up = true;
  EXPECT_FALSE(read_bootloader_version(port, 15000, true, false, &v, &second));
  EXPECT_EQ(plat_last_error(), kErrReadAborted);
}

TEST_F(VersionTest, KeywordIsWrittenWithoutItsTerminator) {
  EXPECT_TRUE(send_keyword(port, "qkopacom\n\r", 1000));
  EXPECT_EQ(g_fake_serial.written, "qkopacom\n\r");
}

}  // namespace
