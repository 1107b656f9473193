#include "platform/file.h"

#include <io.h>
#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "platform/win32/utf8-win32.h"

namespace {

bool is_slash(char c) { return c == '\\' || c == '/'; }

// True when `path` reaches a device rather than a file: the device
// namespace ("\\.\COM1", "\\.\pipe\x"; only a drive or UNC path behind the
// prefix is a file), or one of the names Windows resolves to a device in
// any folder and with any extension ("COM1", "NUL.txt", "C:\x\con"). Told
// from the name alone: asking the system about such a path may already
// open the device.
bool names_device(const char* path) {
  if (is_slash(path[0]) && is_slash(path[1]) && (path[2] == '.' || path[2] == '?') &&
      is_slash(path[3])) {
    const char* rest = path + 4;
    bool drive =
        std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':' && is_slash(rest[2]);
    if (!drive && _strnicmp(rest, "UNC\\", 4) != 0) return true;
  }
  const char* base = path;
  if (std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':') base = path + 2;
  for (const char* p = base; *p; ++p)
    if (is_slash(*p)) base = p + 1;
  size_t len = std::strcspn(base, ".:");
  while (len > 0 && base[len - 1] == ' ') --len;
  static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : kNames)
    if (len == std::strlen(name) && _strnicmp(base, name, len) == 0) return true;
  return len == 4 && (_strnicmp(base, "COM", 3) == 0 || _strnicmp(base, "LPT", 3) == 0) &&
         base[3] >= '0' && base[3] <= '9';
}

// True when `path` names an existing file on a disk, found out without
// opening anything else.
bool names_disk_file(const char* path) {
  if (names_device(path)) return false;
  DWORD attributes = GetFileAttributesW(win32_wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

}  // namespace

// Names are UTF-8 inside the program; the wide calls take any name, the
// code page ones only those their code page can spell.
plat_file plat_append_open(const char* path) {
  // Opening never waits here: a pipe without a server fails at once
  // (ERROR_FILE_NOT_FOUND, ERROR_PIPE_BUSY), unlike a POSIX FIFO.
  HANDLE h;
  std::wstring wide = win32_wide(path);
  if (names_device(path)) {
    // A pipe, the console or NUL is written as a stream; to a pipe
    // FILE_APPEND_DATA would mean "create an instance", not "write".
    h = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  } else {
    // A disk file is read and written under the record lock, so that a
    // record is whole or absent (plat_append_record). Where only appending
    // is allowed, FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes
    // to the end of the file, also with other writers sharing it.
    h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_DISK) {
      CloseHandle(h);
      h = INVALID_HANDLE_VALUE;
    }
    if (h == INVALID_HANDLE_VALUE)
      h = CreateFileW(wide.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (h == INVALID_HANDLE_VALUE) return kNoFile;
  return reinterpret_cast<plat_file>(h);
}

namespace {

// Every record writer locks this one byte, far past any journal's end, so
// that records of tools on several ports sharing a journal go in one at a
// time while readers go on reading.
constexpr DWORD kRecordLockHigh = 0x7fffffff;

// A record on a disk file is whole or absent. Under the record lock: a line
// an earlier writer left without its end (a crash, a disk that filled) gets
// one first, so this record starts on its own line; a write that falls short
// is cut off again, so no half record stays for the next one to be glued to.
// Returns -1 when the handle cannot take the lock (opened for appending
// only), else 1 on success and 0 on failure with the last error.
int append_disk_record(HANDLE h, const void* data, size_t n) {
  OVERLAPPED lock = {};
  lock.OffsetHigh = kRecordLockHigh;
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock)) return -1;
  LARGE_INTEGER size;
  bool ok = GetFileSizeEx(h, &size) != 0;
  DWORD err = ok ? 0 : GetLastError();
  char last = '\n';
  if (ok && size.QuadPart > 0) {
    DWORD got = 0;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    if (!ReadFile(h, &last, 1, &got, &at) || got != 1) last = '\n';
  }
  std::string line(last != '\n' ? 1 : 0, '\n');
  line.append(static_cast<const char*>(data), n);
  if (ok && line.size() > MAXDWORD) {
    err = ERROR_INVALID_PARAMETER;
    ok = false;
  }
  if (ok) {
    DWORD written = 0;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(size.QuadPart);
    at.OffsetHigh = static_cast<DWORD>(size.QuadPart >> 32);
    ok = WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, &at) != 0;
    err = ok ? 0 : GetLastError();
    if (ok && written != line.size()) {
      err = ERROR_DISK_FULL;
      ok = false;
    }
    if (ok && !FlushFileBuffers(h)) {
      err = GetLastError();
      ok = false;
    }
    if (!ok && SetFilePointerEx(h, size, nullptr, FILE_BEGIN)) SetEndOfFile(h);
  }
  UnlockFileEx(h, 0, 1, 0, &lock);
  if (!ok) SetLastError(err);
  return ok ? 1 : 0;
}

}  // namespace

bool plat_append_record(plat_file f, const void* data, size_t n) {
  HANDLE h = reinterpret_cast<HANDLE>(f);
  // Only a disk file has anything to flush: on a pipe FlushFileBuffers
  // waits until the reader has taken everything, and the console refuses it.
  if (GetFileType(h) != FILE_TYPE_DISK) return plat_append_write(f, data, n);
  int whole = append_disk_record(h, data, n);
  if (whole >= 0) return whole == 1;
  if (!plat_append_write(f, data, n)) return false;
  return FlushFileBuffers(h) != 0;
}

void plat_append_close(plat_file f) {
  if (f != kNoFile) CloseHandle(reinterpret_cast<HANDLE>(f));
}

// In UTF-8 like every other text: the system's own words may hold
// letters outside ASCII (a German system's do).
const char* plat_file_error_text(uint32_t err) {
  static std::string text;
  wchar_t wide[256];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err,
                           0, wide, sizeof wide / sizeof wide[0], nullptr);
  // The system's texts end in a line break; the caller ends the line.
  while (n > 0 && (wide[n - 1] == L'\n' || wide[n - 1] == L'\r' || wide[n - 1] == L' ')) n--;
  if (n == 0) return "error";
  text = win32_utf8(wide, n);
  return text.c_str();
}

// Only files on disk are read as PAD files: a pipe, the console or a COM
// port named instead would block the reads or touch a device, so the name
// and the attributes are looked at before anything is opened.
std::FILE* plat_open_regular_file(const char* path) {
  if (!names_disk_file(path)) return nullptr;
  std::FILE* f = _wfopen(win32_wide(path).c_str(), L"rb");
  if (f == nullptr) return nullptr;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  if (h == INVALID_HANDLE_VALUE || GetFileType(h) != FILE_TYPE_DISK) {
    std::fclose(f);
    return nullptr;
  }
  return f;
}

namespace {

// The volume and index of the disk file at `path`. Returns true on success.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info) {
  if (!names_disk_file(path)) return false;
  // No access asked: enough to read the identity, and no sharing conflict
  // with a writer or reader holding the file.
  HANDLE h = CreateFileW(win32_wide(path).c_str(), 0,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

bool plat_same_file(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  if (!file_identity(a, &ia) || !file_identity(b, &ib)) return false;
  return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool plat_file_identity(std::FILE* f, uint64_t* volume, uint64_t* index) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  BY_HANDLE_FILE_INFORMATION info;
  if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info)) return false;
  *volume = info.dwVolumeSerialNumber;
  *index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool plat_append_write(plat_file f, const void* data, size_t n) {
  HANDLE h = reinterpret_cast<HANDLE>(f);
  if (n > MAXDWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD written = 0;
  // On a disk file every write goes to the end, whatever the handle's
  // position: a journal's handle may read and write, and other tools
  // append to the same file.
  OVERLAPPED end = {};
  end.Offset = end.OffsetHigh = 0xFFFFFFFF;
  OVERLAPPED* at = GetFileType(h) == FILE_TYPE_DISK ? &end : nullptr;
  if (!WriteFile(h, data, static_cast<DWORD>(n), &written, at)) return false;
  if (written != n) {
    SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return true;
}

// ERROR_NO_DATA: the pipe is being closed; ERROR_BROKEN_PIPE: it is closed.
bool plat_file_reader_gone(uint32_t err) {
  return err == ERROR_NO_DATA || err == ERROR_BROKEN_PIPE;
}

std::FILE* plat_fopen(const char* path, const char* mode) {
  return _wfopen(win32_wide(path).c_str(), win32_wide(mode).c_str());
}

std::FILE* plat_create_private(const char* path) {
  // The file's ACL comes from its folder, as for every file the user makes.
  return _wfopen(win32_wide(path).c_str(), L"wbx");
}
