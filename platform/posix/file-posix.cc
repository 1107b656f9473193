#include "platform/file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/error.h"

namespace {

// One write with SIGPIPE held back: a journal read through a pipe whose
// reader went away must fail with EPIPE, not end the run unrecorded. A
// SIGPIPE this write raised is taken off again; one that was pending
// already stays for its owner.
ssize_t write_without_sigpipe(int fd, const void* data, size_t n) {
  sigset_t pipe_only, old;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  ssize_t w;
  do {
    w = write(fd, data, n);
  } while (w < 0 && errno == EINTR);
  int err = errno;
  if (w < 0 && err == EPIPE && !was_pending) {
    timespec now = {0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return w;
}

}  // namespace

plat_file plat_append_open(const char* path) {
  // O_APPEND: every write lands at the end, even with other writers.
  // O_NONBLOCK only for the open: a FIFO without a reader fails with ENXIO
  // instead of waiting for one. The records themselves are written
  // blocking, so a slow reader loses nothing.
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    return kNoFile;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    close(fd);
    return kNoFile;
  }
  return fd;
}

bool plat_append_record(plat_file f, const void* data, size_t n) {
  if (!plat_append_write(f, data, n)) return false;
  // Only a file on a disk has anything to push; pipes, terminals and
  // character devices refuse fsync (EINVAL, ENOTSUP) although the record
  // has gone to them in full. A disk that fails the flush (EIO, ENOSPC)
  // has not kept it.
  int fd = static_cast<int>(f);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return true;
  if (fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP) {
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

bool plat_same_file(const char* a, const char* b) {
  struct stat sa, sb;
  // stat, not open: looking must not block on a FIFO or wake a device.
  if (stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool plat_append_write(plat_file f, const void* data, size_t n) {
  ssize_t w = write_without_sigpipe(static_cast<int>(f), data, n);
  if (w < 0) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    return false;
  }
  // A short write would leave half a line that a retry cannot mend
  // without mixing with another writer's.
  if (static_cast<size_t>(w) != n) {
    plat_set_last_error(ENOSPC);
    return false;
  }
  return true;
}

std::FILE* plat_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
