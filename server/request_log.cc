#include "server/request_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/journal.h"
#include "server/metrics.h"

namespace {

int g_fd = 1;
std::string g_path;  // empty: standard output

void add(std::string* s, const char* key, int64_t value) {
  *s += ",\"";
  *s += key;
  *s += "\":";
  *s += value < 0 ? "null" : std::to_string(value);
}

void add(std::string* s, const char* key, const std::string& text) {
  *s += ",\"";
  *s += key;
  *s += "\":";
  *s += text.empty() ? "null" : json_string(text.c_str());
}

}  // namespace

bool log_open(const char* path) {
  if (path == nullptr || std::strcmp(path, "-") == 0) {
    g_path.clear();
    g_fd = 1;
    return true;
  }
  g_path = path;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    std::fprintf(stderr, "update-server: cannot open the log %s: %s\n", path,
                 std::strerror(errno));
    return false;
  }
  g_fd = fd;
  return true;
}

bool log_reopen() {
  if (g_path.empty()) return true;
  int fd = open(g_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    std::fprintf(stderr, "update-server: cannot reopen the log %s: %s; writing on to the old one\n",
                 g_path.c_str(), std::strerror(errno));
    return false;
  }
  close(g_fd);
  g_fd = fd;
  return true;
}

std::string exchange_line(const Exchange& e, const std::string& time) {
  std::string s = "{\"time\":" + json_string(time.c_str());
  add(&s, "peer", e.peer);
  add(&s, "command", std::string(e.command));
  add(&s, "channel", e.channel);
  std::string boot;
  if (e.major >= 0) boot = std::to_string(e.major) + "." + std::to_string(e.minor);
  add(&s, "bootloader", boot);
  add(&s, "version", e.version);
  add(&s, "file", e.file);
  add(&s, "size", e.size);
  add(&s, "bytes_sent", static_cast<int64_t>(e.bytes_sent));
  char secs[32];
  std::snprintf(secs, sizeof secs, ",\"seconds\":%.3f", e.seconds);
  s += secs;
  add(&s, "result", std::string(e.result));
  add(&s, "reason", e.reason);
  return s + "}\n";
}

void log_exchange(const Exchange& e) {
  std::string line = exchange_line(e, utc_now_text());
  // One write per line: lines of a shared log never interleave. A full
  // disk loses lines, never the service.
  ssize_t n = write(g_fd, line.data(), line.size());
  (void)n;
  metrics_exchange(e);
}
