#include "platform/std_streams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

void plat_std_streams_guard() {
  static const DWORD kStdHandle[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int fd = 0; fd <= 2; fd++) {
    intptr_t h = _get_osfhandle(fd);
    if (h != -1 && h != -2) continue;
    int null = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (null < 0) continue;
    if (null != fd) {
      _dup2(null, fd);
      _close(null);
    }
    SetStdHandle(kStdHandle[fd], reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
  }
}
