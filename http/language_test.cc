#include "http/language.h"

#include "gtest/gtest.h"

namespace {

TEST(HttpLanguage, ThePreferredOfferedTagElseTheDefault) {
  struct Case {
    const char* accept;
    size_t want;  // 0 en, 1 de
  } cases[] = {
      {"", 0},
      {"de", 1},
      {"de-DE,de;q=0.9,en;q=0.8", 1},
      {"en,de;q=0.5", 0},
      {"en-US,en;q=0.9,de;q=0.8", 0},
      {"*", 0},
      {"DE-at", 1},
      {"fr-FR,fr;q=0.9", 0},
      {"fr, de;q=0.3", 1},
      {"de;q=0", 0},
      {"de;q=0, *", 0},  // named and refused: "*" does not bring it back
      {"en;q=0, *", 1},  // "*" for the tag no range names
      {"en;q=0.5, *;q=0.6", 1},
      {"de;q=0.5,en;q=0.5", 0},              // a tie: the default
      {"en;q=0.4,de-CH;q=0.2,de;q=0.7", 1},  // the best range naming a tag
      {"de;q=0.701,en;q=0.7", 1},
      {"de; q = 0.1 ,en;q=0.8", 0},  // blanks around '=' taken as they are meant
      {"  de ; q=0.9 , en ; q=0.8 ", 1},
      {"de;level=1;q=0.9,en;q=0.8", 1},
      {"de;Q=0.9,en;q=0.95", 0},
      {"de;q=2,en;q=0.1", 0},       // out of range: skipped
      {"de;q=0.5555,en;q=0.1", 0},  // four places: skipped
      {"de;q=abc,en;q=0.1", 0},
      {"dee,en;q=0.1", 0},  // another language, not a longer "de"
      {",,;q=1,de", 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(http_pick_language(c.accept, {"en", "de"}), c.want) << "'" << c.accept << "'";
}

}  // namespace
