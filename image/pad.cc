#include "image/pad.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/exit.h"
#include "core/messages.h"
#include "core/report.h"
#include "image/bootloader_table.h"
#include "image/checks.h"
#include "image/image_buffer.h"
#include "image/sha256.h"
#include "platform/file.h"

namespace {

constexpr char kCygdrivePrefix[] = "/cygdrive/";
constexpr size_t kCygdrivePrefixLength = sizeof kCygdrivePrefix - 1;

// The largest payload whose whole file (header and checksum too) still fits
// the image buffer: the loaders copy the file, not just the payload.
constexpr uint32_t kMaxPayload = kImageBufferSize - kPadOverhead;

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// What the file check accepted, for the loaders to hold every reload
// against: a file rebuilt in between must not go out as a mix of new bytes
// and stale buffer bytes, nor as another valid file.
struct Accepted {
  bool valid;
  std::string path;
  uint32_t size;
  uint64_t fingerprint;
  uint32_t checksum;  // as stored at the file's end
  bool hashed;        // sha256 holds the whole file's digest
  uint8_t sha256[kSha256Bytes];
};
Accepted g_accepted = {false, "", 0, 0, 0, false, {}};
bool g_take_sha256 = false;

// Why the last check refused its file, for the record.
char g_reason[160];

uint32_t refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));
uint32_t refuse(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(g_reason, sizeof g_reason, format, ap);
  va_end(ap);
  return 0;
}

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

// FNV-1a in eight lanes, byte i of the file going to lane i % 8: unlike the
// file's own sum it also tells apart files whose bytes only moved, and its
// eight chains of multiplies run side by side, so checking a large file
// costs about what reading it does.
struct Fingerprint {
  uint64_t lane[8] = {kFnvOffset, kFnvOffset, kFnvOffset, kFnvOffset,
                      kFnvOffset, kFnvOffset, kFnvOffset, kFnvOffset};
  uint64_t bytes = 0;  // taken so far; where the next one goes
};

void fingerprint_add(Fingerprint* f, const uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i < n && (f->bytes + i) % 8 != 0; ++i) {
    uint64_t& h = f->lane[(f->bytes + i) % 8];
    h = (h ^ p[i]) * kFnvPrime;
  }
  uint64_t h[8];
  std::memcpy(h, f->lane, sizeof h);
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) h[k] = (h[k] ^ p[i + k]) * kFnvPrime;
  std::memcpy(f->lane, h, sizeof h);
  for (; i < n; ++i) {
    uint64_t& l = f->lane[(f->bytes + i) % 8];
    l = (l ^ p[i]) * kFnvPrime;
  }
  f->bytes += n;
}

uint64_t fingerprint_value(const Fingerprint& f) {
  uint64_t h = kFnvOffset;
  for (uint64_t l : f.lane) h = (h ^ l) * kFnvPrime;
  return h;
}

uint64_t fingerprint_of(const uint8_t* p, size_t n) {
  Fingerprint f;
  fingerprint_add(&f, p, n);
  return fingerprint_value(f);
}

// Reads exactly `count` bytes. Returns 1 when all arrived, 0 otherwise.
int read_exact(std::FILE* f, uint8_t* dest, size_t count) {
  return std::fread(dest, 1, count, f) == count ? 1 : 0;
}

// Size of the file in bytes, or -1 when it cannot be opened or measured.
const char* format_reason(uint8_t format) {
  refuse("format code %u", (unsigned)format);
  return g_reason;
}

long file_size(const char* path) {
  std::FILE* f = plat_open_regular_file(path);
  if (f == nullptr) return -1;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  std::fclose(f);
  return size;
}

// Copies the whole file to the image buffer from byte 0. Returns 0 and the
// byte count in `loaded`, or 1 after a line on standard error (or, for a
// file that is no longer the one the check accepted, messages 38 and 39).
int load_file(const char* path, uint32_t* loaded) {
  errno = 0;
  std::FILE* f = plat_open_regular_file(path);
  if (f == nullptr) {
    char text[600];
    std::snprintf(text, sizeof text, "Cannot open file %s", path);
    int err = errno;
    report_failure_text(stderr, kNoCode, text, text);
    report_detail(err ? std::strerror(err) : "not a regular file");
    return 1;
  }
  size_t count = std::fread(g_image_buffer, 1, kImageBufferSize, f);
  // A full buffer with bytes still to come: the file grew since the check.
  // Refuse rather than send a cut image.
  int more = count == kImageBufferSize ? std::fgetc(f) : EOF;
  std::fclose(f);
  if (more != EOF) {
    report_failure(stderr, kNoCode, {102}, "\n");
    return 1;
  }
  if (g_accepted.valid && g_accepted.path == path &&
      (count != g_accepted.size ||
       (!g_accepted.hashed && fingerprint_of(g_image_buffer, count) != g_accepted.fingerprint))) {
    report_failure(stdout, kNoCode, {38, 39}, "\n");
    return 1;
  }
  // A signed file: only the bytes whose digest was checked go out, which a
  // fingerprint cannot promise against a file made to match it. The digest
  // stands in for the fingerprint then.
  if (g_accepted.valid && g_accepted.hashed && g_accepted.path == path) {
    uint8_t d[kSha256Bytes];
    sha256(g_image_buffer, count, d);
    if (std::memcmp(d, g_accepted.sha256, sizeof d) != 0) {
      report_failure(stdout, kNoCode, {38, 39}, "\n");
      return 1;
    }
  }
  *loaded = static_cast<uint32_t>(count);
  return 0;
}

}  // namespace

void normalize_pad_path(char* name) {
  if (std::strncmp(name, kCygdrivePrefix, kCygdrivePrefixLength) != 0) return;
  std::memmove(name, name + kCygdrivePrefixLength, std::strlen(name + kCygdrivePrefixLength) + 1);
  if (name[0] == '\0') return;
  // A bare drive letter ("/cygdrive/c") still has the room of the removed
  // prefix, so it can become "c:".
  if (name[1] == '\0') name[2] = '\0';
  name[1] = ':';
}

uint32_t pad_verify(const char* path, uint8_t* format, uint32_t* version, uint32_t* checksum,
                    bool* too_big) {
  if (too_big) *too_big = false;
  g_accepted.valid = false;
  errno = 0;
  long size = file_size(path);
  if (size < 0) return refuse("%s", errno ? std::strerror(errno) : "not a regular file");
  if (size == 0) return refuse("too short: empty");

  std::FILE* f = plat_open_regular_file(path);
  if (f == nullptr) return refuse("cannot be opened again");
  uint8_t header[9];
  if (!read_exact(f, header, 4)) {
    std::fclose(f);
    return refuse("too short: %ld bytes, no length field", size);
  }
  uint32_t length = be32(header);
  // 64-bit so that neither side can wrap.
  if (static_cast<unsigned long long>(size) !=
      static_cast<unsigned long long>(length) + kPadOverhead) {
    std::fclose(f);
    return refuse("size field: payload length %lu, file size %ld", (unsigned long)length, size);
  }
  if (!read_exact(f, header + 4, 5)) {
    std::fclose(f);
    return refuse("too short: %ld bytes, no whole header", size);
  }
  if (length > kMaxPayload) {
    std::fclose(f);
    if (too_big) {
      *too_big = true;
      return 0;
    }
    report_failure(stderr, kNoCode, {102}, "\n");
    exit_run(1);
  }

  Fingerprint print;
  if (!g_take_sha256) fingerprint_add(&print, header, sizeof header);
  Sha256Stream digest;
  if (g_take_sha256) sha256_add(&digest, header, sizeof header);
  uint32_t sum = 0;
  uint32_t done = 0;
  while (done < length) {
    size_t got = std::fread(g_image_buffer + done, 1, length - done, f);
    if (got == 0) {
      std::fclose(f);
      uint8_t unused[kSha256Bytes];
      if (g_take_sha256) sha256_end(&digest, unused);  // frees it
      return refuse("too short: the payload ends early");
    }
    for (size_t i = 0; i < got; ++i) sum += g_image_buffer[done + i];
    if (!g_take_sha256) fingerprint_add(&print, g_image_buffer + done, got);
    if (g_take_sha256) sha256_add(&digest, g_image_buffer + done, got);
    done += static_cast<uint32_t>(got);
  }
  uint8_t stored[4];
  int ok = read_exact(f, stored, 4) && be32(stored) == sum;
  std::fclose(f);
  if (!ok) {
    uint8_t unused[kSha256Bytes];
    if (g_take_sha256) sha256_end(&digest, unused);  // frees it
    return refuse("checksum: stored %08lx, payload sums to %08lx", (unsigned long)be32(stored),
                  (unsigned long)sum);
  }

  *format = header[4];
  *version = be32(header + 5);
  if (checksum) *checksum = be32(stored);
  fingerprint_add(&print, stored, sizeof stored);
  g_accepted = {true,  path, static_cast<uint32_t>(size), fingerprint_value(print), be32(stored),
                false, {}};
  if (g_take_sha256) {
    sha256_add(&digest, stored, sizeof stored);
    sha256_end(&digest, g_accepted.sha256);
    g_accepted.hashed = true;
  }
  return static_cast<uint32_t>(size);
}

void pad_take_sha256(bool on) { g_take_sha256 = on; }

bool pad_accepted_sha256(uint8_t out[kSha256Bytes]) {
  if (!g_accepted.valid || !g_accepted.hashed) return false;
  std::memcpy(out, g_accepted.sha256, kSha256Bytes);
  return true;
}

PadCheck pad_file_check(const char* path) {
  PadCheck c = {};
  std::printf("%s", message(38));
  c.size = pad_verify(path, &c.format, &c.version);
  if (c.size == 0) {
    report_failure_after(stdout, 38, 39);
    report_detail(g_reason);
    exit_run(1);
  }
  std::printf("%s\n", message(40));
  if (!is_known_format(c.format)) {
    report_failure(stdout, kNoCode, {87}, "\n");
    report_detail(format_reason(c.format));
    exit_run(1);
  }
  // The check has read the file already; reading it again could give a
  // later file's sum for the image that was checked.
  c.checksum = g_accepted.checksum;
  return c;
}

bool pad_buffer_check(uint32_t size) {
  const uint8_t* b = g_image_buffer;
  bool ok =
      size >= kPadOverhead && size <= kImageBufferSize && uint64_t{be32(b)} + kPadOverhead == size;
  if (ok) {
    uint32_t length = size - kPadOverhead;
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += b[9 + i];
    ok = be32(b + 9 + length) == sum;
  }
  if (!ok) {
    report_failure(stdout, kNoCode, {38, 39}, "\n");
    if (size < kPadOverhead) refuse("too short: %lu bytes", (unsigned long)size);
    else if (uint64_t{be32(b)} + kPadOverhead != size)
      refuse("size field: payload length %lu, %lu bytes received", (unsigned long)be32(b),
             (unsigned long)size);
    else refuse("checksum");
    report_detail(g_reason);
    return false;
  }
  if (!is_known_format(b[4])) {
    report_failure(stdout, kNoCode, {87}, "\n");
    report_detail(format_reason(b[4]));
    return false;
  }
  return true;
}

int pad_load(const char* path, uint32_t /*length*/, bool prefilled) {
  if (prefilled) return 0;
  uint32_t loaded = 0;
  return load_file(path, &loaded);
}

int pad_load_patched(const char* path, uint32_t length, uint32_t version, bool prefilled) {
  uint32_t loaded = length;
  if (!prefilled && load_file(path, &loaded) != 0) return 1;
  pad_patch_versions(loaded, version);
  return 0;
}
