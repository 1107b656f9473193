#include "run/attempt.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/events.h"
#include "core/json_text.h"
#include "core/phase.h"
#include "core/report.h"
#include "core/settings.h"
#include "image/image_buffer.h"
#include "image/sha256.h"
#include "platform/net.h"
#include "platform/random.h"
#include "platform/serial.h"
#include "serial/port.h"

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
  std::string signature, signature_key;  // "" = not looked at / none
  char image_sha256[65];                 // "" = nothing loaded yet
  uint32_t image_size;
  std::string software_version;  // "" = not known
  char id[33];                   // 32 lower-case hex digits
};

Attempt g_attempt;
const char* g_file = nullptr;
std::string g_station;

// The download begins once the image is in the buffer, as it goes out
// (patched, or as the server sent it): that is what the record names.
void on_phase(Phase p) {
  if (p == Phase::kDownload && g_attempt.have_image) {
    g_attempt.image_size = g_attempt.image.size;
    sha256_hex(g_image_buffer, g_attempt.image.size, g_attempt.image_sha256);
  }
  events_phase(p);
}

void on_progress(uint32_t done, uint32_t total) {
  // A record of a run stopped or failed mid-download says how far the box
  // got, not 0.
  g_attempt.bytes_sent = done;
  events_progress(done, total);
}

const char* mode_name(const RunSettings& s) {
  if (!s.server) return s.network ? "network" : "serial";
  return s.server_command == 2 ? "server-download" : "server-query";
}

}  // namespace

bool attempt_setup(const char* journal, const char* events, const char* file) {
  const char* program = g_settings.program_name;
  if (journal && !journal_open(program, journal)) return false;
  if (events && !events_open(program, events)) return false;
  g_file = file;
  if (g_settings.station) {
    g_station = g_settings.station;
  } else {
    char host[256];
    plat_hostname(host, sizeof host);
    g_station = host;
  }
  phase_observe({on_phase, on_progress});
  set_end_hook(attempt_end);
  attempt_begin();
  return true;
}

void attempt_begin() {
  bool keep_image = g_attempt.have_image && !g_settings.server;
  JournalImage image = g_attempt.image;
  std::string signature = keep_image ? g_attempt.signature : "";
  std::string signature_key = keep_image ? g_attempt.signature_key : "";
  g_attempt = Attempt{};
  g_attempt.signature = signature;
  g_attempt.signature_key = signature_key;
  g_attempt.open = true;
  g_attempt.start = SteadyClock::now();
  journal_new_attempt_id(g_attempt.id);
  g_attempt.have_image = keep_image;
  g_attempt.image = image;
  report_reset();
  clear_box_error();
  phase_restart();
}

const char* attempt_id() { return g_attempt.id; }

void attempt_image(const JournalImage& image) {
  g_attempt.have_image = true;
  g_attempt.image = image;
}

void attempt_box(uint16_t major, uint16_t minor) {
  g_attempt.have_box = true;
  g_attempt.box_major = major;
  g_attempt.box_minor = minor;
  events_box_version(major, minor);
}

void attempt_software_version(const char* version) { g_attempt.software_version = version; }

void attempt_line_speed(uint32_t baud) { g_attempt.line_speed = baud; }

void attempt_bytes_sent(uint32_t bytes) { g_attempt.bytes_sent = bytes; }

void attempt_signature(const char* verdict, const char* key) {
  g_attempt.signature = verdict;
  g_attempt.signature_key = key ? key : "";
}

bool attempt_end(RunEnd end, int code) {
  // Whatever the end, the line goes back to how we found it.
  plat_serial_restore_all();
  if (!g_attempt.open) return true;
  g_attempt.open = false;
  const RunSettings& s = g_settings;
  std::string tool(s.program_name);
  char rev[48];
  std::snprintf(rev, sizeof rev, " %i.%i-%i", s.revision_numbers[0], s.revision_numbers[1],
                s.revision_numbers[2]);
  tool += rev;
  std::string where;
  JournalRecord r = {};
  r.time = json_string(utc_now_text().c_str());
  r.tool = tool.c_str();
  r.station = g_station.c_str();
  r.attempt = g_attempt.id;
  r.mode = mode_name(s);
  if (s.network && !s.server) {
    where = std::string(s.host ? s.host : "") + ":" + std::to_string(s.tcp_port & 0xFFFF);
    r.port_text = where.c_str();
  } else {
    r.port_text = s.port_path;
  }
  r.com_port = s.com_port;
  r.file = s.server ? "server" : g_file;
  r.have_image = g_attempt.have_image;
  r.image = g_attempt.image;
  r.have_box = g_attempt.have_box;
  r.box_major = g_attempt.box_major;
  r.box_minor = g_attempt.box_minor;
  r.patched = s.patch;
  r.signature = g_attempt.signature.empty() ? nullptr : g_attempt.signature.c_str();
  r.signature_key = g_attempt.signature_key.empty() ? nullptr : g_attempt.signature_key.c_str();
  r.line_speed = g_attempt.line_speed;
  r.bytes_sent = g_attempt.bytes_sent;
  r.seconds = std::chrono::duration<double>(SteadyClock::now() - g_attempt.start).count();
  r.end = end;
  r.exit_code = code;
  r.error = report_text();
  r.error_code = report_code();
  r.box_error = last_box_error();
  r.image_sha256 = g_attempt.image_sha256[0] ? g_attempt.image_sha256 : nullptr;
  r.image_size = g_attempt.image_size;
  r.software_version =
      g_attempt.software_version.empty() ? nullptr : g_attempt.software_version.c_str();
  r.unit = s.unit;
  r.operator_name = s.operator_name;
  r.error_detail = report_detail_text();
  std::string line = journal_line(r);
  phase_set(Phase::kEnd);
  events_end(line);
  return journal_append(line);
}
