#include "frontend/driver.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/exit.h"
#include "core/journal.h"
#include "core/messages.h"
#include "core/settings.h"
#include "frontend/options.h"
#include "image/bootloader_table.h"
#include "image/checks.h"
#include "image/pad.h"
#include "net/box_link.h"
#include "platform/error.h"
#include "run/net_box_run.h"
#include "run/serial_run.h"
#include "serial/port.h"
#include "serial/sync.h"

namespace {

const char kRevisionText[] = "$Revision: 3.6.2.25 $";

// The shown name: what follows the last '/', else the last '\'.
const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash) return slash + 1;
  const char* backslash = std::strrchr(path, '\\');
  return backslash ? backslash + 1 : path;
}

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

void start_up(int argc, char** argv, RunSettings* s) {
  settings_reset(s);
  VersionRecord rev = {0, 0, 0};
  parse_dotted_numbers(kRevisionText, false, &rev);
  s->revision_numbers[0] = rev.major;
  s->revision_numbers[1] = rev.minor;
  s->revision_numbers[2] = rev.build;
  // Progress lines end in a carriage return and must show at once.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  set_language(0);

  const char* name = argc > 0 && argv[0] ? base_name(argv[0]) : "update";
  std::snprintf(s->program_name, sizeof s->program_name, "%s", name);
  char upper[sizeof s->program_name];
  size_t i = 0;
  for (; s->program_name[i]; i++) upper[i] = (char)std::toupper((unsigned char)s->program_name[i]);
  upper[i] = '\0';
  if (starts_with(upper, "QLN")) {
    std::memmove(s->program_name, s->program_name + 3, std::strlen(s->program_name + 3) + 1);
    std::memmove(upper, upper + 3, std::strlen(upper + 3) + 1);
  }
  if (starts_with(upper, "AKTUALISIEREN")) set_language(1);
  if (starts_with(upper, "UPDATE")) set_language(0);
}

int run_update(int argc, char** argv) {
  RunSettings* s = &g_settings;
  start_up(argc, argv, s);
  if (argc < 2) {
    print_usage(stderr, argv[0], current_language());
    exit_run(1);
  }
  int first_arg = parse_options(argc, argv, s);

  // Checks after the options.
  if (!s->server && argc - first_arg != 1) {
    print_usage(stderr, argv[0], current_language());
    exit_run(1);
  }
  // A station that believes it keeps records and does not is worse off
  // than one without: a journal that cannot be opened stops the run here.
  const char* journal = s->journal_path;
  if (!journal) {
    journal = std::getenv("UPDATE_JOURNAL");
    if (journal && !*journal) journal = nullptr;
  }
  if (journal) {
    if (!journal_open(journal)) exit_run(1);
    if (!s->server) journal_set_file(argv[first_arg]);
  }
  if (s->network || s->server) {
    if (!s->host) {
      std::fprintf(stderr, "%s\n", message(96));
      exit_run(1);
    }
    if (s->tcp_port == 0) {
      std::fprintf(stderr, "%s\n", message(97));
      s->tcp_port = kDefaultTcpPort;
    }
  }
  if (!s->server) {
    const char* file = argv[first_arg];
    if (std::strlen(file) >= sizeof s->pad_path) {
      std::printf("%s%s\n", message(38), message(39));
      exit_run(1);
    }
    std::strcpy(s->pad_path, file);
    normalize_pad_path(s->pad_path);
  }
  if (!s->network || s->server) {
    plat_port port =
        port_open_named(s->port_path, s->com_port, kOpeningBaud, false, s->two_stop_bits);
    if (port == kNoPort) {
      std::fprintf(stderr, "%s %li)\n", message(41), (long)plat_last_error());
      exit_run(1);
    }
    port_close(port);
  }

  // Preparing the image.
  if (!s->server) {
    pad_file_check(s->pad_path, &s->pad_size, &s->format_byte, &s->version_word);
    JournalImage image = {s->pad_size, s->format_byte, true, 0, s->version_word};
    pad_checksum(s->pad_path, s->pad_size, &image.checksum);
    journal_set_image(image);
  } else {
    s->format_byte = kServerPseudoFormat;
    s->version_word = kServerPseudoVersion;
    if (!is_known_format(s->format_byte)) {
      std::printf("%s\n", message(87));
      exit_run(1);
    }
  }
  apply_format_rules(s->format_byte);
  check_fast_capable(s->format_byte, s->version_word);

  if (!s->network) serial_update(kNoSocket);
  plat_socket peer = connect_to_peer(s->host, s->tcp_port);
  if (s->server) serial_update(peer);
  network_box_update(peer);
}
