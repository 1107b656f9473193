#include "platform/net.h"
#include "platform/stop.h"

#include <winsock2.h>
#include <windows.h>
#include <mstcpip.h>

#include <climits>
#include <cstring>

namespace {

// True when a stop request came; the call then does not start.
bool stopped() {
  if (plat_stop_signal() == kStopNone) return false;
  WSASetLastError(WSAEINTR);
  return true;
}

// Waits for `ev`, or for a stop request. Returns true for `ev`.
bool wait_or_stop(HANDLE ev) {
  HANDLE h[2] = {ev, reinterpret_cast<HANDLE>(plat_stop_wait_handle())};
  DWORD r = WaitForMultipleObjects(h[1] ? 2 : 1, h, FALSE, INFINITE);
  if (r == WAIT_OBJECT_0) return true;
  WSASetLastError(WSAEINTR);
  return false;
}

// Finishes an overlapped send or receive that returned `started`: waits for
// it, or for a stop request, which cancels it. Returns the count moved, or
// -1 (a cancelled call included).
long complete(SOCKET s, int started, WSAOVERLAPPED* ov) {
  long result = -1;
  if (started == 0 || WSAGetLastError() == WSA_IO_PENDING) {
    if (!wait_or_stop(ov->hEvent)) CancelIoEx(reinterpret_cast<HANDLE>(s), ov);
    DWORD count = 0, flags = 0;
    if (WSAGetOverlappedResult(s, ov, &count, TRUE, &flags)) result = static_cast<long>(count);
  }
  int err = WSAGetLastError();
  WSACloseEvent(ov->hEvent);
  WSASetLastError(err);
  return result;
}

}  // namespace

int plat_net_start() {
  WSADATA data;
  return WSAStartup(0x0202, &data);
}

void plat_hostname(char* buf, size_t size) {
  if (size == 0) return;
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
  if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4 || h->h_addr_list[0] == nullptr)
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
  SOCKET sock = static_cast<SOCKET>(s);
  if (stopped()) return false;
  // Started without blocking and finished in a wait a stop can end: a peer
  // that never answers holds a blocking connect for about 20 s.
  WSAEVENT ev = WSACreateEvent();
  if (ev == WSA_INVALID_EVENT) return false;
  bool ok = false;
  if (WSAEventSelect(sock, ev, FD_CONNECT) == 0) {
    ok = connect(sock, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK && wait_or_stop(ev)) {
      WSANETWORKEVENTS ne;
      ok = WSAEnumNetworkEvents(sock, ev, &ne) == 0 && (ne.lNetworkEvents & FD_CONNECT) &&
           ne.iErrorCode[FD_CONNECT_BIT] == 0;
    }
    int err = WSAGetLastError();
    // Back to a blocking socket for the overlapped calls below.
    WSAEventSelect(sock, nullptr, 0);
    u_long blocking = 0;
    ioctlsocket(sock, FIONBIO, &blocking);
    WSASetLastError(err);
  }
  WSACloseEvent(ev);
  return ok;
}

long plat_tcp_send(plat_socket s, const void* data, size_t n) {
  if (stopped()) return -1;
  WSABUF b = {n > MAXDWORD ? MAXDWORD : static_cast<ULONG>(n),
              const_cast<char*>(static_cast<const char*>(data))};
  WSAOVERLAPPED ov = {};
  ov.hEvent = WSACreateEvent();
  if (ov.hEvent == WSA_INVALID_EVENT) return -1;
  DWORD sent = 0;
  int r = WSASend(static_cast<SOCKET>(s), &b, 1, &sent, 0, &ov, nullptr);
  return complete(static_cast<SOCKET>(s), r, &ov);
}

long plat_tcp_recv(plat_socket s, void* buf, size_t n) {
  if (stopped()) return -1;
  WSABUF b = {n > MAXDWORD ? MAXDWORD : static_cast<ULONG>(n), static_cast<char*>(buf)};
  WSAOVERLAPPED ov = {};
  ov.hEvent = WSACreateEvent();
  if (ov.hEvent == WSA_INVALID_EVENT) return -1;
  DWORD got = 0, flags = 0;
  int r = WSARecv(static_cast<SOCKET>(s), &b, 1, &got, &flags, &ov, nullptr);
  return complete(static_cast<SOCKET>(s), r, &ov);
}

// Winsock has no query for this that every supported Windows answers
// (SIO_TCP_INFO needs Windows 10 1703 and later), so the count is reported
// unknown: a box that closes in order is then taken at its word, as before.
long plat_socket_unsent(plat_socket) { return -1; }

void plat_tcp_shutdown(plat_socket s) { shutdown(static_cast<SOCKET>(s), SD_BOTH); }

bool plat_tcp_keepalive(plat_socket s, int idle_s, int interval_s, int count) {
  // The probe count is the system's own (10) before Windows 10; the times
  // are what matters for finding a vanished peer.
  (void)count;
  tcp_keepalive k;
  k.onoff = 1;
  k.keepalivetime = static_cast<ULONG>(idle_s) * 1000;
  k.keepaliveinterval = static_cast<ULONG>(interval_s) * 1000;
  DWORD got = 0;
  return WSAIoctl(static_cast<SOCKET>(s), SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &got,
                  nullptr, nullptr) == 0;
}
