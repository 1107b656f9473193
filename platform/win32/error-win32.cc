// The thread's Win32 last-error value itself: the serial logic tests the
// driver's own codes (1121, 995), which need no translation here. Beside
// it, the driver's code that a fold replaced, for the messages.
#include "platform/error.h"

#include <windows.h>

#include "platform/win32/fold-win32.h"

namespace {
// The raw code and the value it was folded into; valid while the last
// error still holds that value (it is set anew by every failing call).
thread_local uint32_t g_raw = 0;
thread_local uint32_t g_folded = 0;
thread_local bool g_kept = false;
}  // namespace

uint32_t plat_last_error() { return GetLastError(); }

void plat_set_last_error(uint32_t value) {
  g_kept = false;
  SetLastError(value);
}

void win32_set_folded_error(uint32_t raw, uint32_t folded) {
  g_raw = raw;
  g_folded = folded;
  g_kept = true;
  SetLastError(folded);
}

uint32_t plat_last_driver_error() {
  DWORD now = GetLastError();
  return g_kept && now == g_folded ? g_raw : now;
}

const char* plat_error_text(uint32_t err) {
  static thread_local char text[256];
  DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err,
                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text, nullptr);
  // The system's texts end in a line break; a record holds the words.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
  if (n == 0) return "error";
  text[n] = '\0';
  return text;
}
