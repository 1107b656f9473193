// The supported bootloader table: bootloader versions, the PAD format codes
// that go with them, and whether the box can take the fast line speed.
#pragma once
#include <cstddef>
#include <cstdint>

struct BootloaderRow {
  const char* version;  // "major.minor", decimal
  uint8_t format;
  uint8_t fast_capable;  // 0 or 1
};

// Row `index` in table order, or nullptr past the last row.
const BootloaderRow* bootloader_row(size_t index);

// True if any row carries the format code.
bool is_known_format(uint8_t format);

// The fast-capable field of the first row for the version word's
// "major.minor" and the format code; else decided by the major number.
bool is_fast_capable(uint32_t version_word, uint8_t format);
