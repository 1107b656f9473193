#include "core/report.h"

#include <cstdarg>
#include <cstring>

#include "core/messages.h"
#include "platform/error.h"

namespace {

char g_text[1024];
char g_detail[256];
ErrorCode g_code = kNoCode;

// Keeps `line` without its framing blanks and line breaks: the record holds
// the words, the console's layout is the console's business.
void keep(const char* line, ErrorCode code) {
  size_t n = std::strlen(line);
  size_t b = 0;
  while (b < n && (line[b] == ' ' || line[b] == '\n' || line[b] == '\r')) b++;
  while (n > b && (line[n - 1] == ' ' || line[n - 1] == '\n' || line[n - 1] == '\r')) n--;
  size_t len = n - b < sizeof g_text - 1 ? n - b : sizeof g_text - 1;
  std::memcpy(g_text, line + b, len);
  g_text[len] = '\0';
  g_code = code;
}

}  // namespace

void report_failure(std::FILE* out, ErrorCode code, std::initializer_list<int> numbers,
                    const char* tail, ...) {
  char rest[512];
  va_list ap;
  va_start(ap, tail);
  std::vsnprintf(rest, sizeof rest, tail, ap);
  va_end(ap);
  char shown[1024] = "";
  char english[1024] = "";
  for (int n : numbers) {
    std::strncat(shown, message(n), sizeof shown - std::strlen(shown) - 1);
    std::strncat(english, message_english(n), sizeof english - std::strlen(english) - 1);
  }
  std::strncat(shown, rest, sizeof shown - std::strlen(shown) - 1);
  std::strncat(english, rest, sizeof english - std::strlen(english) - 1);
  std::fputs(shown, out);
  keep(english, code);
}

void report_failure_text(std::FILE* out, ErrorCode code, const char* shown, const char* english) {
  std::fprintf(out, "%s\n", shown);
  keep(english, code);
}

void report_failure_after(std::FILE* out, int begun, int number) {
  std::fprintf(out, "%s\n", message(number));
  char english[1024];
  std::snprintf(english, sizeof english, "%s%s", message_english(begun), message_english(number));
  keep(english, kNoCode);
}

const char* report_text() { return g_text; }

ErrorCode report_code() { return g_code; }

void report_detail(const char* text) { std::snprintf(g_detail, sizeof g_detail, "%s", text); }

const char* report_detail_text() { return g_detail; }

const char* error_value_text(uint32_t err) {
  // The serial layer's own values, beside the system's.
  switch (err) {
    case 0x20000001: return "receive buffer full";
    case 0x20000002: return "time-out";
    case 0x20000007: return "the box sent an ERROR: line";
    default: return plat_error_text(err);
  }
}

void report_reset() {
  g_detail[0] = '\0';
  g_text[0] = '\0';
  g_code = kNoCode;
}
