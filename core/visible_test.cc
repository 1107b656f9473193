#include "core/visible.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// What a box sends may hold terminal controls; only they change.
TEST(Visible, ControlsAreShownTextStays) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"ERROR: flash 3\r\n\tx", "ERROR: flash 3\r\n\tx"},
      {"\x1b[2J\x07x\x7f", "^[[2J^Gx^?"},
      {std::string("a\0b\x1f", 4), "a^@b^_"},
      // UTF-8 and Latin-1 letters stay; C1 controls, lone or in UTF-8, not.
      {"f\xC3\xBCr \xE2\x82\xAC f\xFCr \xA0", "f\xC3\xBCr \xE2\x82\xAC f\xFCr \xA0"},
      {"\x9b"
       "31m\xC2\x9b\x80",
       "M-^[31mM-^[M-^@"},
      // Broken UTF-8: its bytes one by one.
      {"\xE2\x82 \xC0\x9F", "\xE2M-^B \xC0M-^_"},
  };
  for (const Case& c : cases) EXPECT_EQ(visible_text(c.in.data(), c.in.size()), c.out) << c.in;
}

}  // namespace
