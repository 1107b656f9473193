#include "platform/random.h"

#include <windows.h>

// After windows.h, which it needs.
#include <bcrypt.h>

bool plat_random_bytes(void* out, size_t n) {
  unsigned char* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    ULONG chunk = n > 0x10000000 ? 0x10000000 : static_cast<ULONG>(n);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    p += chunk;
    n -= chunk;
  }
  return true;
}
