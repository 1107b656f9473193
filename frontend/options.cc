#include "frontend/options.h"

#include <getopt.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/exit.h"
#include "core/messages.h"
#include "core/tool_options.h"
#include "image/bootloader_table.h"
#include "platform/console.h"
#include "platform/serial.h"
#include "serial/sync.h"

const char kUpdateHostName[] = "update-server.qln";
const char kDefaultBoxAddress[] = "192.168.0.100";

namespace {

// The second long name for -! gets a value of its own: getopt_long does not
// call a prefix ambiguous when the entries it fits are identical, yet a
// prefix that fits both names must be rejected.
constexpr int kSilentSyncWest = kSilentSyncWestOption;
constexpr int kJournal = kJournalOption;
constexpr int kEvents = kEventsOption;
constexpr int kStation = kStationOption;
constexpr int kTrust = kTrustOption;
constexpr int kSignature = kSignatureOption;
constexpr int kUnit = kUnitOption;
constexpr int kOperator = kOperatorOption;

// A serial or name that would spoil the records ends the run before any
// box is touched, with exit code 2 as for any misuse of an option of ours.
const char* record_label(const char* argv0, const char* option, const char* text) {
  if (record_label_ok(text)) return text;
  std::fprintf(stderr, "%s: --%s wants 1 to 64 printable characters\n", argv0, option);
  std::fflush(nullptr);
  std::exit(2);
}

// getopt_long's form of the tool's option table, in its order, ending in
// an empty entry.
const std::vector<option>& long_option_table() {
  static const std::vector<option> table = [] {
    std::vector<option> t;
    for (size_t i = 0; const ToolOption* o = tool_option(i); i++)
      t.push_back(
          {o->name, o->takes_argument ? required_argument : no_argument, nullptr, o->value});
    t.push_back({nullptr, 0, nullptr, 0});
    return t;
  }();
  return table;
}

// The help text of a long option's letter, or nullptr for letters the usage
// text never lists (upper case, '!').
const char* help_text(int letter) {
  if (letter >= 'a' && letter <= 'z') return message(letter - 'a');
  if (letter >= '0' && letter <= '9') return message(26 + letter - '0');
  return nullptr;
}

bool listed(const option& o) {
  const char* help = help_text(o.val);
  return help && help[0] == ' ';
}

void speed_option(RunSettings* s, const char* arg) {
  int n = option_number(arg);
  unsigned index = (unsigned)n;
  if (index < 10) {
    static const uint32_t kIndexRates[10] = {0,      230400, 460800, 921600, 230400,
                                             230400, 230400, 230400, 230400, 230400};
    // Speed index 0 ends the run at once, without a word or a pause.
    if (index == 0) std::exit(1);
    s->target_baud = kIndexRates[index];
  } else {
    s->target_baud = (uint32_t)n;
  }
  s->fast = true;
  s->baud_code = speed_code_for(s->target_baud);
}

void server_command_option(RunSettings* s, const char* arg) {
  char lower[128];
  size_t n = 0;
  for (; arg[n] && n < sizeof lower - 1; n++) lower[n] = (char)std::tolower((unsigned char)arg[n]);
  lower[n] = '\0';
  s->server = true;
  s->server_command = std::strncmp(lower, "update", 6) == 0 ? 2 : 1;
}

// "COM3:", the device form old scripts use, names port 3 on every system.
bool old_device_form(const char* arg, int* number) {
  if (std::tolower((unsigned char)arg[0]) != 'c' || std::tolower((unsigned char)arg[1]) != 'o' ||
      std::tolower((unsigned char)arg[2]) != 'm' || arg[3] < '1' || arg[3] > '9')
    return false;
  int n = 0;
  const char* p = arg + 3;
  for (; *p >= '0' && *p <= '9'; p++) {
    if (n > 100000) return false;
    n = n * 10 + (*p - '0');
  }
  if (p[0] != ':' || p[1] != '\0') return false;
  *number = n;
  return true;
}

void port_option(RunSettings* s, const char* arg) {
  int number = 0;
  if (old_device_form(arg, &number)) {
    s->port_path = nullptr;
    s->com_port = number;
    return;
  }
  int named = plat_serial_port_name(arg, &number);
  s->port_path = named == 2 ? arg : nullptr;
  if (named == 1) s->com_port = number;
  else if (named == 0) s->com_port = option_number(arg);
}

void usage_and_exit(const char* argv0) {
  print_usage(stderr, argv0, current_language());
  exit_run(1);
}

// The word getopt_long reads its next long option from: the first argument
// from optind on that is not a plain argument (those it skips and moves
// behind the options). Inside a cluster of letters ("-lw") it is that
// cluster, which no long option reads. nullptr at the end.
const char* next_option_word(int argc, char** argv) {
  for (int i = optind < 1 ? 1 : optind; i < argc; i++)
    if (argv[i][0] == '-' && argv[i][1] != '\0') return argv[i];
  return nullptr;
}

}  // namespace

const option* long_options_for(const char* word) {
  const option* table = long_option_table().data();
  for (size_t i = 0; i < kToolFullOnlyCount; i++) {
    const char* name = table[i].name;
    size_t n = std::strlen(name);
    if (word && word[0] == '-' && word[1] == '-' && std::strncmp(word + 2, name, n) == 0 &&
        (word[2 + n] == '\0' || word[2 + n] == '='))
      return table;
  }
  return table + kToolFullOnlyCount;
}

int option_number(const char* text) { return (int)std::strtol(text, nullptr, 10); }

int parse_options(int argc, char** argv, RunSettings* s) {
  // 0 makes getopt start afresh, POSIXLY_CORRECT included.
  optind = 0;
  opterr = 1;
  int c;
  while ((c = getopt_long(argc, argv, kToolShortOptions,
                          long_options_for(next_option_word(argc, argv)), nullptr)) != -1) {
    switch (c) {
      case 'b':
        s->send_keyword = false;
        s->grant_optional = false;
        break;
      case 'C': server_command_option(s, optarg); break;
      case 'f':
        s->target_baud = 230400;
        s->fast = true;
        s->grant_optional = false;
        break;
      case 'F': s->force_fast = true; break;
      case 'i':
        s->host = optarg;
        s->network = true;
        break;
      case 'I':
        s->host = kUpdateHostName;
        s->tcp_port = s->use_port_80 ? 80 : 4242;
        s->network = true;
        s->server = true;
        break;
      case 'j':
        s->tcp_port = option_number(optarg);
        s->network = true;
        break;
      case 'l': s->loop = true; break;
      case 'n':
        std::strcpy(s->wake_keyword, "qkopanew");
        s->grant_optional = false;
        break;
      case 'N':
        s->host = kDefaultBoxAddress;
        s->tcp_port = kDefaultTcpPort;
        s->network = true;
        break;
      case 'p': port_option(s, optarg); break;
      case 'r': s->revision = true; break;
      case 'R': s->read_after_sync = true; break;
      case 's': speed_option(s, optarg); break;
      case 'S': s->two_stop_bits = true; break;
      case 'u':
        s->urloader = true;
        s->grant_optional = false;
        break;
      case 'U': break;
      case 'v': print_version(stdout, *s); exit_run(0);
      case 'w': s->beep = true; break;
      case 'x': patch_confirmation_dialogue(s); break;
      case 'X':
        s->patch = true;
        s->grant_optional = false;
        break;
      case '0':
      case '1':
      case '2':
      case '3': s->channel = c - '0'; break;
      case '4':
        s->use_port_80 = true;
        s->tcp_port = 80;
        break;
      case '5': std::strcpy(s->wake_keyword, "qkopacom\n\r"); break;
      case '!':
      case kSilentSyncWest: s->silent_sync = true; break;
      case kJournal: s->journal_path = optarg; break;
      case kEvents: s->events_path = optarg; break;
      case kStation: s->station = optarg; break;
      case kTrust: s->trust_path = optarg; break;
      case kSignature: s->signature_path = optarg; break;
      case kUnit: s->unit = record_label(argv[0], "unit", optarg); break;
      case kOperator: s->operator_name = record_label(argv[0], "operator", optarg); break;
      default:  // '?', ':', and 'c' of --command, which -C does not answer to
        usage_and_exit(argv[0]);
    }
  }
  return optind;
}

void print_usage(FILE* out, const char* argv0, int language) {
  int saved = current_language();
  set_language(language);
  std::fprintf(out, "%s \\ \n   ", argv0);
  int shown = 0;
  for (const option* p = long_option_table().data(); p->name; p++) {
    const option& o = *p;
    if (!listed(o)) continue;
    if (o.has_arg == required_argument)
      std::fprintf(out, "[-%c <arg>] [--%s <arg>] ", o.val, o.name);
    else std::fprintf(out, "[-%c] [--%s] ", o.val, o.name);
    if (++shown % 3 == 0) std::fprintf(out, "\\ \n   ");
  }
  std::fprintf(out, "<file> \n\n");
  for (const option* p = long_option_table().data(); p->name; p++) {
    const option& o = *p;
    if (!listed(o)) continue;
    std::fprintf(out, "-%c --%s ", o.val, o.name);
    for (int pad = 15 - (int)std::strlen(o.name); pad > 0; pad--) std::fputc(' ', out);
    std::fprintf(out, "%s\n", help_text(o.val));
  }
  std::fprintf(out, " <file> : PAD-File\n");
  set_language(saved);
}

void print_version(FILE* out, const RunSettings& s) {
  std::fprintf(out, "%s %i.%i-%i\n", s.program_name, s.revision_numbers[0], s.revision_numbers[1],
               s.revision_numbers[2]);
  std::fprintf(out, "Copyright (c) QLN set-top box software update tool\n");
  std::fprintf(out, "%s\n", message(86));
  int prev_major = -1;
  double prev_value = -1.0;
  int counter = 0;
  for (size_t i = 0; const BootloaderRow* row = bootloader_row(i); i++) {
    if (counter > 9) {
      counter = 0;
      std::fprintf(out, "\n\t");
    }
    int major = 0, minor = 0;
    std::sscanf(row->version, "%d.%d", &major, &minor);
    double value = std::strtod(row->version, nullptr);
    if (value == prev_value) continue;
    if (major != prev_major) {
      if (prev_major < 0) std::fprintf(out, "\n\t");
      else std::fprintf(out, "%d.* \n\t", prev_major);
      counter = 0;
      prev_major = major;
    }
    prev_value = value;
    std::fprintf(out, "%2i.%i ", major, minor);
    if (minor < 10) std::fputc(' ', out);
    counter++;
  }
  std::fprintf(out, "\n");
}

void patch_confirmation_dialogue(RunSettings* s) {
  for (;;) {
    std::printf("%s\n", message(93));
    char answer[22] = {0};
    size_t n = plat_stdin_read_line(answer, 21);
    if (std::strncmp(answer, "JA, ich will", 12) == 0 ||
        std::strncmp(answer, "YES, I want to use it", 21) == 0) {
      std::printf("%s\n", message(95));
      s->patch = true;
      s->grant_optional = false;
      return;
    }
    // End of input is a no: nobody is there to confirm the risk.
    if (n == 0 || std::strncmp(answer, "NEIN, lieber nicht", 18) == 0 ||
        std::strncmp(answer, "NO, by no means", 15) == 0) {
      std::printf("%s\n", message(94));
      s->patch = false;
      return;
    }
  }
}
