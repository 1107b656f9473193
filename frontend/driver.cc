#include "frontend/driver.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/exit.h"
#include "core/messages.h"
#include "core/report.h"
#include "core/settings.h"
#include "frontend/options.h"
#include "image/pad.h"
#include "platform/file.h"
#include "platform/start.h"
#include "platform/stop.h"
#include "run/attempt.h"
#include "run/links.h"
#include "run/net_box_run.h"
#include "run/serial_run.h"
#include "run/start.h"
#include "run/trust.h"
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
  // Ctrl-C, a kill or a closed terminal end the attempt through the exit
  // routine, recorded and with the port's settings put back.
  plat_stop_install();

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
    journal = plat_getenv("UPDATE_JOURNAL");
    if (journal && !*journal) journal = nullptr;
  }
  // A record appended to the PAD file would corrupt the image it records.
  const char* file = s->server ? nullptr : argv[first_arg];
  for (const char* out : {journal, s->events_path}) {
    if (out && file && plat_same_file(out, file)) {
      std::fprintf(stderr, "%s: %s is the PAD file itself; no record goes there\n", s->program_name,
                   out);
      exit_run(1);
    }
  }
  if (!attempt_setup(journal, s->events_path, file)) exit_run(1);
  if (s->network || s->server) {
    if (!s->host) {
      report_failure(stderr, kNoCode, {96}, "\n");
      exit_run(1);
    }
    if (s->tcp_port == 0) {
      std::fprintf(stderr, "%s\n", message(97));
      s->tcp_port = kDefaultTcpPort;
    }
  }
  if (!s->server) {
    if (std::strlen(file) >= sizeof s->pad_path) {
      report_failure(stdout, kNoCode, {38, 39}, "\n");
      exit_run(1);
    }
    std::strcpy(s->pad_path, file);
    normalize_pad_path(s->pad_path);
  }
  trust_setup(*s);
  // A signed run refuses a file before anything touches the port.
  bool checked_first = trust_on() && !s->server;
  if (checked_first) prepare_image(s);
  if (!s->network || s->server) test_open_port(*s);
  if (!checked_first) prepare_image(s);

  if (!s->network) serial_update(kNoSocket);
  plat_socket peer = connect_to_peer(s->host, s->tcp_port);
  if (s->server) serial_update(peer);
  network_box_update(peer);
}
