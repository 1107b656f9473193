// SHA-256 through libgcrypt: what a record names as the bytes that went to
// a box, and what a signature is taken over. The library is made ready on
// first use, so any caller may come first.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kSha256Bytes = 32;

// Makes libgcrypt ready once (version check, no secure memory). Returns
// false when the library is older than the one built against.
bool gcrypt_ready();

// The digest of `size` bytes at `data` into `out`.
void sha256(const void* data, size_t size, uint8_t out[kSha256Bytes]);

// The same as 64 lower-case hex digits and a NUL into `hex`.
void sha256_hex(const void* data, size_t size, char hex[2 * kSha256Bytes + 1]);

// A digest taken in pieces (a file as it is read): sha256_begin, any
// sha256_add, then sha256_end, which gives the digest and frees the state.
struct Sha256Stream {
  void* handle = nullptr;
};
void sha256_begin(Sha256Stream* s);
void sha256_add(Sha256Stream* s, const void* data, size_t size);
void sha256_end(Sha256Stream* s, uint8_t out[kSha256Bytes]);
