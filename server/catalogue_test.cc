#include "server/catalogue.h"

#include "gtest/gtest.h"

namespace {

// One version, one name: a second spelling of the same number would make
// two files of one version, and the highest ambiguous.
TEST(ParseDotted, NamesTable) {
  struct Case {
    const char* text;
    int count;
    unsigned limit;
    const char* suffix;
    bool ok;
    unsigned a, b, c;
  } cases[] = {
      {"1.2.3.pad", 3, 255, ".pad", true, 1, 2, 3},
      {"0.0.10.pad", 3, 255, ".pad", true, 0, 0, 10},
      {"255.255.255.pad", 3, 255, ".pad", true, 255, 255, 255},
      {"256.0.0.pad", 3, 255, ".pad", false, 0, 0, 0},
      {"01.2.3.pad", 3, 255, ".pad", false, 0, 0, 0},
      {"1.2.pad", 3, 255, ".pad", false, 0, 0, 0},
      {"1.2.3.pad.tmp", 3, 255, ".pad", false, 0, 0, 0},
      {"1.2.3", 3, 255, ".pad", false, 0, 0, 0},
      {"1.x.3.pad", 3, 255, ".pad", false, 0, 0, 0},
      {"23.0", 2, 65535, "", true, 23, 0, 0},
      {"65535.65535", 2, 65535, "", true, 65535, 65535, 0},
      {"65536.0", 2, 65535, "", false, 0, 0, 0},
      {"99999999999.0", 2, 65535, "", false, 0, 0, 0},
      {"23.0.", 2, 65535, "", false, 0, 0, 0},
      {"-1.0", 2, 65535, "", false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    unsigned v[3] = {0, 0, 0};
    ASSERT_EQ(c.ok, parse_dotted(c.text, c.count, c.limit, c.suffix, v));
    if (c.ok) {
      EXPECT_EQ(c.a, v[0]);
      EXPECT_EQ(c.b, v[1]);
      if (c.count == 3) {
        EXPECT_EQ(c.c, v[2]);
      }
    }
  }
}

TEST(ChannelOf, NamesAndNumbers) {
  EXPECT_EQ(0, channel_of("alpha"));
  EXPECT_EQ(3, channel_of("development"));
  EXPECT_EQ(1, channel_of("1"));
  EXPECT_EQ(-1, channel_of("4"));
  EXPECT_EQ(-1, channel_of("Beta"));
  EXPECT_EQ(-1, channel_of("12"));
}

}  // namespace
