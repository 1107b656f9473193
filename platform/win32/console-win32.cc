#include "platform/console.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32/console-win32.h"

// Blocks for the length of the tone, as the caller expects.
void plat_beep(unsigned freq_hz, unsigned ms) { Beep(freq_hz, ms); }

// A console shows the bytes it is given in its own code page (850 on a
// German system), which is neither the catalogue's 1252 nor the UTF-8 of
// names. Every write of the program's to a console goes through stdio in
// many places, so the console's descriptors are turned into one pipe, and
// one thread hands what arrives to the console as UTF-16. Stdout and
// stderr share the pipe when both are the console, so their order holds.
namespace {

HANDLE g_pipe = nullptr;     // the read end
HANDLE g_console = nullptr;  // where the text goes
HANDLE g_thread = nullptr;
int g_kept[3] = {-1, -1, -1};  // the console descriptors the pipe replaced

void write_console(const std::u16string& text) {
  const wchar_t* p = reinterpret_cast<const wchar_t*>(text.data());
  size_t left = text.size();
  while (left > 0) {
    DWORD n = 0;
    if (!WriteConsoleW(g_console, p, static_cast<DWORD>(left), &n, nullptr) || n == 0) return;
    p += n;
    left -= n;
  }
}

DWORD WINAPI pump(void*) {
  char buf[4096];
  size_t have = 0;
  std::u16string text;
  for (;;) {
    DWORD got = 0;
    bool end = !ReadFile(g_pipe, buf + have, static_cast<DWORD>(sizeof buf - have), &got, nullptr);
    have += got;
    text.clear();
    size_t used = plat_console_utf16(buf, have, !end, &text);
    write_console(text);
    std::memmove(buf, buf + used, have - used);
    have -= used;
    if (end) return 0;
  }
}

// At exit: the console descriptors come back, which closes the pipe's
// write ends, and the thread writes what is left before the process goes.
void finish() {
  std::fflush(stdout);
  std::fflush(stderr);
  for (int fd = 1; fd <= 2; fd++)
    if (g_kept[fd] >= 0) _dup2(g_kept[fd], fd);
  WaitForSingleObject(g_thread, 10000);
}

bool is_console(int fd) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

}  // namespace

void win32_console_start() {
  bool con[3] = {false, is_console(1), is_console(2)};
  if (g_thread != nullptr || (!con[1] && !con[2])) return;
  HANDLE write_end;
  if (!CreatePipe(&g_pipe, &write_end, nullptr, 0)) return;
  int pipe_fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_TEXT);
  if (pipe_fd < 0) {
    CloseHandle(g_pipe);
    CloseHandle(write_end);
    return;
  }
  for (int fd = 1; fd <= 2; fd++) {
    if (!con[fd]) continue;
    g_kept[fd] = _dup(fd);
    if (g_console == nullptr && g_kept[fd] >= 0)
      g_console = reinterpret_cast<HANDLE>(_get_osfhandle(g_kept[fd]));
  }
  g_thread = g_console ? CreateThread(nullptr, 0, pump, nullptr, 0, nullptr) : nullptr;
  if (g_thread == nullptr) {
    for (int fd = 1; fd <= 2; fd++)
      if (g_kept[fd] >= 0) _close(g_kept[fd]);
    _close(pipe_fd);
    CloseHandle(g_pipe);
    return;
  }
  for (int fd = 1; fd <= 2; fd++) {
    if (g_kept[fd] < 0) continue;
    int mode = _setmode(fd, _O_BINARY);
    _dup2(pipe_fd, fd);
    _setmode(fd, mode);
    // Children never get the pipe (it would stay open after the exit);
    // the system's standard handles stay the console, which the station
    // asks about its size and escape sequences.
    SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), HANDLE_FLAG_INHERIT, 0);
    SetStdHandle(fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
                 reinterpret_cast<HANDLE>(_get_osfhandle(g_kept[fd])));
  }
  _close(pipe_fd);
  // A console took each write as it came; the pipe must not keep any back.
  if (con[1]) std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (con[2]) std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::atexit(finish);
}
