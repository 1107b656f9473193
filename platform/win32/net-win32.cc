#include "platform/net.h"

#include <winsock2.h>

#include <climits>
#include <cstring>

int plat_net_start() {
  WSADATA data;
  return WSAStartup(0x0202, &data);
}

void plat_hostname(char* buf, size_t size) {
  if (size == 0)
    return;
  int len = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  if (gethostname(buf, len) == 0) {
    buf[size - 1] = '\0';
    return;
  }
  // Before WSAStartup (a serial run) Winsock knows no name; the system does.
  DWORD n = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
  if (!GetComputerNameExA(ComputerNameDnsHostname, buf, &n)) buf[0] = '\0';
  buf[size - 1] = '\0';
}

bool plat_resolve_ipv4(const char* host, uint8_t addr[4]) {
  // A dotted address must never reach the name service: it may be slow,
  // absent, or answer for a different host.
  unsigned long a = inet_addr(host);
  if (a != INADDR_NONE) {
    std::memcpy(addr, &a, 4);
    return true;
  }
  hostent* h = gethostbyname(host);
  if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4 ||
      h->h_addr_list[0] == nullptr)
    return false;
  std::memcpy(addr, h->h_addr_list[0], 4);
  return true;
}

plat_socket plat_tcp_socket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<plat_socket>(s);
}

bool plat_tcp_connect(plat_socket s, const uint8_t addr[4], uint16_t port) {
  sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  std::memcpy(&sin.sin_addr.s_addr, addr, 4);
  return connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&sin),
                 sizeof sin) == 0;
}

long plat_tcp_send(plat_socket s, const void* data, size_t n) {
  int len = n > INT_MAX ? INT_MAX : static_cast<int>(n);
  int r = send(static_cast<SOCKET>(s), static_cast<const char*>(data), len, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

long plat_tcp_recv(plat_socket s, void* buf, size_t n) {
  int len = n > INT_MAX ? INT_MAX : static_cast<int>(n);
  int r = recv(static_cast<SOCKET>(s), static_cast<char*>(buf), len, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

// Winsock has no query for this that every supported Windows answers
// (SIO_TCP_INFO needs Windows 10 1703 and later), so the count is reported
// unknown: a box that closes in order is then taken at its word, as before.
long plat_socket_unsent(plat_socket) { return -1; }

void plat_tcp_shutdown(plat_socket s) { shutdown(static_cast<SOCKET>(s), SD_BOTH); }
