#include "core/events.h"

#include <cstdio>

#include "core/json_text.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/stop.h"

namespace {

plat_file g_file = kNoFile;
bool g_failed = false;
uint32_t g_last_percent = 0;

// A stream that fails is not written again: a line after a torn one would
// be read as garbage. A stream whose reader went away (the station that
// follows the run is gone) stops the run as a stop request would, so the
// box is left recorded and the port put back rather than unwatched.
void emit(const std::string& body) {
  if (g_file == kNoFile || g_failed) return;
  std::string line =
      "{\"time\":" + json_string(utc_now_text().c_str()) + ",\"event\":" + body + "}\n";
  if (plat_append_write(g_file, line.data(), line.size())) return;
  g_failed = true;
  if (plat_file_reader_gone(plat_last_error())) plat_stop_raise(kStopHangup);
}

}  // namespace

bool events_open(const char* program, const char* path) {
  g_file = plat_append_open(path);
  // A reader that goes away while the box is quiet ends the run then, not
  // at the next line, which may never come.
  if (g_file != kNoFile) {
    plat_stop_watch_reader(g_file);
    return true;
  }
  uint32_t err = plat_last_error();
  std::fprintf(stderr, "%s: cannot open the event stream %s: %s\n", program, path,
               plat_file_error_text(err));
  return false;
}

void events_phase(Phase p) {
  if (p == Phase::kDownload) g_last_percent = 0;
  emit(std::string("\"phase\",\"phase\":\"") + phase_name(p) + "\"");
}

void events_box_version(uint16_t major, uint16_t minor) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "\"box\",\"box_version\":\"%u.%u\"", major, minor);
  emit(buf);
}

void events_line_speed(uint32_t baud) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "\"speed\",\"line_speed\":%lu", (unsigned long)baud);
  emit(buf);
}

void events_progress(uint32_t done, uint32_t total) {
  if (total == 0) return;
  uint32_t percent = (uint32_t)((uint64_t)done * 100 / total);
  if (done != 0 && done != total && percent <= g_last_percent) return;
  g_last_percent = percent;
  char buf[128];
  std::snprintf(buf, sizeof buf, "\"progress\",\"percent\":%lu,\"bytes\":%lu,\"total\":%lu",
                (unsigned long)percent, (unsigned long)done, (unsigned long)total);
  emit(buf);
}

void events_end(const std::string& record) { emit("\"end\",\"record\":" + record); }
