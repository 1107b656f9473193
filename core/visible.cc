#include "core/visible.h"

#include <cstdint>

namespace {

// `c` (0x00..0x1F or 0x7F) in caret notation: ^@ .. ^_, and ^? for DEL.
void caret(std::string* out, unsigned char c) {
  out->push_back('^');
  out->push_back(c == 0x7F ? '?' : (char)(c + 0x40));
}

}  // namespace

size_t utf8_sequence_length(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (left < n) return 0;
  for (size_t i = 1; i < n; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return n;
}

// Bytes from 0x80 up: a terminal in an 8-bit mode takes a lone 0x80..0x9F
// as a C1 control (0x9B starts a sequence like ESC [), and some take
// U+0080..U+009F in UTF-8 the same way, so those are shown. A lone byte from
// 0xA0 up is a Latin-1 letter and a well-formed UTF-8 sequence is text:
// both stay as they are, so a box's umlauts read right in either encoding.
std::string visible_text(const char* text, size_t n) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) caret(&out, c);
      else out.push_back((char)c);
      i++;
      continue;
    }
    size_t len = utf8_sequence_length(p + i, n - i);
    unsigned char control = 0;  // a C1 control, or 0
    if (len == 0 && c < 0xA0) control = c;
    if (len == 2 && c == 0xC2 && p[i + 1] < 0xA0) control = p[i + 1];  // U+0080..U+009F
    if (control) {
      out += "M-";
      caret(&out, control - 0x80);
    } else if (len) {
      out.append(text + i, len);
    } else {
      out.push_back((char)c);
    }
    i += len ? len : 1;
  }
  return out;
}
