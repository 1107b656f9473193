#include "platform/net.h"
#include "platform/stop.h"
#include "platform/posix/stop-posix.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif

#include <cerrno>
#include <cstring>

namespace {

// Waits without a limit until `events` can be done on `fd`, or a stop
// request came (checked before the wait too, where its signal would not
// interrupt it). Returns 1 when ready, 0 when a signal that is no request
// interrupted the wait, -1 with errno EINTR for a stop, or -1 with the
// poll's error.
int wait_or_stop(int fd, short events) {
  if (plat_stop_signal() != kStopNone) {
    errno = EINTR;
    return -1;
  }
  pollfd pf[1 + kStopPollFds] = {{fd, events, 0}};
  int n = stop_poll_fds(pf + 1);
  int r = poll(pf, 1 + n, -1);
  if (plat_stop_signal() != kStopNone) {
    errno = EINTR;
    return -1;
  }
  if (r < 0) return errno == EINTR ? 0 : -1;
  // An error or hang-up is the next call's to report.
  return pf[0].revents != 0 ? 1 : 0;
}

}  // namespace

int plat_net_start() { return 0; }

void plat_hostname(char* buf, size_t size) {
  if (size == 0) return;
  if (gethostname(buf, size) != 0) buf[0] = '\0';
  // gethostname need not terminate a truncated name.
  buf[size - 1] = '\0';
}

bool plat_resolve_ipv4(const char* host, uint8_t addr[4]) {
  in_addr a;
  // A dotted address must never reach the name service: it may be slow,
  // absent, or answer for a different host.
  if (inet_pton(AF_INET, host, &a) == 1) {
    std::memcpy(addr, &a.s_addr, 4);
    return true;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return false;
  const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
  std::memcpy(addr, &sin->sin_addr.s_addr, 4);
  freeaddrinfo(res);
  return true;
}

plat_socket plat_tcp_socket() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return s < 0 ? kNoSocket : static_cast<plat_socket>(s);
}

bool plat_tcp_connect(plat_socket s, const uint8_t addr[4], uint16_t port) {
  sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  std::memcpy(&sin.sin_addr.s_addr, addr, 4);
  int fd = static_cast<int>(s);
  // Started without blocking and finished in the wait below: a peer that
  // never answers holds the connect for minutes, and a stop must end it.
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
  if (!ok && (errno == EINPROGRESS || errno == EINTR)) {
    int r;
    while ((r = wait_or_stop(fd, POLLOUT)) == 0) {}
    int err = 0;
    socklen_t len = sizeof err;
    ok = r > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    if (r > 0 && !ok) errno = err;
  }
  int saved = errno;
  fcntl(fd, F_SETFL, flags);
  errno = saved;
  return ok;
}

long plat_tcp_send(plat_socket s, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < n) {
    // MSG_NOSIGNAL: a peer that went away must give -1, not end the process
    // with SIGPIPE before the caller can report it. MSG_DONTWAIT: a peer
    // that reads nothing is waited for below, where a stop ends the wait.
    ssize_t r = send(static_cast<int>(s), p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if (wait_or_stop(static_cast<int>(s), POLLOUT) < 0) break;
  }
  if (done == 0 && n > 0) return -1;
  return static_cast<long>(done);
}

long plat_tcp_recv(plat_socket s, void* buf, size_t n) {
  for (;;) {
    // A stop request ends a receive that may wait for good; the caller
    // looks for the request when the call fails.
    if (wait_or_stop(static_cast<int>(s), POLLIN) < 0) return -1;
    ssize_t r = recv(static_cast<int>(s), buf, n, MSG_DONTWAIT);
    if (r >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
      return static_cast<long>(r);
  }
}

long plat_socket_unsent(plat_socket s) {
#if defined(__linux__) && defined(SIOCOUTQ) && defined(SO_DOMAIN)
  int fd = static_cast<int>(s);
  // Only TCP's count means "not acknowledged by the peer": on a local
  // stream socket the same query counts bytes the peer has not read yet.
  int domain = 0;
  socklen_t len = sizeof domain;
  if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 ||
      (domain != AF_INET && domain != AF_INET6))
    return -1;
  int unsent = 0;
  if (ioctl(fd, SIOCOUTQ, &unsent) != 0 || unsent < 0) return -1;
  return unsent;
#else
  (void)s;
  return -1;
#endif
}

void plat_tcp_shutdown(plat_socket s) { shutdown(static_cast<int>(s), SHUT_RDWR); }

bool plat_tcp_keepalive(plat_socket s, int idle_s, int interval_s, int count) {
  int fd = static_cast<int>(s), on = 1;
  bool ok = setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0;
  ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s) == 0 && ok;
  ok = setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s) == 0 && ok;
  return setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 && ok;
}
