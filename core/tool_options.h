// The tool's command-line options as data: the one table the tool parses
// its command line with, and the station reads the words it hands to every
// run against.
#pragma once
#include <cstddef>
#include <string>

struct ToolOption {
  const char* name;  // the long name
  bool takes_argument;
  int value;  // the letter, or one of the values below
};

// The values of the long options without a letter: the second name of -!,
// --journal, --events and --station.
constexpr int kSilentSyncWestOption = 0x100 + '!';
constexpr int kJournalOption = 0x200;
constexpr int kEventsOption = 0x201;
constexpr int kStationOption = 0x202;
// --trust TRUST and --signature SIG: a signed run.
constexpr int kTrustOption = 0x203;
constexpr int kSignatureOption = 0x204;
// --unit ID and --operator NAME: who and what the records are about.
constexpr int kUnitOption = 0x205;
constexpr int kOperatorOption = 0x206;

// The letters, in getopt's notation ("p:" takes an argument).
extern const char kToolShortOptions[];

// The long options, in the order the usage text lists them. The first
// kToolFullOnlyCount are matched only when written in full ("--journal",
// "--journal=FILE"); every other word reads against the rest, so that their
// prefixes stay what they were before those existed. Long names 25 and 26
// carry the Latin-1 byte 0xFC.
constexpr size_t kToolFullOnlyCount = 7;
// The i-th long option, or nullptr past the end.
const ToolOption* tool_option(size_t i);

// One command-line word read as the tool reads it. `values` are the options
// it sets, in order ("-wp" sets 'w' and 'p'); `argument_follows` is true
// when the last of them takes the next word as its argument. A word that
// is no option (the file) has kind kArgument; one the tool would refuse
// (unknown, ambiguous, an argument missing or unwanted) kRefused.
struct ToolWord {
  enum Kind { kArgument, kOptions, kRefused } kind = kArgument;
  std::string values;  // option values below 0x100; see has_value for others
  bool journal = false, events = false, station = false;
  bool trust = false, signature = false;
  bool unit = false, operator_name = false;
  bool argument_follows = false;
  std::string inline_argument;  // "--journal=FILE", "-s3": the part after
};
ToolWord read_tool_word(const std::string& word);

// True when `text` may stand in a record as a unit's serial or an
// operator's name: 1 to 64 characters of well-formed UTF-8, none of them a
// control character.
bool record_label_ok(const char* text);

// True when `w` sets the option `value` (a letter or one of the values above).
bool tool_word_sets(const ToolWord& w, int value);
