#include "serial/sequence.h"

#include <cstdio>

#include "frontend/exit.h"
#include "frontend/messages.h"
#include "frontend/settings.h"
#include "net/server_client.h"
#include "platform/console.h"
#include "platform/error.h"
#include "serial/port.h"
#include "serial/version_check.h"
#include "serial/xmodem.h"

namespace {

constexpr uint32_t kKeywordLimitMs = 1000;
constexpr uint32_t kIdentifyLimitMs = 15000;
constexpr unsigned kBeepHz = 1000;
constexpr unsigned kBeepMs = 500;

const char* const kBanner[] = {
    "\n\t\t OOO   K   K  !!!\n", "\t\tO   O  K  K   !!!\n", "\t\tO   O  K K     !\n",
    "\t\tO   O  K  K     \n",   "\t\t OOO   K   K   *\n\n",
};

plat_port open_for_box(const RunSettings& s) {
  // Synchronised bootloaders get the keyword without a write time limit.
  plat_port port = port_open(s.com_port, kOpeningBaud, s.sync_mode, s.two_stop_bits);
  if (port == kNoPort) {
    std::fprintf(stderr, "%s %li)\n", message(41), (long)plat_last_error());
    exit_run(1);
  }
  return port;
}

uint32_t keyword_limit(const RunSettings& s) { return s.sync_mode ? 0 : kKeywordLimitMs; }

SyncSettings sync_settings(const RunSettings& s) {
  SyncSettings ss;
  ss.grant_phase = s.await_grant;
  ss.grant_limit = s.grant_optional;
  ss.keyword_sent = s.send_keyword;
  ss.urloader = s.urloader;
  ss.quiet = s.silent_sync;
  ss.give_up = false;
  ss.read_after_sync = s.read_after_sync;
  return ss;
}

[[noreturn]] void stop(plat_port port) {
  port_close(port);
  exit_run(1);
}

// Asks whether another box follows. End of input ends the loop.
void loop_prompt(RunSettings* s) {
  std::printf("Update another box [ENTER,n]? [<ENTER> = yes, <n> = no]\n");
  int c = plat_stdin_getc();
  if (c == 'n' || c < 0) s->loop = false;
}

}  // namespace

void acquire_bootloader(plat_port* port, VersionRecord* version, VersionRecord* second) {
  RunSettings& s = g_settings;
  for (;;) {
    if (s.send_keyword && !send_keyword(*port, s.wake_keyword, keyword_limit(s))) {
      uint32_t err = plat_last_error();
      if (err == ERR_TIMEOUT)
        std::fprintf(stderr, "%s %i\n", message(43), s.com_port);
      else
        std::fprintf(stderr, "%s %li\n", message(44), (long)err);
      stop(*port);
    }
    if (s.sync_mode) {
      SyncSettings ss = sync_settings(s);
      if (s.fast)
        change_speed(*port, s.baud_code, s.target_baud, ss);
      else
        synchronise(*port, kSpeedKeep, ss);
    }
    if (read_bootloader_version(*port, kIdentifyLimitMs, true, s.revision, version, second))
      return;
    uint32_t err = plat_last_error();
    if (err == ERR_TIMEOUT) {
      if (s.retries_left == 0) {
        std::fprintf(stderr, "%s\n", message(61));
        std::fprintf(stderr, "%s\n", message(62));
        stop(*port);
      }
      s.retries_left--;
    } else if (err == kErrReadAborted) {
      if (s.retries_left == 0) {
        std::fprintf(stderr, "%s\n", message(62));
        stop(*port);
      }
      port_close(*port);
      *port = open_for_box(s);
      s.retries_left--;
    } else {
      std::fprintf(stderr, "%s %lx\n", message(49), (unsigned long)err);
      stop(*port);
    }
  }
}

void resynchronise(plat_port port, VersionRecord* version, VersionRecord* second) {
  const RunSettings& s = g_settings;
  for (;;) {
    if (s.send_keyword && !send_keyword(port, s.wake_keyword, keyword_limit(s)))
      std::fprintf(stderr, "%s\n", message(44));
    SyncSettings ss = sync_settings(s);
    ss.grant_phase = true;
    ss.grant_limit = true;
    ss.give_up = true;
    bool synced;
    if (s.fast) {
      synced = synchronise(port, s.baud_code, ss);
      if (synced) {
        if (!port_set_speed(port, s.target_baud)) {
          std::fprintf(stderr, "%s %li)\n", message(41), (long)plat_last_error());
          exit_run(1);
        }
        ss.grant_phase = false;
        ss.give_up = false;
        synced = synchronise(port, kSpeedKeep, ss);
      }
    } else {
      synced = synchronise(port, kSpeedKeep, ss);
    }
    if (synced &&
        read_bootloader_version(port, kIdentifyLimitMs, true, s.revision, version, second))
      return;
  }
}

void serial_update(plat_socket server) {
  RunSettings& s = g_settings;
  for (;;) {
    plat_port port = open_for_box(s);
    std::printf("\n\n");
    VersionRecord version = {0, 0, 0};
    VersionRecord second = {0, 0, 0};
    acquire_bootloader(&port, &version, &second);
    if (s.network && s.server) server_exchange(server, port, &version.major, &version.minor);
    check_box_version(port, &s.version_word, &version.major, &version.minor, &s.patch,
                      s.revision, second);
    if (download(port, s.pad_path, s.pad_size, s.version_word, s.patch,
                 s.image_from_server) != 0)
      exit_run(1);
    std::printf("%s%s%s%s%s%s %i)\n\n", kBanner[0], kBanner[1], kBanner[2], kBanner[3],
                kBanner[4], message(82), s.com_port);
    if (s.beep) plat_beep(kBeepHz, kBeepMs);
    port_close(port);
    if (s.loop) loop_prompt(&s);
    if (!s.loop) exit_run(0);
  }
}
