#include "platform/std_streams.h"

#include <io.h>
#include <windows.h>

#include <cstdio>

// Looked at through the process's standard handles, not the C runtime's
// descriptors: asking the runtime about a descriptor that is not open may
// end the process in its invalid-parameter handler.
void plat_std_streams_guard() {
  static const DWORD kStdHandle[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  static const char* const kMode[3] = {"r", "w", "w"};
  std::FILE* const streams[3] = {stdin, stdout, stderr};
  for (int i = 0; i < 3; i++) {
    HANDLE h = GetStdHandle(kStdHandle[i]);
    if (h != nullptr && h != INVALID_HANDLE_VALUE) continue;
    if (std::freopen("NUL", kMode[i], streams[i]) == nullptr) continue;
    SetStdHandle(kStdHandle[i], reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(streams[i]))));
  }
}
