// The system's random source, for ids no two attempts share.
#pragma once
#include <cstddef>

// Fills `n` bytes at `out` from the system's cryptographic random source
// (POSIX: getrandom; Windows: BCryptGenRandom). Returns true when all `n`
// bytes were filled; false when the source failed.
bool plat_random_bytes(void* out, size_t n);
