#include "serial/acquire.h"

#include <cstdio>

#include "core/exit.h"
#include "core/messages.h"
#include "core/settings.h"
#include "platform/error.h"
#include "serial/port.h"

namespace {

constexpr uint32_t kKeywordLimitMs = 1000;
constexpr uint32_t kIdentifyLimitMs = 15000;

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

}  // namespace

AcquireStep acquire_retry_step(uint32_t error, int retries_left) {
  // Below 0 cannot happen (the budget is spent down to 0 and no further);
  // were it to, it is spent all the same rather than counted on for ever.
  if (error == ERR_TIMEOUT)
    return retries_left > 0 ? AcquireStep::kRetry : AcquireStep::kOutOfTimeOuts;
  if (error == kErrReadAborted)
    return retries_left > 0 ? AcquireStep::kReopen : AcquireStep::kStaysGone;
  return AcquireStep::kOtherError;
}

plat_port open_box_port(const RunSettings& s) {
  // Synchronised bootloaders get the keyword without a write time limit.
  plat_port port =
      port_open_named(s.port_path, s.com_port, kOpeningBaud, s.sync_mode, s.two_stop_bits);
  if (port == kNoPort) {
    std::fprintf(stderr, "%s %li)\n", message(41), (long)plat_last_error());
    exit_run(1);
  }
  return port;
}

void acquire_bootloader(plat_port* port, VersionRecord* version, VersionRecord* second) {
  RunSettings& s = g_settings;
  char label[16];
  for (;;) {
    if (s.send_keyword && !send_keyword(*port, s.wake_keyword, keyword_limit(s))) {
      uint32_t err = plat_last_error();
      if (err == ERR_TIMEOUT)
        std::fprintf(stderr, "%s %s\n", message(43), port_label(s, label, sizeof label));
      else
        std::fprintf(stderr, "%s %li\n", message(44), (long)err);
      stop(*port);
    }
    bool synced = true;
    if (s.sync_mode) {
      // Without give-up these fail only when the device is gone: that goes
      // the way of an aborted read below.
      SyncSettings ss = sync_settings(s);
      if (s.fast)
        synced = change_speed(*port, s.baud_code, s.target_baud, ss);
      else
        synced = synchronise(*port, kSpeedKeep, ss);
    }
    if (synced &&
        read_bootloader_version(*port, kIdentifyLimitMs, true, s.revision, version, second))
      return;
    uint32_t err = plat_last_error();
    switch (acquire_retry_step(err, s.retries_left)) {
      case AcquireStep::kRetry:
        s.retries_left--;
        break;
      case AcquireStep::kReopen:
        port_close(*port);
        *port = open_box_port(s);
        s.retries_left--;
        break;
      case AcquireStep::kOutOfTimeOuts:
        std::fprintf(stderr, "%s\n", message(61));
        std::fprintf(stderr, "%s\n", message(62));
        stop(*port);
      case AcquireStep::kStaysGone:
        std::fprintf(stderr, "%s\n", message(62));
        stop(*port);
      case AcquireStep::kOtherError:
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
    plat_set_last_error(0);
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
    // No limit on attempts, but a device that is gone would be tried in a
    // tight loop for good.
    uint32_t err = plat_last_error();
    if (!synced && err == kErrReadAborted) {
      std::fprintf(stderr, "%s %lx\n", message(49), (unsigned long)err);
      stop(port);
    }
  }
}
