// The PAD check, the loaders and both version-patch walks (a patched file
// load, and the patch over an image already in the buffer) on any bytes.
// Invariants: the check accepts exactly the well-formed files; a load is the
// file byte for byte and touches nothing after it; a reload of a changed file
// is refused; a patch changes only version words of records wholly inside
// the image.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <cstdio>

#include "image/image_buffer.h"
#include "image/pad.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr uint8_t kCanary = 0xA5;
constexpr size_t kCanaryBytes = 256;
std::string g_path;

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void write_file(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(g_path.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

void set_canary(size_t from) { std::memset(g_image_buffer + from, kCanary, kCanaryBytes); }

bool canary_intact(size_t from) {
  for (size_t i = from; i < from + kCanaryBytes; ++i)
    if (g_image_buffer[i] != kCanary) return false;
  return true;
}

void put_word(std::vector<uint8_t>* image, size_t at, uint32_t version) {
  for (int i = 0; i < 4; ++i) (*image)[at + i] = uint8_t(version >> (24 - 8 * i));
}

// What a patch of the first `n` bytes of `before` must give, by a walk of
// its own: the header's version word, and the version word of every
// unmarked record whose header and data lie inside the image, up to the
// first record that does not.
std::vector<uint8_t> patched(const std::vector<uint8_t>& before, size_t n, uint32_t version) {
  std::vector<uint8_t> want(before.begin(), before.begin() + n);
  if (n >= 9) put_word(&want, 5, version);
  for (uint64_t r = 9; r + 4 < n && r + 48 <= n;) {
    uint64_t next = r + 48 + be32(&before[r + 32]);
    if (next > n) break;
    if (before[r + 17] != 6) put_word(&want, r + 16, version);
    r = next;
  }
  return want;
}

void check_patch(const std::vector<uint8_t>& before, size_t n, uint32_t version) {
  std::vector<uint8_t> want = patched(before, n, version);
  for (size_t i = 0; i < n; ++i) {
    if (g_image_buffer[i] != want[i])
      std::fprintf(stderr, "byte %zu: %02x, want %02x\n", i, g_image_buffer[i], want[i]);
    FUZZ_CHECK(g_image_buffer[i] == want[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_quiet_stdout();
  char tmpl[] = "/tmp/pad_fuzz.XXXXXX";
  int fd = mkstemp(tmpl);
  if (fd < 0) std::abort();
  close(fd);
  g_path = tmpl;
  std::atexit([] { unlink(g_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kImageBufferSize - kCanaryBytes) return 0;
  // The first four bytes choose the version written by the patch; all of
  // the input is the file.
  uint32_t version = size >= 4 ? be32(data) ^ 0x5A5A5A5A : 0x00170000;
  std::vector<uint8_t> file(data, data + size);

  write_file(data, size);
  uint8_t format = 0;
  uint32_t word = 0;
  uint32_t s = pad_verify(g_path.c_str(), &format, &word);
  bool well_formed = size >= 13 && be32(data) == size - 13;
  if (well_formed) {
    uint32_t sum = 0;
    for (size_t i = 9; i < size - 4; ++i) sum += data[i];
    well_formed = sum == be32(data + size - 4);
  }
  FUZZ_CHECK((s != 0) == well_formed);
  if (s != 0) {
    FUZZ_CHECK(s == size && format == data[4] && word == be32(data + 5));

    set_canary(size);
    FUZZ_CHECK(pad_load(g_path.c_str(), s, false) == 0);
    FUZZ_CHECK(std::memcmp(g_image_buffer, data, size) == 0);
    FUZZ_CHECK(canary_intact(size));

    set_canary(size);
    FUZZ_CHECK(pad_load_patched(g_path.c_str(), s, version, false) == 0);
    check_patch(file, size, version);
    FUZZ_CHECK(canary_intact(size));

    // The same file with one byte changed (or one byte more) is not what
    // the check accepted.
    std::vector<uint8_t> changed = file;
    if (size > 0) changed[version % size] ^= 0x01;
    else changed.push_back(0);
    write_file(changed.data(), changed.size());
    FUZZ_CHECK(pad_load(g_path.c_str(), s, false) == 1);
    FUZZ_CHECK(pad_load_patched(g_path.c_str(), s, version, false) == 1);
  }

  // The patch over an image that is already in the buffer (the server's
  // software): the length given is the bound.
  std::memcpy(g_image_buffer, data, size);
  set_canary(size);
  FUZZ_CHECK(pad_load_patched("dummy", static_cast<uint32_t>(size), version, true) == 0);
  check_patch(file, size, version);
  FUZZ_CHECK(canary_intact(size));
  return 0;
}
