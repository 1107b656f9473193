#include "run/start.h"

#include <cstdio>

#include "core/exit.h"
#include "core/report.h"
#include "image/bootloader_table.h"
#include "image/checks.h"
#include "image/pad.h"
#include "run/attempt.h"
#include "run/trust.h"
#include "serial/port.h"

void test_open_port(const RunSettings& s) {
  plat_port port = port_open_named(s.port_path, s.com_port, kOpeningBaud, false, s.two_stop_bits);
  if (port == kNoPort) {
    report_port_failure();
    exit_run(1);
  }
  port_close(port);
}

void prepare_image(RunSettings* s) {
  if (!s->server) {
    PadCheck c = pad_file_check(s->pad_path);
    s->pad_size = c.size;
    s->format_byte = c.format;
    s->version_word = c.version;
    attempt_image({c.size, c.format, true, c.checksum, c.version});
    trust_check_file(*s);
  } else {
    s->format_byte = kServerPseudoFormat;
    s->version_word = kServerPseudoVersion;
    if (!is_known_format(s->format_byte)) {
      report_failure(stdout, kNoCode, {87}, "\n");
      exit_run(1);
    }
  }
  apply_format_rules(s->format_byte);
  check_fast_capable(s->format_byte, s->version_word);
}
