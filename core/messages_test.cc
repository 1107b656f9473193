#include "core/messages.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

// Restores English whatever a test selected.
struct Language : ::testing::Test {
  void TearDown() override { set_language(0); }
};

TEST_F(Language, DefaultIsEnglishAndSwitches) {
  EXPECT_EQ(current_language(), 0);
  EXPECT_STREQ(message(61), "Time out ");
  set_language(1);
  EXPECT_EQ(current_language(), 1);
  EXPECT_STREQ(message(61), "Zeitueberschreitung ");
  set_language(0);
  EXPECT_STREQ(message(61), "Time out ");
}

TEST_F(Language, SpotChecksKeepTheirBlanks) {
  EXPECT_STREQ(message(0), "parameter a");
  EXPECT_STREQ(message(15), " Choose COM port: -p <arg> / <arg>=1..12, default=1");
  EXPECT_STREQ(message(38), "Checking file ...");
  EXPECT_STREQ(message(39), " failed. Abort!");
  EXPECT_STREQ(message(41), "Inititialization of COM-port failed (Error: ");
  EXPECT_STREQ(message(46), "Done!                   ");
  EXPECT_STREQ(message(69), "error updating image");
  EXPECT_STREQ(message(87), "Unknown PAD-file format ");
  EXPECT_STREQ(message(93),
               "Attention, if you really want to use option -x enter:\n"
               "    YES, I want to use it\nor  NO, by no means");
  EXPECT_STREQ(message(107), "UL version");
  set_language(1);
  EXPECT_STREQ(message(38), "Datei pruefen ...");
  EXPECT_STREQ(message(58),
               "Bitte warten Sie auf das Ende des Aktualisierungsvorganges "
               "(ca. 15min)");
  EXPECT_STREQ(message(92),
               "ACHTUNG: Box kann Aktualisierung nur mit einfacher "
               "Geschwindigkeit erledigen.");
  EXPECT_STREQ(message(107), "UL Version:");
}

TEST_F(Language, GermanHundredHasTheOneLatin1Byte) {
  set_language(1);
  EXPECT_STREQ(message(100), "Keine Verbindung zur Box m\xF6glich");
  for (int lang = 0; lang < 2; ++lang) {
    set_language(lang);
    for (int n = 0; n < kMessageCount; ++n) {
      for (const char* p = message(n); *p; ++p) {
        bool expected_high = lang == 1 && n == 100;
        if (static_cast<unsigned char>(*p) >= 0x80) {
          EXPECT_TRUE(expected_high) << "message " << n;
          EXPECT_EQ(static_cast<unsigned char>(*p), 0xF6);
        }
      }
    }
  }
}

TEST_F(Language, ReadyAndDoneRelation) {
  EXPECT_STREQ(message(40), " OK");
  EXPECT_STREQ(message(80), "ready.");
  set_language(1);
  EXPECT_STREQ(message(40), " OK");
  std::string done = message(46);
  EXPECT_EQ(done.substr(0, done.find_last_not_of(' ') + 1), message(80));
  EXPECT_STREQ(message(80), "Fertig!");
}

TEST_F(Language, HelpTexts) {
  // English: shown, hidden ("!") or placeholder, by the first character.
  for (int n = 0; n < 36; ++n) {
    const char* text = message(n);
    char option = n < 26 ? static_cast<char>('a' + n) : static_cast<char>('0' + n - 26);
    if (text[0] != ' ' && text[0] != '!') {
      EXPECT_EQ(std::string(text), std::string("parameter ") + option);
    }
  }
  // German: every one a placeholder, so the usage text lists none.
  set_language(1);
  for (int n = 0; n < 36; ++n) {
    char option = n < 26 ? static_cast<char>('a' + n) : static_cast<char>('0' + n - 26);
    EXPECT_EQ(std::string(message(n)), std::string("Parameter ") + option);
  }
}

TEST_F(Language, NoCarriageReturnOrTabAndNoEmptyText) {
  for (int lang = 0; lang < 2; ++lang) {
    set_language(lang);
    for (int n = 0; n < kMessageCount; ++n) {
      EXPECT_GT(std::strlen(message(n)), 0u) << lang << "/" << n;
      EXPECT_EQ(std::strpbrk(message(n), "\r\t"), nullptr) << lang << "/" << n;
    }
  }
}

}  // namespace
