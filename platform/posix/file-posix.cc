#include "platform/file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

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
    while (sigtimedwait(&pipe_only, nullptr, &now) < 0 && errno == EINTR) {}
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
  // A file on a disk is also read: its last byte tells whether the line
  // before ends. Where only writing is allowed, records still go out.
  struct stat st, again;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    int rw = open(path, O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (rw >= 0 && fstat(rw, &again) == 0 && again.st_dev == st.st_dev &&
        again.st_ino == st.st_ino && fcntl(rw, F_SETFL, O_APPEND) == 0) {
      close(fd);
      fd = rw;
    } else if (rw >= 0) {
      close(rw);
    }
  }
  return fd;
}

namespace {

// Releases the record lock however the write ends.
struct RecordLock {
  int fd;
  ~RecordLock() { flock(fd, LOCK_UN); }
};

// A record on a disk file is whole or absent. Under an exclusive lock that
// every record writer takes: a line an earlier writer left without its end
// (a crash, a disk that filled) gets one first, so this record starts on
// its own line; a write that falls short is cut off again, so no half
// record stays for the next one to be glued to.
bool append_disk_record(int fd, const void* data, size_t n) {
  RecordLock lock = {fd};
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      lock.fd = -1;
      break;
    }
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    return false;
  }
  char last = '\n';
  if (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1) last = '\n';
  std::string line(last != '\n' ? 1 : 0, '\n');
  line.append(static_cast<const char*>(data), n);
  bool ok = plat_append_write(fd, line.data(), line.size());
  if (ok && fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EOPNOTSUPP) {
    plat_set_last_error(static_cast<uint32_t>(errno));
    ok = false;
  }
  if (!ok) {
    uint32_t err = plat_last_error();
    while (ftruncate(fd, st.st_size) != 0 && errno == EINTR) {}
    plat_set_last_error(err);
  }
  return ok;
}

}  // namespace

bool plat_append_record(plat_file f, const void* data, size_t n) {
  int fd = static_cast<int>(f);
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return append_disk_record(fd, data, n);
  // Pipes, terminals and character devices take the record as the write
  // hands it over and have nothing to push.
  return plat_append_write(f, data, n);
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

bool plat_file_identity(std::FILE* f, uint64_t* volume, uint64_t* index) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0) return false;
  *volume = static_cast<uint64_t>(st.st_dev);
  *index = static_cast<uint64_t>(st.st_ino);
  return true;
}

bool plat_append_write(plat_file f, const void* data, size_t n) {
  int fd = static_cast<int>(f);
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  int regular = -1;  // not looked at yet
  while (done < n) {
    ssize_t w = write_without_sigpipe(fd, p + done, n - done);
    if (w < 0) {
      plat_set_last_error(static_cast<uint32_t>(errno));
      return false;
    }
    done += static_cast<size_t>(w);
    if (done == n) break;
    // A pipe or terminal cuts a write short when a signal comes part way
    // (a stop request mid-line, say) or a large line meets a full pipe:
    // the rest follows, as no other writer can come between. On a file a
    // short write is a full disk, and a retry would append the rest after
    // another writer's record.
    if (regular < 0) {
      struct stat st;
      regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
    }
    if (regular == 1 || w == 0) {
      plat_set_last_error(ENOSPC);
      return false;
    }
  }
  return true;
}

bool plat_file_reader_gone(uint32_t err) { return err == EPIPE; }

std::FILE* plat_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

std::FILE* plat_create_private(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return nullptr;
  // The umask can only take bits away; make sure of exactly 0600.
  std::FILE* f = fchmod(fd, 0600) == 0 ? fdopen(fd, "wb") : nullptr;
  if (!f) close(fd);
  return f;
}
