#include "core/journal.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/messages.h"
#include "core/settings.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Attempt {
  bool open;
  SteadyClock::time_point start;
  bool have_image;
  JournalImage image;
  bool have_box;
  uint16_t box_major, box_minor;
  uint32_t line_speed;  // 0 = not known
  uint32_t bytes_sent;
};

plat_file g_file = kNoFile;
const char* g_path = "";
const char* g_given_file = nullptr;
Attempt g_attempt;

// Length of the UTF-8 sequence at `p` (at most `left` bytes), or 0 when it
// is not a well-formed one (overlong, surrogate, beyond U+10FFFF, cut off).
size_t utf8_length(const unsigned char* p, size_t left) {
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

void add(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add(std::string* out, const char* format, ...) {
  char buf[128];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  *out += buf;
}

std::string version_text(uint32_t word) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u", (unsigned)(word >> 16), (unsigned)(word & 0xFFFF));
  return json_string(buf);
}

std::string utc_now() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t secs = (std::time_t)(ms / 1000);
  std::tm* t = std::gmtime(&secs);
  char buf[80];
  if (!t) return "\"\"";
  std::snprintf(buf, sizeof buf, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", t->tm_year + 1900,
                t->tm_mon + 1, t->tm_mday, t->tm_hour, t->tm_min, t->tm_sec, (int)(ms % 1000));
  return buf;
}

const char* mode_name(const RunSettings& s) {
  if (!s.server) return s.network ? "network" : "serial";
  return s.server_command == 2 ? "server-download" : "server-query";
}

// The message that ended a failing attempt, without the blanks and line
// breaks that join it to what followed on the console.
std::string error_text() {
  const char* text = last_shown_english();
  size_t n = std::strlen(text);
  size_t b = 0;
  while (b < n && (text[b] == ' ' || text[b] == '\n')) b++;
  while (n > b && (text[n - 1] == ' ' || text[n - 1] == '\n')) n--;
  return json_string(std::string(text + b, n - b).c_str());
}

std::string record(int exit_code) {
  const RunSettings& s = g_settings;
  const Attempt& a = g_attempt;
  std::string r = "{\"time\":" + utc_now();
  std::string tool(s.program_name, strnlen(s.program_name, sizeof s.program_name));
  add(&tool, " %i.%i-%i", s.revision_numbers[0], s.revision_numbers[1], s.revision_numbers[2]);
  r += ",\"tool\":" + json_string(tool.c_str());
  r += ",\"mode\":" + json_string(mode_name(s));
  r += ",\"port\":";
  if (s.network && !s.server) {
    std::string where = s.host ? s.host : "";
    add(&where, ":%i", s.tcp_port & 0xFFFF);
    r += json_string(where.c_str());
  } else if (s.port_path) {
    r += json_string(s.port_path);
  } else {
    add(&r, "%i", s.com_port);
  }
  r += ",\"file\":";
  r += s.server ? json_string("server") : g_given_file ? json_string(g_given_file) : "null";
  if (a.have_image) {
    add(&r, ",\"file_size\":%lu", (unsigned long)a.image.size);
    if (a.image.from_file)
      add(&r, ",\"file_checksum\":\"%08lx\"", (unsigned long)a.image.checksum);
    else
      r += ",\"file_checksum\":null";
    add(&r, ",\"format\":%i", a.image.format);
    r += ",\"file_version\":";
    r += a.image.from_file ? version_text(a.image.version_word) : "null";
  } else {
    r += ",\"file_size\":null,\"file_checksum\":null,\"format\":null,\"file_version\":null";
  }
  r += ",\"box_version\":";
  r += a.have_box ? version_text(((uint32_t)a.box_major << 16) | a.box_minor) : "null";
  r += s.patch ? ",\"patched\":true" : ",\"patched\":false";
  if (a.line_speed)
    add(&r, ",\"line_speed\":%lu", (unsigned long)a.line_speed);
  else
    r += ",\"line_speed\":null";
  add(&r, ",\"bytes_sent\":%lu", (unsigned long)a.bytes_sent);
  double secs = std::chrono::duration<double>(SteadyClock::now() - a.start).count();
  add(&r, ",\"seconds\":%.3f", secs);
  r += exit_code == 0 ? ",\"result\":\"ok\"" : ",\"result\":\"failed\"";
  add(&r, ",\"exit_code\":%i", exit_code);
  if (exit_code != 0) r += ",\"error\":" + error_text();
  r += "}\n";
  return r;
}

}  // namespace

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
      add(&out, "\\u%04x", c);
    } else if (c >= 0x80) {
      size_t n = utf8_length(p, left);
      if (n == 0) {
        add(&out, "\\u%04x", c);
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

bool journal_open(const char* path) {
  g_file = plat_append_open(path);
  if (g_file == kNoFile) {
    uint32_t err = plat_last_error();
    std::fprintf(stderr, "%s: cannot open the journal %s: %s\n", g_settings.program_name, path,
                 plat_file_error_text(err));
    return false;
  }
  g_path = path;
  journal_begin();
  return true;
}

void journal_begin() {
  if (g_file == kNoFile) return;
  // The image stays for the next box of the run, except where each box
  // fetches its own from the update server.
  bool keep_image = g_attempt.have_image && !g_settings.server;
  JournalImage image = g_attempt.image;
  g_attempt = Attempt{};
  g_attempt.open = true;
  g_attempt.start = SteadyClock::now();
  g_attempt.have_image = keep_image;
  g_attempt.image = image;
}

void journal_set_file(const char* given) { g_given_file = given; }

void journal_set_image(const JournalImage& image) {
  g_attempt.have_image = true;
  g_attempt.image = image;
}

void journal_set_box_version(uint16_t major, uint16_t minor) {
  g_attempt.have_box = true;
  g_attempt.box_major = major;
  g_attempt.box_minor = minor;
}

void journal_set_line_speed(uint32_t baud) { g_attempt.line_speed = baud; }

void journal_set_bytes_sent(uint32_t bytes) { g_attempt.bytes_sent = bytes; }

bool journal_end(int exit_code) {
  if (g_file == kNoFile || !g_attempt.open) return true;
  g_attempt.open = false;
  std::string line = record(exit_code);
  if (plat_append_record(g_file, line.data(), line.size())) return true;
  uint32_t err = plat_last_error();
  std::fprintf(stderr, "%s: cannot write the journal %s: %s\n", g_settings.program_name, g_path,
               plat_file_error_text(err));
  return false;
}
