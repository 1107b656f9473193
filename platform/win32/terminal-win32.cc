#include "platform/terminal.h"

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

DWORD g_saved_mode = 0;
bool g_mode_changed = false;

}  // namespace

bool plat_stdout_is_vt() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  if (!SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
  g_saved_mode = mode;
  g_mode_changed = true;
  return true;
}

void plat_terminal_restore() {
  if (!g_mode_changed) return;
  SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), g_saved_mode);
  g_mode_changed = false;
}

int plat_terminal_columns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
    return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

int plat_terminal_rows() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
    return info.srWindow.Bottom - info.srWindow.Top + 1;
  return 24;
}

// No signal comes with a broken pipe here: the write fails, as asked.
void plat_ignore_broken_pipe() {}
