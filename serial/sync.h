// Waking, synchronising and identifying the box's bootloader.
#pragma once
#include <cstdint>

#include "platform/serial.h"

struct VersionRecord {
  uint16_t major;
  uint16_t minor;
  uint16_t build;
};

struct SyncSettings {
  bool grant_phase;  // wait for "granted" (if the keyword was sent), drain
  bool grant_limit;  // the grant wait lasts at most 1000 ms, a miss ignored
  bool keyword_sent;
  bool urloader;
  bool quiet;
  bool give_up;  // fail after every 20 unanswered digits
  bool read_after_sync;
};

constexpr uint8_t kStartByte = 0xAF;
constexpr uint8_t kSpeedKeep = 0xFE;

// Speed code of a target rate: 0xF1 for 460800, 0xF2 for 921600, else 0xF0.
uint8_t speed_code_for(uint32_t baud);

// Writes the keyword within `limit_ms` (0 = none). Returns true on success.
bool send_keyword(plat_port port, const char* keyword, uint32_t limit_ms);

// Digit-echo synchronisation ending in the start byte and `speed_byte`.
// Returns true when both went out; false with give_up, or when the device
// is gone (kErrReadAborted). A refused grant without a limit ends the run.
bool synchronise(plat_port port, uint8_t speed_byte, const SyncSettings& s);

// Synchronise with `code`, switch the line to `baud`, synchronise again.
bool change_speed(plat_port port, uint8_t code, uint32_t baud, const SyncSettings& s);

// Reads the "Bootloader Version" line within `limit_ms`. Returns true with
// `*version` (and `*second` when `want_second`) filled.
bool read_bootloader_version(plat_port port, uint32_t limit_ms, bool hex, bool want_second,
                             VersionRecord* version, VersionRecord* second);

// Parses up to four dotted numbers from the first decimal digit on (in
// hexadecimal from the start of the word that holds it). Returns true for
// exactly two or four numbers, in hexadecimal each within 16 bits; on false
// all fields are 0 (unchanged for an empty text).
bool parse_dotted_numbers(const char* text, bool hex, VersionRecord* out);
