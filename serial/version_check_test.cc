#include "serial/version_check.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "serial/port.h"
#include "tests/fakes/fake_platform.h"

namespace {

struct Outcome {
  uint32_t version_word;
  bool patch;
  std::string out;
};

Outcome check(uint32_t file_version, uint16_t major, uint16_t minor, bool patch,
              bool show_second = false) {
  fake_serial_reset();
  Outcome o = {file_version, patch, ""};
  testing::internal::CaptureStdout();
  check_box_version(1, &o.version_word, &major, &minor, &o.patch, show_second, {4, 12, 0});
  o.out = testing::internal::GetCapturedStdout();
  return o;
}

TEST(VersionCheck, EqualVersionsSendTheImageUnchanged) {
  Outcome o = check(0x00170000, 23, 0, false);
  EXPECT_EQ(o.version_word, 0x00170000u);
  EXPECT_FALSE(o.patch);
  EXPECT_EQ(o.out, "Access to bootloader version:  23.0\n");
  o = check(0x00170000, 23, 0, true, true);
  EXPECT_EQ(o.version_word, 0x00170000u);
  EXPECT_EQ(o.out, "Access to bootloader version:  23.0\nUL version 4.12\n");
}

TEST(VersionCheck, PatchTakesTheBoxVersion) {
  Outcome o = check(0x00180000, 23, 2, true);
  EXPECT_EQ(o.version_word, 0x00170002u);
  EXPECT_TRUE(o.patch);
}

TEST(VersionCheck, UnprogrammedBoxTakesTheFilesVersion) {
  Outcome o = check(0x00180001, 0xFFFF, 0xFFFF, false);
  EXPECT_TRUE(o.patch);
  EXPECT_EQ(o.version_word, 0x00180001u);
  EXPECT_EQ(o.out,
            "Access to bootloader version:  65535.65535\n"
            "Access to bootloader version:  24.1\n");
}

// The mismatch (message 68, filler block, exit 1) is covered end to end.

}  // namespace
