#include "core/journal.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/json_text.h"
#include "core/visible.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/random.h"

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

// The box's line is the one field whose length the box decides. Cut, it
// keeps the record under the 4,096 bytes a single append writes whole:
// at most kBoxErrorChars characters, and no more than kBoxErrorJsonBytes
// once written as JSON (a byte that is not UTF-8 takes six).
constexpr size_t kBoxErrorChars = 1000;
constexpr size_t kBoxErrorJsonBytes = 2000;
const char kCutMark[] = "[cut]";

// The bytes a record may take, its line end included, to be written whole.
constexpr size_t kRecordBytes = 4095;

// `budget`: the JSON bytes the rest of the record leaves it.
std::string box_error_text(const char* text, size_t budget) {
  // Quotes and the mark must fit beside the text.
  size_t most = budget > sizeof kCutMark + 2 ? budget - sizeof kCutMark - 2 : 0;
  if (most > kBoxErrorJsonBytes) most = kBoxErrorJsonBytes;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t left = std::strlen(text);
  size_t chars = 0, json = 0, kept = 0;
  while (kept < left) {
    size_t n = p[kept] >= 0x80 ? utf8_sequence_length(p + kept, left - kept) : 1;
    size_t cost = n == 0                              ? 6
                  : p[kept] < 0x20 || p[kept] == 0x7F ? 6
                  : p[kept] == '"' || p[kept] == '\\' ? 2
                                                      : n;
    if (chars == kBoxErrorChars || json + cost > most)
      return json_string((std::string(text, kept) + kCutMark).c_str());
    kept += n == 0 ? 1 : n;
    chars++;
    json += cost;
  }
  return json_string(text);
}

const char* result_name(RunEnd end) {
  switch (end) {
    case RunEnd::kOk: return "ok";
    case RunEnd::kStopped: return "stopped";
    default: return "failed";
  }
}

}  // namespace

std::string journal_line(const JournalRecord& a) {
  std::string r = "{\"time\":" + a.time;
  r += ",\"tool\":" + json_string(a.tool);
  r += ",\"station\":";
  r += a.station ? json_string(a.station) : "null";
  r += ",\"attempt\":";
  r += a.attempt ? json_string(a.attempt) : "null";
  r += ",\"unit\":";
  r += a.unit ? json_string(a.unit) : "null";
  r += ",\"operator\":";
  r += a.operator_name ? json_string(a.operator_name) : "null";
  r += ",\"mode\":" + json_string(a.mode);
  r += ",\"port\":";
  if (a.port_text) r += json_string(a.port_text);
  else add(&r, "%i", a.com_port);
  r += ",\"file\":";
  r += a.file ? json_string(a.file) : "null";
  if (a.have_image) {
    add(&r, ",\"file_size\":%lu", (unsigned long)a.image.size);
    if (a.image.from_file) add(&r, ",\"file_checksum\":\"%08lx\"", (unsigned long)a.image.checksum);
    else r += ",\"file_checksum\":null";
    add(&r, ",\"format\":%i", a.image.format);
    r += ",\"file_version\":";
    r += a.image.from_file
             ? version_text((uint16_t)(a.image.version_word >> 16), (uint16_t)a.image.version_word)
             : "null";
  } else {
    r += ",\"file_size\":null,\"file_checksum\":null,\"format\":null,\"file_version\":null";
  }
  r += ",\"image_sha256\":";
  r += a.image_sha256 ? json_string(a.image_sha256) : "null";
  if (a.image_sha256) add(&r, ",\"image_size\":%lu", (unsigned long)a.image_size);
  else r += ",\"image_size\":null";
  r += ",\"software_version\":";
  r += a.software_version ? json_string(a.software_version) : "null";
  r += ",\"box_version\":";
  r += a.have_box ? version_text(a.box_major, a.box_minor) : "null";
  r += a.patched ? ",\"patched\":true" : ",\"patched\":false";
  if (a.signature) {
    r += ",\"signature\":" + json_string(a.signature) + ",\"signature_key\":";
    r += a.signature_key ? json_string(a.signature_key) : "null";
  }
  if (a.line_speed) add(&r, ",\"line_speed\":%lu", (unsigned long)a.line_speed);
  else r += ",\"line_speed\":null";
  add(&r, ",\"bytes_sent\":%lu", (unsigned long)a.bytes_sent);
  add(&r, ",\"seconds\":%.3f", a.seconds);
  r += ",\"error_detail\":";
  r += a.end != RunEnd::kOk && a.error_detail && *a.error_detail ? json_string(a.error_detail)
                                                                 : "null";
  r += ",\"result\":\"";
  r += result_name(a.end);
  add(&r, "\",\"exit_code\":%i", a.exit_code);
  if (a.end != RunEnd::kOk) {
    r += ",\"error\":" + json_string(a.error ? a.error : "");
    if (a.error_code.present) add(&r, ",\"error_code\":%ld", a.error_code.value);
    else r += ",\"error_code\":null";
    r += ",\"box_error\":";
    // What the other fields took is taken from the box's line: the record
    // and its line end stay one whole write.
    size_t used = r.size() + 2;
    r += a.box_error && *a.box_error
             ? box_error_text(a.box_error, used < kRecordBytes ? kRecordBytes - used : 0)
             : "null";
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

const std::string& journal_path() { return g_path; }

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
  std::fprintf(stderr, "%s: cannot write the journal %s: %s; the attempt's record is lost\n",
               g_program, g_path.c_str(), plat_file_error_text(err));
  return false;
}

void journal_new_attempt_id(char* id) {
  unsigned char raw[16];
  if (!plat_random_bytes(raw, sizeof raw)) {
    // Not seen in practice; an id from the clocks still differs per attempt.
    uint64_t t = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    uint64_t u = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::memcpy(raw, &t, 8);
    std::memcpy(raw + 8, &u, 8);
  }
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof raw; i++) {
    id[2 * i] = kHex[raw[i] >> 4];
    id[2 * i + 1] = kHex[raw[i] & 15];
  }
  id[32] = '\0';
}
