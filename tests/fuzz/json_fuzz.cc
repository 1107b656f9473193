// The journal's writers of outside text: the JSON string of any bytes (a
// path, a message, a box's line) and the visible form of a box's text.
// Invariants: the JSON string is valid UTF-8 with no raw control
// character, and a strict decoder reads it back to the very bytes, a
// \u0080..\u00FF escape standing for the one byte it names (the writer
// escapes only what is not UTF-8, as Latin-1); the visible form holds no
// control character a terminal acts on, keeps text that has none as it
// is, and is its own visible form.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/json_text.h"
#include "core/visible.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Length of the well-formed UTF-8 sequence at `p`, by the table of RFC 3629
// (section 4), or 0. Written apart from the tool's own check on purpose.
size_t utf8_length(const unsigned char* p, size_t left) {
  struct Row {
    unsigned char first_lo, first_hi, second_lo, second_hi;
    size_t len;
  };
  static const Row kRows[] = {
      {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
      {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
      {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
  };
  for (const Row& r : kRows) {
    if (p[0] < r.first_lo || p[0] > r.first_hi) continue;
    if (left < r.len || p[1] < r.second_lo || p[1] > r.second_hi) return 0;
    for (size_t i = 2; i < r.len; ++i)
      if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return r.len;
  }
  return 0;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at `p` (bounds checked by the caller), or -1.
long hex4(const char* p) {
  long v = 0;
  for (int i = 0; i < 4; ++i) {
    int h = hex_value(p[i]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

void put_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back((char)cp);
  } else if (cp < 0x800) {
    out->push_back((char)(0xC0 | cp >> 6));
    out->push_back((char)(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back((char)(0xE0 | cp >> 12));
    out->push_back((char)(0x80 | (cp >> 6 & 0x3F)));
    out->push_back((char)(0x80 | (cp & 0x3F)));
  } else {
    out->push_back((char)(0xF0 | cp >> 18));
    out->push_back((char)(0x80 | (cp >> 12 & 0x3F)));
    out->push_back((char)(0x80 | (cp >> 6 & 0x3F)));
    out->push_back((char)(0x80 | (cp & 0x3F)));
  }
}

// A strict reading of one JSON string that must fill all of `json`: the
// quotes, the two-character escapes of RFC 8259, \uXXXX with surrogates
// only in pairs, no raw byte below 0x20, well-formed UTF-8 elsewhere.
// A \u escape of U+0080..U+00FF gives its one byte. Returns false when it
// is not such a string.
bool decode(const std::string& json, std::string* out) {
  size_t n = json.size();
  if (n < 2 || json[0] != '"' || json[n - 1] != '"') return false;
  for (size_t i = 1; i < n - 1;) {
    unsigned char c = json[i];
    if (c < 0x20 || c == '"') return false;
    if (c >= 0x80) {
      size_t len = utf8_length(reinterpret_cast<const unsigned char*>(json.data()) + i, n - 1 - i);
      if (len == 0) return false;
      out->append(json, i, len);
      i += len;
      continue;
    }
    if (c != '\\') {
      out->push_back((char)c);
      i++;
      continue;
    }
    if (i + 1 >= n - 1) return false;
    char e = json[i + 1];
    static const char kFrom[] = "\"\\/bfnrt";
    static const char kTo[] = "\"\\/\b\f\n\r\t";
    if (e != 'u') {
      const char* at = std::strchr(kFrom, e);
      if (!at || e == '\0') return false;
      out->push_back(kTo[at - kFrom]);
      i += 2;
      continue;
    }
    if (i + 6 > n - 1) return false;
    long cp = hex4(json.data() + i + 2);
    if (cp < 0) return false;
    i += 6;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 6 > n - 1 || json[i] != '\\' || json[i + 1] != 'u') return false;
      long low = hex4(json.data() + i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 6;
    }
    if (cp >= 0x80 && cp <= 0xFF) out->push_back((char)cp);
    else put_utf8(out, (uint32_t)cp);
  }
  return true;
}

void check_json(const std::string& text) {
  std::string json = json_string(text.c_str());
  std::string back;
  FUZZ_CHECK(decode(json, &back));
  FUZZ_CHECK(back == text);
}

bool acted_on(unsigned char c) {
  return (c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F;
}

void check_visible(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  std::string shown = visible_text(in.data(), in.size());
  bool plain = true;
  for (unsigned char c : in) plain = plain && !acted_on(c) && (c < 0x80 || c >= 0xA0);
  for (unsigned char c : shown) FUZZ_CHECK(!acted_on(c));
  // A byte 0x80..0x9F stays only inside a UTF-8 sequence that is not a
  // C1 control.
  const unsigned char* s = reinterpret_cast<const unsigned char*>(shown.data());
  for (size_t i = 0; i < shown.size();) {
    size_t len = s[i] >= 0x80 ? utf8_length(s + i, shown.size() - i) : 1;
    if (len == 0) FUZZ_CHECK(s[i] >= 0xA0);
    if (len == 2) FUZZ_CHECK(!(s[i] == 0xC2 && s[i + 1] < 0xA0));
    i += len ? len : 1;
  }
  if (plain) FUZZ_CHECK(shown == in);
  FUZZ_CHECK(visible_text(shown.data(), shown.size()) == shown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  check_json(text.substr(0, text.find('\0')));
  check_visible(data, size);
  return 0;
}
