#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"

plat_file plat_append_open(const char* path) {
  // O_APPEND: every write lands at the end, even with other writers.
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    return kNoFile;
  }
  return fd;
}

bool plat_append_record(plat_file f, const void* data, size_t n) {
  ssize_t w;
  do {
    w = write(static_cast<int>(f), data, n);
  } while (w < 0 && errno == EINTR);
  if (w < 0) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    return false;
  }
  // A short write would leave half a record that a retry cannot mend
  // without mixing with another writer's line.
  if (static_cast<size_t>(w) != n) {
    plat_set_last_error(ENOSPC);
    return false;
  }
  if (fsync(static_cast<int>(f)) != 0) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    return false;
  }
  return true;
}

void plat_append_close(plat_file f) {
  if (f != kNoFile) close(static_cast<int>(f));
}

const char* plat_file_error_text(uint32_t err) { return std::strerror(static_cast<int>(err)); }

// A FIFO named as the PAD file would block the first open for good, a
// terminal or serial device would be read (or become the controlling
// terminal): only regular files are opened.
std::FILE* plat_open_regular_file(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  // The name may have been swapped for something else since the stat: open
  // without blocking, without taking a terminal, and look again.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* f = fdopen(fd, "rb");
  if (f == nullptr) close(fd);
  return f;
}
