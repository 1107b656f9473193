#include "platform/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int plat_net_start() { return 0; }

void plat_hostname(char* buf, size_t size) {
  if (size == 0)
    return;
  if (gethostname(buf, size) != 0)
    buf[0] = '\0';
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
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr)
    return false;
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
  return connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&sin),
                 sizeof sin) == 0;
}

long plat_tcp_send(plat_socket s, const void* data, size_t n) {
  ssize_t r;
  // MSG_NOSIGNAL: a peer that went away must give -1, not end the process
  // with SIGPIPE before the caller can report it.
  do {
    r = send(static_cast<int>(s), data, n, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

long plat_tcp_recv(plat_socket s, void* buf, size_t n) {
  ssize_t r;
  do {
    r = recv(static_cast<int>(s), buf, n, 0);
  } while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

void plat_tcp_shutdown(plat_socket s) { shutdown(static_cast<int>(s), SHUT_RDWR); }
