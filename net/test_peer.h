// For the unit tests of this directory: the tool's end and the peer's end
// of a local socket pair, so the framing runs on a real stream without any
// network.
#pragma once
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "platform/net.h"

struct TestPeer {
  int fds[2] = {-1, -1};  // [0] the tool's end, [1] the peer's

  explicit TestPeer(int type = SOCK_STREAM) { socketpair(AF_UNIX, type, 0, fds); }
  ~TestPeer() {
    for (int fd : fds)
      if (fd >= 0) close(fd);
  }
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  plat_socket tool() const { return fds[0]; }

  void say(const std::string& bytes) const {
    size_t at = 0;
    while (at < bytes.size()) {
      ssize_t n = write(fds[1], bytes.data() + at, bytes.size() - at);
      if (n <= 0) return;
      at += static_cast<size_t>(n);
    }
  }

  // The peer goes away: the tool then reads end of stream.
  void hang_up() {
    close(fds[1]);
    fds[1] = -1;
  }

  // Everything the tool has sent so far, without waiting for more.
  std::string heard() const {
    std::string out;
    char buf[4096];
    ssize_t n;
    while (fds[1] >= 0 && (n = recv(fds[1], buf, sizeof buf, MSG_DONTWAIT)) > 0)
      out.append(buf, static_cast<size_t>(n));
    return out;
  }
};

inline std::string bytes_of(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}
