#include "image/bootloader_table.h"

#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t word(uint32_t major, uint32_t minor) { return (major << 16) | minor; }

TEST(BootloaderTable, GroupsInOrder) {
  // Version text, rows and fast flag of each run of equal version texts.
  struct Group {
    const char* version;
    size_t rows;
    int fast;
  };
  const Group expected[] = {{"21.0", 6, 0},  {"22.0", 6, 0},  {"23.0", 6, 1},  {"24.0", 6, 1},
                            {"25.0", 20, 0}, {"27.0", 20, 1}, {"28.0", 20, 1}, {"29.0", 12, 1},
                            {"30.0", 12, 1}, {"32.0", 20, 1}, {"33.0", 22, 1}, {"34.0", 21, 1},
                            {"0.1", 18, 1},  {"0.0", 6, 0}};
  size_t i = 0;
  for (const Group& g : expected) {
    for (size_t k = 0; k < g.rows; ++k, ++i) {
      const BootloaderRow* row = bootloader_row(i);
      ASSERT_NE(row, nullptr) << i;
      EXPECT_STREQ(row->version, g.version) << i;
      EXPECT_EQ(row->fast_capable, g.fast) << i;
    }
  }
  EXPECT_EQ(i, 195u);
  EXPECT_EQ(bootloader_row(195), nullptr);
}

TEST(BootloaderTable, FormatOrderWithinGroups) {
  // "34.0" lists 11 before 10; "33.0" has 6 and 10 that others lack.
  const uint8_t g34[] = {5,  11, 10, 16, 17, 19, 20, 21, 22, 23, 24,
                         25, 32, 33, 35, 36, 37, 38, 39, 40, 41};
  size_t first34 = 0;
  while (std::strcmp(bootloader_row(first34)->version, "34.0") != 0) ++first34;
  EXPECT_EQ(first34, 150u);
  for (size_t k = 0; k < sizeof g34; ++k) {
    EXPECT_EQ(bootloader_row(first34 + k)->format, g34[k]) << k;
  }
  EXPECT_EQ(bootloader_row(0)->format, 16);
  EXPECT_EQ(bootloader_row(194)->format, 22);
}

TEST(BootloaderTable, KnownFormats) {
  const uint8_t known[] = {5,  6,  10, 11, 16, 17, 19, 20, 21, 22, 23,
                           24, 25, 32, 33, 35, 36, 37, 38, 39, 40, 41};
  bool is_known[256] = {};
  for (uint8_t f : known) is_known[f] = true;
  for (int f = 0; f < 256; ++f) {
    EXPECT_EQ(is_known_format(static_cast<uint8_t>(f)), is_known[f]) << f;
  }
  EXPECT_FALSE(is_known_format(18));
  EXPECT_FALSE(is_known_format(34));
  EXPECT_FALSE(is_known_format(0));
}

TEST(BootloaderTable, FastCapable) {
  EXPECT_TRUE(is_fast_capable(word(23, 0), 21));   // row says fast
  EXPECT_FALSE(is_fast_capable(word(25, 0), 21));  // row says slow
  EXPECT_TRUE(is_fast_capable(word(26, 0), 5));    // no row, major 26
  EXPECT_FALSE(is_fast_capable(word(24, 0), 5));   // no row, slow major
  EXPECT_TRUE(is_fast_capable(word(24, 0), 16));   // row beats the major rule
  EXPECT_TRUE(is_fast_capable(word(29, 0), 23));   // group lacks 23
  EXPECT_TRUE(is_fast_capable(1, 20));             // server run: "0.1"
  EXPECT_FALSE(is_fast_capable(0, 20));            // "0.0" row
  EXPECT_TRUE(is_fast_capable(0, 5));              // "0.0" lacks 5: major 0
  // Minor numbers count: 21.1 has no row, so the slow major decides.
  EXPECT_FALSE(is_fast_capable(word(21, 1), 16));
  EXPECT_TRUE(is_fast_capable(word(23, 7), 16));
  EXPECT_TRUE(is_fast_capable(0xFFFFFFFF, 16));
  // Decimal text: 0x15 is major 21 ("21.0"), not "15.0".
  EXPECT_FALSE(is_fast_capable(0x00150000, 16));
}

}  // namespace
