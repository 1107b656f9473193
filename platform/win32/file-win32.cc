#include "platform/file.h"

#include <io.h>
#include <windows.h>

plat_file plat_append_open(const char* path) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end
  // of the file, also with other writers sharing it.
  HANDLE h = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kNoFile;
  return reinterpret_cast<plat_file>(h);
}

bool plat_append_record(plat_file f, const void* data, size_t n) {
  HANDLE h = reinterpret_cast<HANDLE>(f);
  if (n > MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(h, data, static_cast<DWORD>(n), &written, nullptr)) return false;
  if (written != n) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return FlushFileBuffers(h) != 0;
}

void plat_append_close(plat_file f) {
  if (f != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(f));
}

const char* plat_file_error_text(uint32_t err) {
  static char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           err, 0, text, sizeof text, nullptr);
  // The system's texts end in a line break; the caller ends the line.
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) n--;
  if (n == 0) return "error";
  text[n] = '\0';
  return text;
}

// Only files on disk are read as PAD files: a pipe, the console or a COM
// port named instead would block the reads or touch a device.
std::FILE* plat_open_regular_file(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return nullptr;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return nullptr;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}
