#include "core/tool_options.h"

#include <cstring>

#include "core/visible.h"

const char kToolShortOptions[] = "bC:fFi:Ij:lnNp:rRs:SuU:vwxX!012345";

namespace {

const ToolOption kOptions[] = {
    {"journal", true, kJournalOption},
    {"events", true, kEventsOption},
    {"station", true, kStationOption},
    {"trust", true, kTrustOption},
    {"signature", true, kSignatureOption},
    {"unit", true, kUnitOption},
    {"operator", true, kOperatorOption},
    {"bootloader", false, 'b'},
    {"command", false, 'c'},
    {"loop", false, 'l'},
    {"ipaddr", true, 'i'},
    {"internet", true, 'I'},
    {"ipport", true, 'j'},
    {"factorysettings", false, 'n'},
    {"fast", false, 'f'},
    {"port", true, 'p'},
    {"revision", false, 'r'},
    {"readaftersync", false, 'R'},
    {"speed", true, 's'},
    {"stopbit2", false, 'S'},
    {"urloader", false, 'u'},
    {"USB", true, 'U'},
    {"version", false, 'v'},
    {"wakeup", false, 'w'},
    {"patch", false, 'x'},
    {"ppatch", false, 'X'},
    {"beta", false, '1'},
    {"freigegeben", false, '2'},
    {"intern", false, '3'},
    {"http", false, '4'},
    {"hw", false, '5'},
    {"Vortans_super_duper_spezial_Version_f\xFC"
     "r_Ostrelin",
     false, '!'},
    {"Vortans_super_duper_spezial_Version_f\xFC"
     "r_Westrelin",
     false, kSilentSyncWestOption},
};
constexpr size_t kCount = sizeof kOptions / sizeof kOptions[0];

void add_value(ToolWord* w, int value) {
  if (value == kJournalOption) w->journal = true;
  else if (value == kEventsOption) w->events = true;
  else if (value == kStationOption) w->station = true;
  else if (value == kTrustOption) w->trust = true;
  else if (value == kSignatureOption) w->signature = true;
  else if (value == kUnitOption) w->unit = true;
  else if (value == kOperatorOption) w->operator_name = true;
  else if (value < 0x100) w->values += (char)value;
  else w->values += '!';  // the second name of -!
}

// "--name[=value]" read as getopt_long reads it: an exact name wins, else
// a prefix that fits one option (or several identical ones).
ToolWord read_long(const std::string& word) {
  ToolWord w;
  w.kind = ToolWord::kRefused;
  std::string body = word.substr(2);
  size_t eq = body.find('=');
  std::string name = body.substr(0, eq);
  size_t first = kToolFullOnlyCount;
  for (size_t i = 0; i < kToolFullOnlyCount; i++)
    if (name == kOptions[i].name) first = 0;
  const ToolOption* found = nullptr;
  bool ambiguous = false;
  for (size_t i = first; i < kCount && !name.empty(); i++) {
    const ToolOption& o = kOptions[i];
    if (std::strncmp(o.name, name.c_str(), name.size()) != 0) continue;
    if (std::strlen(o.name) == name.size()) {
      found = &o;
      ambiguous = false;
      break;
    }
    if (!found) found = &o;
    else if (found->takes_argument != o.takes_argument || found->value != o.value) ambiguous = true;
  }
  if (!found || ambiguous) return w;
  if (eq != std::string::npos && !found->takes_argument) return w;
  w.kind = ToolWord::kOptions;
  add_value(&w, found->value);
  if (found->takes_argument) {
    if (eq != std::string::npos) w.inline_argument = body.substr(eq + 1);
    else w.argument_follows = true;
  }
  return w;
}

}  // namespace

const ToolOption* tool_option(size_t i) { return i < kCount ? &kOptions[i] : nullptr; }

ToolWord read_tool_word(const std::string& word) {
  ToolWord w;
  if (word.size() < 2 || word[0] != '-') return w;
  if (word[1] == '-') return read_long(word);
  // A cluster of letters: each until one that takes an argument, which
  // takes the rest of the word, or the next word when nothing is left.
  w.kind = ToolWord::kOptions;
  for (size_t i = 1; i < word.size(); i++) {
    char c = word[i];
    const char* at = c == ':' ? nullptr : std::strchr(kToolShortOptions, c);
    if (!at) {
      w.kind = ToolWord::kRefused;
      continue;
    }
    add_value(&w, c);
    if (at[1] == ':') {
      if (i + 1 < word.size()) w.inline_argument = word.substr(i + 1);
      else w.argument_follows = true;
      break;
    }
  }
  return w;
}

bool tool_word_sets(const ToolWord& w, int value) {
  if (value == kJournalOption) return w.journal;
  if (value == kEventsOption) return w.events;
  if (value == kTrustOption) return w.trust;
  if (value == kSignatureOption) return w.signature;
  return value < 0x100 && w.values.find((char)value) != std::string::npos;
}

bool record_label_ok(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t left = std::strlen(text), chars = 0;
  while (left > 0) {
    size_t n = *p < 0x80 ? 1 : utf8_sequence_length(p, left);
    if (n == 0 || *p < 0x20 || *p == 0x7F) return false;
    // U+0080..U+009F: the C1 controls.
    if (n == 2 && p[0] == 0xC2 && p[1] < 0xA0) return false;
    p += n;
    left -= n;
    if (++chars > 64) return false;
  }
  return chars > 0;
}
