#include "core/settings.h"

#include <cstdio>
#include <cstring>

RunSettings g_settings;

void settings_reset(RunSettings* s) {
  std::memset(s, 0, sizeof *s);
  s->com_port = 1;
  s->target_baud = kOpeningBaud;
  s->baud_code = 0xF0;
  std::strcpy(s->wake_keyword, "qkopacom");
  s->send_keyword = true;
  s->grant_optional = true;
  s->retries_left = kRetryBudget;
  s->server_command = 1;
  s->channel = 2;
  s->host = nullptr;
  s->journal_path = nullptr;
  s->events_path = nullptr;
  s->station = nullptr;
  s->trust_path = nullptr;
  s->signature_path = nullptr;
}

const char* port_label(const RunSettings& s, char* buf, size_t size) {
  if (s.port_path) return s.port_path;
  std::snprintf(buf, size, "%i", s.com_port);
  return buf;
}
