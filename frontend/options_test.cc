#include "frontend/options.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/messages.h"
#include "frontend/driver.h"

namespace {

// The value getopt_long gives the word `word` ("--name", or a prefix of it)
// against the table the parse would use for it: the option's letter ('!'
// for both silent entries), the value of a long option without a letter,
// or '?' when it fits no entry or several.
int long_option_value(const char* word) {
  char program[] = "update";
  std::string copy = word;
  char value[] = "x";
  char* argv[] = {program, copy.data(), value, nullptr};
  optind = 0;
  opterr = 0;
  int c = getopt_long(3, argv, "", long_options_for(word), nullptr);
  opterr = 1;
  return c == kSilentSyncWestOption ? '!' : c;
}

// Parses `args` (after the program name) into fresh settings.
struct Parsed {
  RunSettings s;
  int first_arg;
  std::vector<std::string> rest;
};

Parsed parse(std::vector<std::string> args) {
  static std::vector<std::string> storage;
  storage = args;
  storage.insert(storage.begin(), "update");
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p;
  settings_reset(&p.s);
  p.first_arg = parse_options((int)storage.size(), argv.data(), &p.s);
  for (int i = p.first_arg; i < (int)storage.size(); i++) p.rest.push_back(argv[i]);
  return p;
}

// Runs a parse that must end the process; stdin is empty so the exit
// routine's pause ends at once.
#define EXPECT_PARSE_EXIT(args, code, stderr_regex) \
  EXPECT_EXIT(                                      \
      {                                             \
        std::freopen("/dev/null", "r", stdin);      \
        parse(args);                                \
      },                                            \
      ::testing::ExitedWithCode(code), stderr_regex)

TEST(Options, FlagsAndValues) {
  Parsed p =
      parse({"-b", "-l", "-r", "-R", "-S", "-w", "-F", "-U", "x", "-!", "-p", "13", "box.pad"});
  EXPECT_FALSE(p.s.send_keyword);
  EXPECT_FALSE(p.s.grant_optional);
  EXPECT_TRUE(p.s.loop && p.s.revision && p.s.read_after_sync && p.s.two_stop_bits);
  EXPECT_TRUE(p.s.beep && p.s.force_fast && p.s.silent_sync);
  EXPECT_EQ(p.s.com_port, 13);
  ASSERT_EQ(p.rest.size(), 1u);
  EXPECT_EQ(p.rest[0], "box.pad");
  EXPECT_FALSE(p.s.network);

  p = parse({"-u", "x"});
  EXPECT_TRUE(p.s.urloader);
  EXPECT_FALSE(p.s.grant_optional);
  p = parse({"-X", "x"});
  EXPECT_TRUE(p.s.patch);
  EXPECT_FALSE(p.s.grant_optional);
  p = parse({"-f", "x"});
  EXPECT_TRUE(p.s.fast);
  EXPECT_EQ(p.s.target_baud, 230400u);
  EXPECT_EQ(p.s.baud_code, 0xF0);
  EXPECT_FALSE(p.s.grant_optional);
}

TEST(Options, OptionsMayFollowTheFile) {
  Parsed p = parse({"box.pad", "-w", "-p", "2"});
  EXPECT_TRUE(p.s.beep);
  EXPECT_EQ(p.s.com_port, 2);
  ASSERT_EQ(p.rest.size(), 1u);
  EXPECT_EQ(p.rest[0], "box.pad");
  p = parse({"-w", "--", "-p"});
  ASSERT_EQ(p.rest.size(), 1u);
  EXPECT_EQ(p.rest[0], "-p");
}

TEST(Options, PosixlyCorrectEndsOptionsAtTheFirstOtherArgument) {
  setenv("POSIXLY_CORRECT", "1", 1);
  Parsed p = parse({"box.pad", "-w", "-p", "2"});
  unsetenv("POSIXLY_CORRECT");
  EXPECT_FALSE(p.s.beep);
  EXPECT_EQ(p.rest.size(), 4u);
}

TEST(Options, SpeedIndexesAndRates) {
  Parsed p = parse({"-s", "2", "x"});
  EXPECT_EQ(p.s.target_baud, 460800u);
  EXPECT_EQ(p.s.baud_code, 0xF1);
  EXPECT_TRUE(p.s.fast);
  p = parse({"-s", "3", "x"});
  EXPECT_EQ(p.s.target_baud, 921600u);
  EXPECT_EQ(p.s.baud_code, 0xF2);
  p = parse({"--speed=7", "x"});
  EXPECT_EQ(p.s.target_baud, 230400u);
  p = parse({"-s", "57600", "x"});
  EXPECT_EQ(p.s.target_baud, 57600u);
  EXPECT_EQ(p.s.baud_code, 0xF0);
  p = parse({"-s", "921600", "x"});
  EXPECT_EQ(p.s.baud_code, 0xF2);
  // Negative numbers are rates too, not indexes.
  p = parse({"-s", "-3", "x"});
  EXPECT_EQ(p.s.target_baud, (uint32_t)-3);
}

TEST(Options, SpeedZeroEndsSilently) {
  EXPECT_EXIT(
      {
        testing::internal::CaptureStdout();
        parse({"-s", "0", "x"});
      },
      ::testing::ExitedWithCode(1), "^$");
}

TEST(Options, NumbersReadLikeAtoi) {
  EXPECT_EQ(option_number("  42abc"), 42);
  EXPECT_EQ(option_number("-7"), -7);
  EXPECT_EQ(option_number("+8"), 8);
  EXPECT_EQ(option_number("abc"), 0);
  EXPECT_EQ(option_number(""), 0);
}

TEST(Options, KeywordOptionsLaterWins) {
  EXPECT_STREQ(parse({"-n", "-5", "x"}).s.wake_keyword, "qkopacom\n\r");
  EXPECT_STREQ(parse({"-5", "-n", "x"}).s.wake_keyword, "qkopanew");
  EXPECT_FALSE(parse({"-n", "x"}).s.grant_optional);
  EXPECT_TRUE(parse({"-5", "x"}).s.grant_optional);
}

TEST(Options, NetworkSettings) {
  Parsed p = parse({"-i", "127.0.0.1", "x"});
  EXPECT_STREQ(p.s.host, "127.0.0.1");
  EXPECT_TRUE(p.s.network);
  EXPECT_EQ(p.s.tcp_port, 0);

  p = parse({"-N", "-j", "7000", "x"});
  EXPECT_STREQ(p.s.host, kDefaultBoxAddress);
  EXPECT_EQ(p.s.tcp_port, 7000);
  p = parse({"-j", "7000", "-N", "x"});
  EXPECT_EQ(p.s.tcp_port, 2376);
  p = parse({"-j", "70000", "x"});
  EXPECT_EQ(p.s.tcp_port, 70000);
  EXPECT_TRUE(p.s.network);
  EXPECT_EQ(p.s.host, nullptr);
}

TEST(Options, UpdateServerSettings) {
  Parsed p = parse({"-I"});
  EXPECT_STREQ(p.s.host, kUpdateHostName);
  EXPECT_EQ(p.s.tcp_port, 4242);
  EXPECT_TRUE(p.s.network && p.s.server);
  EXPECT_EQ(p.s.channel, 2);
  EXPECT_EQ(p.s.server_command, 1);
  EXPECT_EQ(parse({"-4", "-I"}).s.tcp_port, 80);
  EXPECT_EQ(parse({"-I", "-4"}).s.tcp_port, 80);
  EXPECT_EQ(parse({"-I", "-j", "1234"}).s.tcp_port, 1234);
  EXPECT_EQ(parse({"--internet=ignored"}).s.tcp_port, 4242);
  EXPECT_EQ(parse({"-0"}).s.channel, 0);
  EXPECT_EQ(parse({"--beta"}).s.channel, 1);
  EXPECT_EQ(parse({"-3", "-2"}).s.channel, 2);
  EXPECT_EQ(parse({"--intern"}).s.channel, 3);

  for (const char* word : {"update", "UPDATE", "Update2", "Update-now"}) {
    p = parse({"-C", word});
    EXPECT_EQ(p.s.server_command, 2) << word;
    EXPECT_TRUE(p.s.server);
    EXPECT_FALSE(p.s.network);
  }
  for (const char* word : {"upd", "status", ""}) EXPECT_EQ(parse({"-C", word}).s.server_command, 1);
  EXPECT_EQ(parse({"-C", "update", "-C", "query"}).s.server_command, 1);
}

TEST(Options, LongPrefixes) {
  EXPECT_TRUE(parse({"--fas", "x"}).s.fast);
  EXPECT_TRUE(parse({"--factory", "x"}).s.grant_optional == false);
  EXPECT_TRUE(parse({"--Vortans_super_duper_spezial_Version_f\xFCr_Ost", "x"}).s.silent_sync);
  EXPECT_TRUE(parse({"--Vortans_super_duper_spezial_Version_f\xFCr_Westrelin", "x"}).s.silent_sync);
}

TEST(Options, AmbiguousPrefixesAreRejected) {
  EXPECT_PARSE_EXIT(std::vector<std::string>({"--fa", "x"}), 1, "ambiguous");
  // Both entries stand for -!, yet a prefix that fits both is ambiguous.
  EXPECT_PARSE_EXIT(std::vector<std::string>({"--Vortans", "x"}), 1, "ambiguous");
  EXPECT_PARSE_EXIT(
      std::vector<std::string>({"--Vortans_super_duper_spezial_Version_f\xFCr_", "x"}), 1,
      "ambiguous");
}

TEST(Options, RejectedOptionsPrintTheDiagnosticThenTheUsage) {
  EXPECT_PARSE_EXIT(std::vector<std::string>({"-q", "x"}), 1,
                    "invalid option -- 'q'\nupdate \\\\ \n");
  EXPECT_PARSE_EXIT(std::vector<std::string>({"-p"}), 1, "requires an argument");
  EXPECT_PARSE_EXIT(std::vector<std::string>({"--loop=1", "x"}), 1, "doesn't allow an argument");
  EXPECT_PARSE_EXIT(std::vector<std::string>({"--command", "x"}), 1, "PAD-File");
}

TEST(Options, VersionEndsWithCodeZeroAndReadsNoFurtherOptions) {
  EXPECT_EXIT(
      {
        std::freopen("/dev/null", "w", stdout);
        parse({"-v", "-q"});
      },
      ::testing::ExitedWithCode(0), "^$");
}

TEST(Usage, EnglishListsEightOptionsInColumns) {
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  set_language(0);
  print_usage(f, "/bin/update", 0);
  std::fclose(f);
  std::string usage(text, size);
  std::free(text);
  EXPECT_EQ(usage,
            "/bin/update \\ \n"
            "   [-l] [--loop] [-i <arg>] [--ipaddr <arg>] [-j <arg>] [--ipport <arg>] \\ \n"
            "   [-n] [--factorysettings] [-f] [--fast] [-p <arg>] [--port <arg>] \\ \n"
            "   [-v] [--version] [-w] [--wakeup] <file> \n\n"
            "-l --loop            "
            " Enter loop mode while updating\n"
            "-i --ipaddr          "
            " IP address for network update\n"
            "-j --ipport          "
            " port number for network update\n"
            "-n --factorysettings "
            " Activate factory settings of new application software\n"
            "-f --fast            "
            " fast download\n"
            "-p --port            "
            " Choose COM port: -p <arg> / <arg>=1..12, default=1\n"
            "-v --version         "
            " Print version of this software\n"
            "-w --wakeup          "
            " Wakeup beep after update\n"
            " <file> : PAD-File\n");
}

TEST(Usage, GermanListsNoOptions) {
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  print_usage(f, "aktualisieren", 1);
  std::fclose(f);
  EXPECT_EQ(std::string(text, size), "aktualisieren \\ \n   <file> \n\n <file> : PAD-File\n");
  std::free(text);
}

TEST(Version, ListsEachBootloaderVersionOnceByMajor) {
  RunSettings s;
  char* argv0 = const_cast<char*>("C:\\tools\\qlnaktualisieren.exe");
  start_up(1, &argv0, &s);
  EXPECT_EQ(current_language(), 1);
  set_language(0);
  char* text = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&text, &size);
  print_version(f, s);
  std::fclose(f);
  std::string out(text, size);
  std::free(text);
  EXPECT_EQ(out.substr(0, out.find('\n')), "aktualisieren.exe 3.6-25");
  size_t list = out.find("versions: \n");
  ASSERT_NE(list, std::string::npos);
  EXPECT_EQ(out.substr(list + 11),
            "\n\t21.0  21.* \n\t22.0  22.* \n\t23.0  23.* \n\t24.0  24.* \n\t25.0  25.* "
            "\n\t27.0  27.* \n\t28.0  28.* \n\t29.0  29.* \n\t30.0  30.* \n\t32.0  32.* "
            "\n\t33.0  33.* \n\t34.0  34.* \n\t 0.1   0.0  \n");
}

TEST(StartUp, LanguageAndShownNameComeFromTheProgramPath) {
  RunSettings s;
  struct Case {
    const char* path;
    const char* shown;
    int language;
  } cases[] = {
      {"/opt/qln/bin/qlnaktualisieren.exe", "aktualisieren.exe", 1},
      {"AKTUALISIEREN", "AKTUALISIEREN", 1},
      {"C:\\bin\\UPDATE.EXE", "UPDATE.EXE", 0},
      {"./box.exe", "box.exe", 0},
      {"QlnUpdate", "Update", 0},
      {"qln", "", 0},
  };
  for (const Case& c : cases) {
    char* argv0 = const_cast<char*>(c.path);
    start_up(1, &argv0, &s);
    EXPECT_STREQ(s.program_name, c.shown) << c.path;
    EXPECT_EQ(current_language(), c.language) << c.path;
  }
  EXPECT_EQ(s.revision_numbers[0], 3);
  EXPECT_EQ(s.revision_numbers[1], 6);
  EXPECT_EQ(s.revision_numbers[2], 25);
  set_language(0);
}

// Every prefix of every long name the tool had before --journal still picks
// what it picked then: the entry it alone fits (or names in full), or no
// entry when it fitted several. A new name that shares a first letter with
// an old one would turn some of these ambiguous.
TEST(Options, OldLongPrefixesResolveAsBefore) {
  struct Old {
    const char* name;
    int letter;
  };
  static const Old kOld[] = {
      {"bootloader", 'b'},
      {"command", 'c'},
      {"loop", 'l'},
      {"ipaddr", 'i'},
      {"internet", 'I'},
      {"ipport", 'j'},
      {"factorysettings", 'n'},
      {"fast", 'f'},
      {"port", 'p'},
      {"revision", 'r'},
      {"readaftersync", 'R'},
      {"speed", 's'},
      {"stopbit2", 'S'},
      {"urloader", 'u'},
      {"USB", 'U'},
      {"version", 'v'},
      {"wakeup", 'w'},
      {"patch", 'x'},
      {"ppatch", 'X'},
      {"beta", '1'},
      {"freigegeben", '2'},
      {"intern", '3'},
      {"http", '4'},
      {"hw", '5'},
      {"Vortans_super_duper_spezial_Version_f\xFCr_Ostrelin", '!'},
      {"Vortans_super_duper_spezial_Version_f\xFCr_Westrelin", '!'},
  };
  int checked = 0;
  for (const Old& o : kOld) {
    const std::string name = o.name;
    for (size_t len = 1; len <= name.size(); len++) {
      const std::string prefix = name.substr(0, len);
      int fits = 0, exact = 0;
      for (const Old& other : kOld) {
        if (std::strncmp(other.name, prefix.c_str(), len) != 0) continue;
        fits++;
        if (std::strlen(other.name) == len) exact = other.letter;
      }
      int expected = exact ? exact : fits == 1 ? o.letter : '?';
      EXPECT_EQ(long_option_value(("--" + prefix).c_str()), expected) << "--" << prefix;
      checked++;
    }
  }
  EXPECT_GT(checked, 200);
  // The options without a letter answer only to their full names.
  struct Word {
    const char* word;
    int value;
  } words[] = {
      {"--journal", kJournalOption},
      {"--journal=j", kJournalOption},
      {"--events", kEventsOption},
      {"--events=e", kEventsOption},
      {"--j", '?'},
      {"--journa", '?'},
      {"--journals", '?'},
      {"--e", '?'},
      {"--event=e", '?'},
      {"--events2", '?'},
      {"--station", kStationOption},
      {"--station=l3", kStationOption},
      {"--statio", '?'},
      {"--stations", '?'},
      {"--trust", kTrustOption},
      {"--trust=t", kTrustOption},
      {"--trus", '?'},
      {"--signature=s.sig", kSignatureOption},
      {"--sig", '?'},
      {"--unit=SN1", kUnitOption},
      {"--uni", '?'},
      {"--operator", kOperatorOption},
      {"--oper=x", '?'},
  };
  for (const Word& w : words) EXPECT_EQ(long_option_value(w.word), w.value) << w.word;
}

// A slip such as "--j" for "-j" fails as it did before --journal existed,
// with the same diagnostic, and never names a journal.
TEST(Options, FullOnlyOptionsRejectTheirPrefixes) {
  EXPECT_PARSE_EXIT(std::vector<std::string>({"-i", "host", "--j", "2376", "box.pad"}), 1,
                    "^update: unrecognized option '--j'\nupdate \\\\ \n");
  EXPECT_PARSE_EXIT(std::vector<std::string>({"--ev=x", "box.pad"}), 1,
                    "^update: unrecognized option '--ev=x'\n");
  EXPECT_PARSE_EXIT(std::vector<std::string>({"box.pad", "--events"}), 1,
                    "^update: option '--events' requires an argument\n");
  // An empty name fits every entry: the list of the old ones, nothing more.
  EXPECT_PARSE_EXIT(std::vector<std::string>({"--=x"}), 1,
                    "^update: option '--=x' is ambiguous; possibilities: '--bootloader' "
                    "'--command' .*Westrelin'\nupdate ");
}

// A unit's serial and an operator's name go into every record as given,
// or the run ends before anything else with exit code 2.
TEST(Options, UnitAndOperatorAreCheckedLabels) {
  struct Case {
    std::string text;
    bool ok;
  } cases[] = {
      {"SN-0042/7", true},
      {"J\xc3\xbcrgen M\xc3\xbcller", true},
      {std::string(64, 'a'), true},
      {std::string(32, '\xc3') + "", false},
      {std::string(65, 'a'), false},
      {"", false},
      {"SN\t1", false},
      {"SN\x1b[2J", false},
      {"\xc2\x9b", false},
      {"SN\x7f", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.ok) {
      EXPECT_EQ(parse({"--unit", c.text, "--operator=" + c.text, "x"}).s.unit, c.text);
      EXPECT_EQ(parse({"--operator=" + c.text, "x"}).s.operator_name, c.text);
      continue;
    }
    EXPECT_PARSE_EXIT(std::vector<std::string>({"--unit", c.text, "x"}), 2,
                      "^update: --unit wants 1 to 64 printable characters\n$");
    EXPECT_PARSE_EXIT(std::vector<std::string>({"x", "--operator=" + c.text}), 2,
                      "^update: --operator wants 1 to 64 printable characters\n$");
  }
  // 64 characters of two bytes each still fit.
  std::string wide;
  for (int i = 0; i < 64; i++) wide += "\xc3\xa4";
  EXPECT_EQ(parse({"--unit", wide, "x"}).s.unit, wide);
}

TEST(Options, PortByDevicePathAndJournal) {
  Parsed p = parse({"-p", "/dev/serial/by-id/usb-x", "--journal", "line3.jsonl", "x"});
  EXPECT_STREQ(p.s.port_path, "/dev/serial/by-id/usb-x");
  EXPECT_STREQ(p.s.journal_path, "line3.jsonl");
  // The later -p wins, whichever form it takes; a relative name is no path.
  p = parse({"-p", "/dev/ttyUSB0", "-p", "3", "x"});
  EXPECT_EQ(p.s.port_path, nullptr);
  EXPECT_EQ(p.s.com_port, 3);
  p = parse({"-p", "dev/ttyUSB0", "x"});
  EXPECT_EQ(p.s.port_path, nullptr);
  EXPECT_EQ(p.s.com_port, 0);
  // The device form of old scripts names the port on every system.
  for (const char* old : {"COM3:", "com3:", "Com12:"}) {
    p = parse({"-p", "/dev/ttyUSB0", "-p", old, "x"});
    EXPECT_EQ(p.s.port_path, nullptr) << old;
    EXPECT_EQ(p.s.com_port, old[3] == '3' ? 3 : 12) << old;
  }
  EXPECT_EQ(parse({"-p", "COM3:x", "x"}).s.com_port, 0);
  // The records' station: the name given, else none (the host name).
  EXPECT_STREQ(parse({"--station", "line 3/a", "x"}).s.station, "line 3/a");
  EXPECT_STREQ(parse({"x", "--station=l2"}).s.station, "l2");
  EXPECT_EQ(parse({"x"}).s.station, nullptr);
  EXPECT_EQ(parse({"x"}).s.journal_path, nullptr);
  // Both spellings, after the file too; the argument may begin with "-".
  p = parse({"box.pad", "--events", "-ev.jsonl", "-w", "--journal=j.jsonl"});
  EXPECT_STREQ(p.s.events_path, "-ev.jsonl");
  EXPECT_STREQ(p.s.journal_path, "j.jsonl");
  EXPECT_TRUE(p.s.beep);
  ASSERT_EQ(p.rest.size(), 1u);
  EXPECT_EQ(p.rest[0], "box.pad");
  EXPECT_STREQ(parse({"--events=e", "x"}).s.events_path, "e");
  EXPECT_EQ(parse({"x"}).s.events_path, nullptr);
  // As an option's argument it is no option.
  EXPECT_STREQ(parse({"-i", "--journal", "x"}).s.host, "--journal");
}

}  // namespace
