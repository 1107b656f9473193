#include "platform/channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool plat_channel_open(PlatChannel* ch) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  // Neither end may leak into the other children: each child gets only its
  // own write end, re-opened for it after the fork.
  for (int fd : fds) fcntl(fd, F_SETFD, FD_CLOEXEC);
  fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  ch->read_end = fds[0];
  ch->wait_handle = fds[0];
  ch->child_end = fds[1];
  ch->path = "/dev/fd/" + std::to_string(fds[1]);
  return true;
}

long plat_channel_read(PlatChannel* ch, char* buf, size_t n) {
  if (ch->read_end < 0) return -1;
  ssize_t got = read((int)ch->read_end, buf, n);
  if (got > 0) return (long)got;
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;
}

void plat_channel_close(PlatChannel* ch) {
  if (ch->read_end >= 0) close((int)ch->read_end);
  if (ch->child_end >= 0) close((int)ch->child_end);
  ch->read_end = ch->child_end = ch->wait_handle = -1;
}

// The pipe's write end closes with the child, so its end of file comes by
// itself.
void plat_channel_writer_ended(PlatChannel*) {}
