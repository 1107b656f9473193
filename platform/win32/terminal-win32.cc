#include "platform/terminal.h"

#include <windows.h>

#include <cstring>
#include <string>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

DWORD g_saved_mode = 0;
bool g_mode_changed = false;
DWORD g_saved_input = 0;
bool g_input_changed = false;

// Standard input is read by a thread of its own, the only way to wait on a
// console's lines and a pipe alike: it blocks in ReadFile, keeps what came
// and sets the event the station waits on.
struct ScanReader {
  HANDLE in = INVALID_HANDLE_VALUE;
  HANDLE ready = nullptr;  // auto-reset
  CRITICAL_SECTION lock;
  std::string data;
  bool ended = false;
};
ScanReader* g_scan = nullptr;

DWORD WINAPI scan_thread(void* arg) {
  ScanReader* r = static_cast<ScanReader*>(arg);
  for (;;) {
    char buf[512];
    DWORD got = 0;
    BOOL ok = ReadFile(r->in, buf, sizeof buf, &got, nullptr);
    EnterCriticalSection(&r->lock);
    if (ok && got > 0) r->data.append(buf, got);
    else r->ended = true;  // Ctrl-Z on a console, a closed pipe, an error
    bool ended = r->ended;
    LeaveCriticalSection(&r->lock);
    SetEvent(r->ready);
    if (ended) return 0;
  }
}

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
  if (g_input_changed) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_saved_input);
  g_input_changed = false;
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

intptr_t plat_scan_open(bool quiet) {
  if (g_scan) return reinterpret_cast<intptr_t>(g_scan->ready);
  ScanReader* r = new ScanReader;
  r->in = GetStdHandle(STD_INPUT_HANDLE);
  r->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  InitializeCriticalSection(&r->lock);
  DWORD mode = 0;
  if (quiet && GetConsoleMode(r->in, &mode) &&
      SetConsoleMode(r->in, mode & ~(DWORD)ENABLE_ECHO_INPUT)) {
    g_saved_input = mode;
    g_input_changed = true;
  }
  HANDLE t = r->ready && r->in && r->in != INVALID_HANDLE_VALUE
                 ? CreateThread(nullptr, 0, scan_thread, r, 0, nullptr)
                 : nullptr;
  if (t) CloseHandle(t);
  else r->ended = true;  // nothing to read: at its end from the start
  if (r->ready) SetEvent(r->ready);
  g_scan = r;
  return r->ready ? reinterpret_cast<intptr_t>(r->ready) : -1;
}

long plat_scan_read(char* buf, size_t n) {
  ScanReader* r = g_scan;
  if (!r) return -1;
  EnterCriticalSection(&r->lock);
  long out = 0;
  if (!r->data.empty()) {
    size_t take = r->data.size() < n ? r->data.size() : n;
    std::memcpy(buf, r->data.data(), take);
    r->data.erase(0, take);
    out = (long)take;
    // What is left wakes the next wait as well.
    if (!r->data.empty() || r->ended) SetEvent(r->ready);
  } else if (r->ended) {
    out = -1;
  }
  LeaveCriticalSection(&r->lock);
  return out;
}
