#include "image/sha256.h"

#include <gcrypt.h>

#include <cstdlib>
#include <cstring>

void crypto_ready() {
  static const bool ready = [] {
    if (!gcry_check_version(GCRYPT_VERSION)) std::abort();
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

void sha256(const void* p, size_t n, uint8_t out[kSha256Size]) {
  crypto_ready();
  gcry_md_hash_buffer(GCRY_MD_SHA256, out, p, n);
}

std::string hex_text(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(2 * n, '0');
  for (size_t i = 0; i < n; ++i) {
    text[2 * i] = kDigits[p[i] >> 4];
    text[2 * i + 1] = kDigits[p[i] & 15];
  }
  return text;
}

std::string sha256_hex(const void* p, size_t n) {
  uint8_t d[kSha256Size];
  sha256(p, n, d);
  return hex_text(d, sizeof d);
}

void sha256_begin(Sha256Stream* s) {
  crypto_ready();
  gcry_md_hd_t h = nullptr;
  // Fails only when the library is unusable: no digest is better than a
  // wrong one.
  if (gcry_md_open(&h, GCRY_MD_SHA256, 0) != 0) std::abort();
  s->handle = h;
}

void sha256_add(Sha256Stream* s, const void* p, size_t n) {
  if (s->handle) gcry_md_write(static_cast<gcry_md_hd_t>(s->handle), p, n);
}

void sha256_end(Sha256Stream* s, uint8_t out[kSha256Size]) {
  if (!s->handle) sha256_begin(s);
  gcry_md_hd_t h = static_cast<gcry_md_hd_t>(s->handle);
  std::memcpy(out, gcry_md_read(h, GCRY_MD_SHA256), kSha256Size);
  gcry_md_close(h);
  s->handle = nullptr;
}
