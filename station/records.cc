#include "station/records.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/json_text.h"
#include "platform/serial.h"

namespace {

constexpr size_t kTailBytes = 4096;
constexpr int kTailLines = 5;

}  // namespace

std::string station_stop_text(const std::string& phase) {
  return "Stopped by the station during " + (phase.empty() ? std::string("start") : phase) + ".";
}

std::string no_record_reason(int exit_code) {
  if (exit_code < 0) return "update ended without a record (killed)";
  return "update ended without a record (exit code " + std::to_string(exit_code) + ")";
}

std::string orphan_record(const OrphanRun& o) {
  JournalRecord r = {};
  r.time = json_string(utc_now_text().c_str());
  r.tool = "update-station";
  r.station = o.station.c_str();
  char attempt[33];
  journal_new_attempt_id(attempt);
  r.attempt = attempt;
  r.mode = o.mode;
  // The port as the tool writes it: a device path as text, else its number.
  int number = 0;
  int named = plat_serial_port_name(o.port.c_str(), &number);
  if (named == 2) r.port_text = o.port.c_str();
  else r.com_port = named == 1 ? number : (int)std::strtol(o.port.c_str(), nullptr, 10);
  r.file = o.file;
  r.have_image = o.have_image;
  r.image = o.image;
  unsigned major = 0, minor = 0;
  if (std::sscanf(o.run.box_version.c_str(), "%u.%u", &major, &minor) == 2) {
    r.have_box = true;
    r.box_major = (uint16_t)major;
    r.box_minor = (uint16_t)minor;
  }
  r.line_speed = (uint32_t)o.run.line_speed;
  r.bytes_sent = (uint32_t)o.run.bytes;
  r.seconds = o.seconds;
  r.end = o.stopped ? RunEnd::kStopped : RunEnd::kFailed;
  r.exit_code = o.exit_code;
  std::string error = o.stopped ? station_stop_text(o.run.phase) : o.reason;
  std::string words = last_lines(o.err_tail, kTailLines);
  if (!words.empty()) error += "; its standard error: " + words;
  r.error = error.c_str();
  return journal_line(r);
}

void keep_tail(std::string* tail, const char* data, size_t n) {
  tail->append(data, n);
  if (tail->size() > kTailBytes) tail->erase(0, tail->size() - kTailBytes);
}

std::string last_lines(const std::string& tail, int count) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < tail.size()) {
    size_t eol = tail.find_first_of("\r\n", start);
    if (eol == std::string::npos) eol = tail.size();
    if (eol > start) lines.push_back(tail.substr(start, eol - start));
    start = eol + 1;
  }
  std::string out;
  size_t first = lines.size() > (size_t)count ? lines.size() - count : 0;
  for (size_t i = first; i < lines.size(); i++) out += (out.empty() ? "" : " | ") + lines[i];
  return out;
}
