#include <cstdint>

#include "platform/console.h"

namespace {

// Code page 1252 from 0x80 to 0x9F; from 0xA0 up it is Latin-1. The five
// bytes it leaves undefined keep their own value, as the system reads them.
const char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                  0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t cp1252(unsigned char c) {
  return c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : static_cast<char16_t>(c);
}

// The length of the UTF-8 sequence that lead byte `c` starts, 0 when `c`
// starts none; `lo`..`hi` is the range its second byte must be in, which
// rules out overlong forms, surrogates and values past U+10FFFF.
int sequence(unsigned char c, unsigned char* lo, unsigned char* hi) {
  *lo = 0x80;
  *hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) return 2;
  if (c >= 0xE0 && c <= 0xEF) {
    if (c == 0xE0) *lo = 0xA0;
    if (c == 0xED) *hi = 0x9F;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (c == 0xF0) *lo = 0x90;
    if (c == 0xF4) *hi = 0x8F;
    return 4;
  }
  return 0;
}

}  // namespace

size_t plat_console_utf16(const char* text, size_t n, bool more, std::u16string* out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    unsigned char lo, hi;
    int len = c < 0x80 ? 1 : sequence(c, &lo, &hi);
    int have = 1;
    while (have < len && i + have < n) {
      unsigned char b = p[i + have];
      if (b < (have == 1 ? lo : 0x80) || b > (have == 1 ? hi : 0xBF)) break;
      have++;
    }
    if (len > 1 && have < len && i + have == n && more) break;  // the rest comes later
    if (len <= 1 || have < len) {
      out->push_back(cp1252(c));
      i++;
      continue;
    }
    uint32_t v = c & (0xFF >> (len + 1));
    for (int k = 1; k < len; k++) v = (v << 6) | (p[i + k] & 0x3F);
    if (v >= 0x10000) {
      v -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(v));
    }
    i += static_cast<size_t>(len);
  }
  return i;
}
