#include "image/sha256.h"

#include <gcrypt.h>

#include <cstdlib>
#include <cstring>

bool gcrypt_ready() {
  // Another part of the program may have made it ready already; a second
  // initialisation would be refused.
  if (gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) return true;
  if (!gcry_check_version(GCRYPT_VERSION)) return false;
  gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  return true;
}

void sha256(const void* data, size_t size, uint8_t out[kSha256Bytes]) {
  gcrypt_ready();
  gcry_md_hash_buffer(GCRY_MD_SHA256, out, data, size);
}

void sha256_hex(const void* data, size_t size, char hex[2 * kSha256Bytes + 1]) {
  uint8_t d[kSha256Bytes];
  sha256(data, size, d);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < kSha256Bytes; i++) {
    hex[2 * i] = kHex[d[i] >> 4];
    hex[2 * i + 1] = kHex[d[i] & 15];
  }
  hex[2 * kSha256Bytes] = '\0';
}

void sha256_begin(Sha256Stream* s) {
  gcrypt_ready();
  gcry_md_hd_t h = nullptr;
  // Fails only when the library is unusable: no digest is better than a
  // wrong one.
  if (gcry_md_open(&h, GCRY_MD_SHA256, 0) != 0) std::abort();
  s->handle = h;
}

void sha256_add(Sha256Stream* s, const void* data, size_t size) {
  if (!s->handle) sha256_begin(s);
  gcry_md_write(static_cast<gcry_md_hd_t>(s->handle), data, size);
}

void sha256_end(Sha256Stream* s, uint8_t out[kSha256Bytes]) {
  if (!s->handle) sha256_begin(s);
  gcry_md_hd_t h = static_cast<gcry_md_hd_t>(s->handle);
  std::memcpy(out, gcry_md_read(h, GCRY_MD_SHA256), kSha256Bytes);
  gcry_md_close(h);
  s->handle = nullptr;
}
