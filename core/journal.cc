#include "core/journal.h"

#include <chrono>
#include <cstdarg>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/visible.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

// The journal's path once the first open proved it writable, and that
// first handle: kept open for the run, so a FIFO's reader does not see the
// end of its input between two records.
std::string g_path;
plat_file g_first = kNoFile;
const char* g_program = "update";

void add(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void add(std::string* out, const char* format, ...) {
  char buf[128];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  *out += buf;
}

std::string version_text(uint16_t major, uint16_t minor) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u", (unsigned)major, (unsigned)minor);
  return json_string(buf);
}

const char* result_name(RunEnd end) {
  switch (end) {
    case RunEnd::kOk: return "ok";
    case RunEnd::kStopped: return "stopped";
    default: return "failed";
  }
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
      add(&out, "\\u%04x", c);
    } else if (c >= 0x80) {
      size_t n = utf8_sequence_length(p, left);
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

std::string journal_line(const JournalRecord& a) {
  std::string r = "{\"time\":" + a.time;
  r += ",\"tool\":" + json_string(a.tool);
  r += ",\"mode\":" + json_string(a.mode);
  r += ",\"port\":";
  if (a.port_text)
    r += json_string(a.port_text);
  else
    add(&r, "%i", a.com_port);
  r += ",\"file\":";
  r += a.file ? json_string(a.file) : "null";
  if (a.have_image) {
    add(&r, ",\"file_size\":%lu", (unsigned long)a.image.size);
    if (a.image.from_file)
      add(&r, ",\"file_checksum\":\"%08lx\"", (unsigned long)a.image.checksum);
    else
      r += ",\"file_checksum\":null";
    add(&r, ",\"format\":%i", a.image.format);
    r += ",\"file_version\":";
    r += a.image.from_file
             ? version_text((uint16_t)(a.image.version_word >> 16), (uint16_t)a.image.version_word)
             : "null";
  } else {
    r += ",\"file_size\":null,\"file_checksum\":null,\"format\":null,\"file_version\":null";
  }
  r += ",\"box_version\":";
  r += a.have_box ? version_text(a.box_major, a.box_minor) : "null";
  r += a.patched ? ",\"patched\":true" : ",\"patched\":false";
  if (a.line_speed)
    add(&r, ",\"line_speed\":%lu", (unsigned long)a.line_speed);
  else
    r += ",\"line_speed\":null";
  add(&r, ",\"bytes_sent\":%lu", (unsigned long)a.bytes_sent);
  add(&r, ",\"seconds\":%.3f", a.seconds);
  r += ",\"result\":\"";
  r += result_name(a.end);
  add(&r, "\",\"exit_code\":%i", a.exit_code);
  if (a.end != RunEnd::kOk) {
    r += ",\"error\":" + json_string(a.error ? a.error : "");
    if (a.error_code.present)
      add(&r, ",\"error_code\":%ld", a.error_code.value);
    else
      r += ",\"error_code\":null";
    r += ",\"box_error\":";
    r += a.box_error && *a.box_error ? json_string(a.box_error) : "null";
  }
  return r + "}";
}

bool journal_open(const char* program, const char* path) {
  g_program = program;
  g_first = plat_append_open(path);
  if (g_first == kNoFile) {
    uint32_t err = plat_last_error();
    std::fprintf(stderr, "%s: cannot open the journal %s: %s\n", program, path,
                 plat_file_error_text(err));
    return false;
  }
  g_path = path;
  return true;
}

bool journal_is_open() { return g_first != kNoFile; }

bool journal_append(const std::string& object) {
  if (g_first == kNoFile) return true;
  // Opened afresh for every record: a journal rotated or deleted since the
  // last one gets this line in the file that now has its name.
  plat_file f = plat_append_open(g_path.c_str());
  std::string line = object + "\n";
  bool ok = f != kNoFile && plat_append_record(f, line.data(), line.size());
  uint32_t err = plat_last_error();
  if (f != kNoFile) plat_append_close(f);
  if (ok) return true;
  std::fprintf(stderr, "%s: cannot write the journal %s: %s\n", g_program, g_path.c_str(),
               plat_file_error_text(err));
  return false;
}
