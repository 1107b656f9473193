#include "serial/sync.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/events.h"
#include "core/exit.h"
#include "core/messages.h"
#include "core/report.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "serial/port.h"

namespace {

constexpr uint32_t kGrantLimitMs = 1000;
constexpr uint32_t kEchoPollMs = 50;
constexpr int kEmptyReadAllowance = 4;
constexpr int kDigitsPerNotice = 20;
constexpr int kUrloaderDigitsPerNotice = 30000;
constexpr uint32_t kNoticePauseMs = 1000;
constexpr uint32_t kWriteRetryMs = 10;
const char kVersionMarker[] = "Bootloader Version";

// Discards whatever the line holds.
void drain(plat_port port, int passes) {
  for (int pass = 0; pass < passes; pass++) {
    uint8_t b;
    while (plat_serial_read(port, &b, 1) == 1) {}
  }
}

constexpr int kNoEcho = -1;
constexpr int kDeviceGone = -2;

bool device_gone() { return plat_last_error() == kErrReadAborted; }

// The box's answer to one digit: only the last byte counts; 0xFF is line
// noise, not an answer. Returns the byte, kNoEcho, or kDeviceGone when a
// read found the device gone.
int collect_echo(plat_port port, bool urloader) {
  int last = kNoEcho;
  int allowance = kEmptyReadAllowance;
  for (;;) {
    // A blank means the box is still talking: read on without a pause.
    if (!urloader && last != ' ') plat_sleep_ms(kEchoPollMs);
    uint8_t b;
    long got = plat_serial_read(port, &b, 1);
    if (got < 0 && device_gone()) return kDeviceGone;
    if (got == 1) {
      last = b == 0xFF ? kNoEcho : b;
      continue;
    }
    if (last >= 0) return last;
    if (allowance == 0) return kNoEcho;
    allowance--;
  }
}

// Writes one closing byte; with read after sync, waits for the box's
// answer byte and drops it.
void closing_byte(plat_port port, uint8_t byte, bool read_after) {
  size_t written;
  plat_serial_write(port, &byte, 1, &written);
  if (!read_after) return;
  plat_serial_wait_rx(port, 0);
  uint8_t answer;
  plat_serial_read(port, &answer, 1);
}

// Reads the next byte within the read's limit. Returns 1 for a byte, 0 when
// the limit passed (ERR_TIMEOUT), -1 when the read failed.
int next_byte(plat_port port, uint32_t start, uint32_t limit_ms, uint8_t* b) {
  if (!read_byte(port, b, limit_ms)) return -1;
  if (elapsed_ms(start, plat_now_ms()) > limit_ms) {
    plat_set_last_error(ERR_TIMEOUT);
    return 0;
  }
  return 1;
}

// Collects one line into the receive buffer, up to the first CR or LF
// (kept when `keep_end`). A line that does not end within the buffer fails
// like a time-out. Returns true when the line is complete.
bool collect_line(plat_port port, uint32_t start, uint32_t limit_ms, bool keep_end) {
  size_t n = 0;
  for (;;) {
    uint8_t b;
    int r = next_byte(port, start, limit_ms, &b);
    if (r <= 0) return false;
    bool end = b == '\r' || b == '\n';
    if (!end || keep_end) {
      if (n >= kReceiveBufferSize - 1) {
        plat_set_last_error(ERR_TIMEOUT);
        return false;
      }
      g_receive_buffer[n++] = (char)b;
    }
    if (end) break;
  }
  g_receive_buffer[n] = '\0';
  return true;
}

// One "%x" word as the formatted scan reads it (blanks, a sign, a 0x
// prefix, hex digits), into `*value` saturated above 16 bits rather than
// wrapped: a word of 10017 must not read as 17. Returns false when no word
// stands at `*p`; `*p` is left after the word.
bool scan_hex_word(const char** p, uint32_t* value) {
  const char* q = *p;
  while (std::isspace((unsigned char)*q)) q++;
  bool negative = *q == '-';
  if (*q == '+' || *q == '-') q++;
  bool prefix = q[0] == '0' && (q[1] == 'x' || q[1] == 'X');
  if (prefix) q += 2;  // the scan takes "0x" even with no digit after it
  else if (!std::isxdigit((unsigned char)*q)) return false;
  uint32_t v = 0;
  for (; std::isxdigit((unsigned char)*q); q++) {
    unsigned char c = (unsigned char)*q;
    uint32_t digit = std::isdigit(c) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (v <= 0xFFFF) v = v * 16 + digit;
  }
  // A negative word is a huge one to the scan: it does not fit either.
  *value = negative && v != 0 ? 0x10000 : v;
  *p = q;
  return true;
}

// "%x.%x.%x.%x" from `start` by hand, so that a word over 16 bits is seen.
// Returns the number of words read; `*fits` false when one exceeded 16 bits.
int scan_hex_words(const char* start, uint32_t u[4], bool* fits) {
  const char* p = start;
  int count = 0;
  *fits = true;
  while (count < 4) {
    if (count > 0) {
      if (*p != '.') break;
      p++;
    }
    if (!scan_hex_word(&p, &u[count])) break;
    if (u[count] > 0xFFFF) *fits = false;
    count++;
  }
  return count;
}

bool parse_from(const char* start, bool hex, VersionRecord* out) {
  uint32_t u[4] = {0, 0, 0, 0};
  int d[4] = {0, 0, 0, 0};
  bool fits = true;
  int count = hex ? scan_hex_words(start, u, &fits)
                  : std::sscanf(start, "%d.%d.%d.%d", &d[0], &d[1], &d[2], &d[3]);
  if (!hex)
    for (int i = 0; i < 4; i++) u[i] = (uint32_t)d[i];
  if ((count != 2 && count != 4) || !fits) {
    *out = {0, 0, 0};
    return false;
  }
  if (count == 2) u[2] = u[3] = 0;
  // Decimal words are cut to 16 bits (the revision text's are small).
  out->major = (uint16_t)u[0];
  out->minor = (uint16_t)u[1];
  out->build = (uint16_t)u[3];
  return true;
}

}  // namespace

uint8_t speed_code_for(uint32_t baud) {
  if (baud == 460800) return 0xF1;
  if (baud == 921600) return 0xF2;
  return 0xF0;
}

namespace {

// Whether a letter or digit stands right before `p`.
bool alnum_before(const char* text, const char* p) {
  return p > text && std::isalnum((unsigned char)p[-1]);
}

// Where the hex word ending just before `end` begins, or nullptr when the
// letters and digits there do not form a word of hex digits alone.
const char* hex_word_start(const char* text, const char* end) {
  const char* p = end;
  while (p > text && std::isxdigit((unsigned char)p[-1])) p--;
  if (p == end || alnum_before(text, p)) return nullptr;
  return p;
}

// The one place a hexadecimal version is read from: the word that holds the
// first decimal digit, with its hex letters (so A1.0 is 161.0), but not the
// words before it in the same dotted run (": de.1.0" is 1.0 and ": A.0" one
// number only, read from the first decimal digit); or, in a text without
// decimal digits, the first run that begins with a hex word (FFFF.FFFF, the
// unprogrammed box).
const char* hex_version_start(const char* text) {
  const char* digit = text;
  while (*digit && !std::isdigit((unsigned char)*digit)) digit++;
  if (*digit) {
    const char* end = digit;
    while (std::isxdigit((unsigned char)*end)) end++;
    const char* start = hex_word_start(text, end);
    // Letters that end a word are not the number's.
    return start ? start : digit;
  }
  for (const char* q = text; *q; q++) {
    if (alnum_before(text, q) || !std::isxdigit((unsigned char)*q)) continue;
    const char* end = q;
    while (std::isxdigit((unsigned char)*end)) end++;
    bool mid_run = q > text && q[-1] == '.' && alnum_before(text, q - 1);
    if (*end == '.' && !mid_run) return q;
  }
  return nullptr;
}

}  // namespace

bool parse_dotted_numbers(const char* text, bool hex, VersionRecord* out) {
  if (!text || !*text) return false;
  const char* p = text;
  if (hex) {
    p = hex_version_start(text);
  } else {
    while (*p && !std::isdigit((unsigned char)*p)) p++;
    if (!*p) p = nullptr;
  }
  // One start, one scan: a count other than two or four does not parse.
  if (p) return parse_from(p, hex, out);
  *out = {0, 0, 0};
  return false;
}

bool send_keyword(plat_port port, const char* keyword, uint32_t limit_ms) {
  size_t n = std::strlen(keyword);
  if (n >= kReceiveBufferSize) n = kReceiveBufferSize - 1;
  std::memcpy(g_receive_buffer, keyword, n);
  g_receive_buffer[n] = '\0';
  return timed_write(port, g_receive_buffer, n, limit_ms);
}

bool synchronise(plat_port port, uint8_t speed_byte, const SyncSettings& s) {
  if (s.grant_phase) {
    if (s.keyword_sent && !wait_for_text(port, "granted", s.grant_limit ? kGrantLimitMs : 0) &&
        !s.grant_limit) {
      report_wait_failure();
      port_close(port);
      exit_run(1);
    }
    drain(port, s.urloader ? 3 : 1);
  }

  uint8_t digit = '0';
  int required = 2;
  int counter = 0;
  while (required > 0) {
    // The loader variant never gives up: only a stop request ends it.
    exit_if_stopped();
    size_t written = 0;
    if (!plat_serial_write(port, &digit, 1, &written)) {
      exit_if_stopped();
      std::fprintf(stderr, "%s\n", message(44));
      // Retrying a device that is gone would print this for ever.
      if (device_gone()) return false;
      plat_sleep_ms(kWriteRetryMs);
      continue;
    }
    if (written == 0) {
      plat_sleep_ms(kWriteRetryMs);
      continue;
    }
    int echo = collect_echo(port, s.urloader);
    if (echo == kDeviceGone) return false;
    required = echo == digit ? required - 1 : 2;
    digit = digit == '9' ? '0' : digit + 1;
    counter++;
    if (!s.urloader && counter == kDigitsPerNotice) {
      counter = 0;
      if (!s.quiet) {
        std::printf("%s\n", message(89));
        pause_or_stop(kNoticePauseMs);
      }
      if (s.give_up) return false;
    } else if (s.urloader && counter == kUrloaderDigitsPerNotice) {
      counter = 0;
      if (!s.quiet) std::printf("%s\n", message(89));
    }
  }
  closing_byte(port, kStartByte, s.read_after_sync);
  closing_byte(port, speed_byte, s.read_after_sync);
  return true;
}

bool change_speed(plat_port port, uint8_t code, uint32_t baud, const SyncSettings& s) {
  if (!synchronise(port, code, s)) return false;
  if (!port_set_speed(port, baud)) {
    // The port is closed now; no synchronisation could follow on it.
    report_port_failure();
    exit_run(1);
  }
  events_line_speed(baud);
  SyncSettings again = s;
  again.grant_phase = false;
  again.give_up = false;
  return synchronise(port, kSpeedKeep, again);
}

bool read_bootloader_version(plat_port port, uint32_t limit_ms, bool hex, bool want_second,
                             VersionRecord* version, VersionRecord* second) {
  uint32_t start = plat_now_ms();
  const size_t marker_len = sizeof kVersionMarker - 1;
  size_t matched = 0;
  while (matched < marker_len) {
    uint8_t b;
    if (next_byte(port, start, limit_ms, &b) <= 0) return false;
    // A mismatching byte restarts the match and is not tried as its first
    // character again.
    matched = b == (uint8_t)kVersionMarker[matched] ? matched + 1 : 0;
  }
  if (!collect_line(port, start, limit_ms, false)) return false;
  if (!parse_dotted_numbers(g_receive_buffer, hex, version)) {
    // A line that arrived but does not parse counts as a time-out of this
    // attempt, so the caller's retry budget applies.
    plat_set_last_error(ERR_TIMEOUT);
    return false;
  }
  second->major = second->minor = second->build = 0;
  if (want_second) {
    uint8_t b;
    if (next_byte(port, start, limit_ms, &b) <= 0) return false;
    if (!collect_line(port, start, limit_ms, true)) return false;
    parse_dotted_numbers(g_receive_buffer, false, second);
  }
  return true;
}
