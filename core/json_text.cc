#include "core/json_text.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/visible.h"

namespace {

void add_escape(std::string* out, unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", c);
  *out += buf;
}

}  // namespace

std::string utc_now_text() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(ms / 1000);
  std::tm* t = std::gmtime(&secs);
  if (!t) return "";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t->tm_year + 1900,
                t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec,
                static_cast<int>(ms % 1000));
  return buf;
}

std::string json_string(const char* text) {
  std::string out = "\"";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t left = std::strlen(text);
  while (left > 0) {
    unsigned char c = *p;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += (char)c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      add_escape(&out, c);
    } else if (c >= 0x80) {
      size_t n = utf8_sequence_length(p, left);
      if (n == 0) {
        add_escape(&out, c);
      } else {
        out.append(reinterpret_cast<const char*>(p), n);
        p += n;
        left -= n;
        continue;
      }
    } else {
      out += (char)c;
    }
    p++;
    left--;
  }
  return out + "\"";
}
