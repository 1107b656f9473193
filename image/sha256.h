// SHA-256 over libgcrypt: of a whole buffer at once, or of a stream taken
// in pieces (a file as it is read).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kSha256Size = 32;

// Makes libgcrypt ready once per process (its version check and no secure
// memory: nothing here is a long-lived secret worth locking into RAM).
// Every use of libgcrypt in the tree calls it first.
void crypto_ready();

// The digest of `n` bytes at `p`.
void sha256(const void* p, size_t n, uint8_t out[kSha256Size]);

// The digest of `n` bytes at `p` as 64 lower-case hex digits.
std::string sha256_hex(const void* p, size_t n);

// `n` bytes as lower-case hex digits.
std::string hex_text(const uint8_t* p, size_t n);

// A digest taken in pieces: sha256_begin, any sha256_add, then sha256_end,
// which gives the digest and frees the state.
struct Sha256Stream {
  void* handle = nullptr;
};
void sha256_begin(Sha256Stream* s);
void sha256_add(Sha256Stream* s, const void* p, size_t n);
void sha256_end(Sha256Stream* s, uint8_t out[kSha256Size]);
