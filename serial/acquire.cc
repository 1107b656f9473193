#include "serial/acquire.h"

#include <cstdio>

#include "core/events.h"
#include "core/exit.h"
#include "core/messages.h"
#include "core/phase.h"
#include "core/report.h"
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
  phase_set(Phase::kOpen);
  // Synchronised bootloaders get the keyword without a write time limit.
  plat_port port =
      port_open_named(s.port_path, s.com_port, kOpeningBaud, s.sync_mode, s.two_stop_bits);
  if (port == kNoPort) {
    report_port_failure();
    exit_run(1);
  }
  // The line runs at the opening speed until a change: a follower of the
  // stream sees the speed of every run, not only of the fast ones.
  events_line_speed(kOpeningBaud);
  return port;
}

void acquire_bootloader(plat_port* port, VersionRecord* version, VersionRecord* second) {
  RunSettings& s = g_settings;
  char label[16];
  for (;;) {
    phase_set(Phase::kWake);
    if (s.send_keyword && !send_keyword(*port, s.wake_keyword, keyword_limit(s))) {
      uint32_t err = plat_last_error();
      if (err == ERR_TIMEOUT)
        report_failure(stderr, kNoCode, {43}, " %s\n", port_label(s, label, sizeof label));
      else
        report_failure(stderr, error_code((long)plat_last_driver_error()), {44}, " %li\n",
                       (long)plat_last_driver_error());
      stop(*port);
    }
    bool synced = true;
    if (s.sync_mode) {
      phase_set(Phase::kSync);
      // Without give-up these fail only when the device is gone: that goes
      // the way of an aborted read below.
      SyncSettings ss = sync_settings(s);
      if (s.fast) synced = change_speed(*port, s.baud_code, s.target_baud, ss);
      else synced = synchronise(*port, kSpeedKeep, ss);
    }
    if (synced) phase_set(Phase::kIdentify);
    if (synced &&
        read_bootloader_version(*port, kIdentifyLimitMs, true, s.revision, version, second))
      return;
    uint32_t err = plat_last_error();
    exit_if_stopped();
    switch (acquire_retry_step(err, s.retries_left)) {
      case AcquireStep::kRetry: s.retries_left--; break;
      case AcquireStep::kReopen:
        port_close(*port);
        *port = open_box_port(s);
        s.retries_left--;
        break;
      case AcquireStep::kOutOfTimeOuts:
        std::fprintf(stderr, "%s\n", message(61));
        report_failure(stderr, kNoCode, {62}, "\n");
        stop(*port);
      case AcquireStep::kStaysGone: report_failure(stderr, kNoCode, {62}, "\n"); stop(*port);
      case AcquireStep::kOtherError: report_wait_failure(); stop(*port);
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
    bool synced = s.fast ? change_speed(port, s.baud_code, s.target_baud, ss)
                         : synchronise(port, kSpeedKeep, ss);
    if (synced &&
        read_bootloader_version(port, kIdentifyLimitMs, true, s.revision, version, second))
      return;
    // No limit on attempts, but a device that is gone would be tried in a
    // tight loop for good.
    uint32_t err = plat_last_error();
    if (!synced && err == kErrReadAborted) {
      report_wait_failure();
      stop(port);
    }
    exit_if_stopped();
  }
}
