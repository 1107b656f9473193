#include "run/serial_run.h"

#include <cstdio>

#include "core/exit.h"
#include "core/messages.h"
#include "core/settings.h"
#include "image/image_buffer.h"
#include "platform/console.h"
#include "run/attempt.h"
#include "run/server_run.h"
#include "serial/acquire.h"
#include "serial/port.h"
#include "serial/version_check.h"
#include "serial/xmodem.h"

namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

constexpr unsigned kBeepHz = 1000;
constexpr unsigned kBeepMs = 500;

const char* const kBanner[] = {
    "\n\t\t OOO   K   K  !!!\n", "\t\tO   O  K  K   !!!\n",  "\t\tO   O  K K     !\n",
    "\t\tO   O  K  K     \n",    "\t\t OOO   K   K   *\n\n",
};

// Asks whether another box follows. End of input ends the loop.
void loop_prompt(RunSettings* s) {
  std::printf("Update another box [ENTER,n]? [<ENTER> = yes, <n> = no]\n");
  int c = plat_stdin_getc();
  if (c == 'n' || c < 0) s->loop = false;
}

// The box's identity and the rate its line runs at, for the record.
void note_box(plat_port port, const VersionRecord& version) {
  attempt_box(version.major, version.minor);
  uint32_t baud;
  if (plat_serial_get_baud(port, &baud)) attempt_line_speed(baud);
}

}  // namespace

void serial_update(plat_socket server) {
  RunSettings& s = g_settings;
  for (;;) {
    plat_port port = open_box_port(s);
    std::printf("\n\n");
    VersionRecord version = {0, 0, 0};
    VersionRecord second = {0, 0, 0};
    acquire_bootloader(&port, &version, &second);
    note_box(port, version);
    if (s.network && s.server) {
      server_exchange(server, port, &version.major, &version.minor);
      note_box(port, version);
      // The fetched software passed the PAD check: its own header and sum.
      const uint8_t* b = g_image_buffer;
      attempt_image({s.pad_size, s.format_byte, true, be32(b + s.pad_size - 4), be32(b + 5)});
    }
    check_box_version(port, &s.version_word, &version.major, &version.minor, &s.patch, s.revision,
                      second);
    uint32_t acked = 0;
    int failed = download(port, s.pad_path, s.pad_size, s.version_word, s.patch,
                          s.image_from_server, &acked);
    attempt_bytes_sent(acked);
    if (failed) exit_run(1);
    char label[16];
    std::printf("%s%s%s%s%s%s %s)\n\n", kBanner[0], kBanner[1], kBanner[2], kBanner[3], kBanner[4],
                message(82), port_label(s, label, sizeof label));
    if (s.beep) plat_beep(kBeepHz, kBeepMs);
    port_close(port);
    if (!attempt_end(RunEnd::kOk, 0)) exit_run(1);
    if (s.loop) loop_prompt(&s);
    if (!s.loop) exit_run(0);
    attempt_begin();
  }
}
