#include "platform/file.h"

#include <fcntl.h>
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
