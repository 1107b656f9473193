#include <cstdio>
#include <cstring>

#include "platform/net.h"
#include "tests/fakes/fake_platform.h"

FakeNet g_fake_net;

int plat_net_start() { return 0; }

void plat_hostname(char* buf, size_t size) {
  if (size > 0) std::snprintf(buf, size, "%s", "fake");
}

bool plat_resolve_ipv4(const char*, uint8_t addr[4]) {
  const uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(addr, loopback, 4);
  return true;
}

plat_socket plat_tcp_socket() { return 3; }

bool plat_tcp_connect(plat_socket, const uint8_t[4], uint16_t) { return true; }

long plat_tcp_send(plat_socket, const void* data, size_t n) {
  g_fake_net.sent.append(static_cast<const char*>(data), n);
  return static_cast<long>(n);
}

long plat_tcp_recv(plat_socket, void* buf, size_t n) {
  size_t left = g_fake_net.incoming.size() - g_fake_net.read_at;
  if (left == 0) return g_fake_net.reset_at_end ? -1 : 0;
  size_t take = n < left ? n : left;
  std::memcpy(buf, g_fake_net.incoming.data() + g_fake_net.read_at, take);
  g_fake_net.read_at += take;
  return static_cast<long>(take);
}

// The script's peer takes every byte it is sent.
long plat_socket_unsent(plat_socket) { return 0; }

void plat_tcp_shutdown(plat_socket) {}
