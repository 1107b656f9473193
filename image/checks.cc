#include "image/checks.h"

#include <cstdio>

#include "core/messages.h"
#include "core/settings.h"
#include "image/bootloader_table.h"
#include "image/image_buffer.h"

namespace {

// Codes whose bootloaders need the digit-echo handshake and the grant.
bool needs_sync(uint8_t format) {
  return format == 16 || format == 17 || (format >= 19 && format <= 25) || format == 32 ||
         format == 33 || (format >= 35 && format <= 41);
}

void put_be32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

constexpr uint64_t kRecordHeader = 48;
constexpr uint8_t kUnpatchedMark = 6;

}  // namespace

void apply_format_rules(uint8_t format) {
  if (needs_sync(format)) {
    g_settings.sync_mode = true;
    g_settings.await_grant = true;
  }
  // These images must match the box as they are; no option may patch them.
  if (format >= 32 && format <= 41) {
    g_settings.patch = false;
    g_settings.revision = false;
  }
  if (format == 22) g_settings.patch = true;
}

void check_fast_capable(uint8_t format, uint32_t version) {
  g_settings.fast_capable = is_fast_capable(version, format);
  if (g_settings.fast && !g_settings.fast_capable && !g_settings.force_fast) {
    std::fprintf(stderr, "%s\n", message(92));
    g_settings.fast = false;
  }
}

void pad_patch_versions(uint32_t length, uint32_t version) {
  uint64_t n = length < kImageBufferSize ? length : kImageBufferSize;
  uint8_t* image = g_image_buffer;
  if (n >= 9) put_be32(image + 5, version);

  // Records run up to the 4 checksum bytes. A header that does not fit, or a
  // data length that would carry past the image, ends the walk: only a
  // broken image has one, and nothing outside the image may be touched.
  // 64-bit offsets, so no data length can wrap r back into the image.
  uint64_t r = 9;
  while (r + 4 < n) {
    if (r + kRecordHeader > n) break;
    uint64_t next = r + kRecordHeader + be32(image + r + 32);
    if (next > n) break;
    if (image[r + 17] != kUnpatchedMark) put_be32(image + r + 16, version);
    r = next;
  }
}
