// TCP primitives over the loopback interface only.
#include "platform/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

namespace {

const uint8_t kLoopback[4] = {127, 0, 0, 1};

// A listening socket on 127.0.0.1 with a port the kernel picked.
int listen_loopback(uint16_t* port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 || listen(s, 4) != 0) return -1;
  socklen_t len = sizeof sin;
  getsockname(s, reinterpret_cast<sockaddr*>(&sin), &len);
  *port = ntohs(sin.sin_port);
  return s;
}

TEST(Net, DottedAddressesResolveToThemselves) {
  ASSERT_EQ(plat_net_start(), 0);
  uint8_t a[4] = {};
  ASSERT_TRUE(plat_resolve_ipv4("127.0.0.1", a));
  EXPECT_EQ(std::memcmp(a, kLoopback, 4), 0);
  ASSERT_TRUE(plat_resolve_ipv4("192.0.2.200", a));
  const uint8_t doc[4] = {192, 0, 2, 200};
  EXPECT_EQ(std::memcmp(a, doc, 4), 0);
}

TEST(Net, HostnameIsTerminatedEvenWhenTruncated) {
  char name[256];
  plat_hostname(name, sizeof name);
  EXPECT_LT(std::strlen(name), sizeof name);
  char tiny[2] = {'x', 'x'};
  plat_hostname(tiny, sizeof tiny);
  EXPECT_EQ(tiny[1], '\0');
}

TEST(Net, ConnectSendReceiveAndPeerClose) {
  uint16_t port = 0;
  int listener = listen_loopback(&port);
  ASSERT_GE(listener, 0);
  plat_socket s = plat_tcp_socket();
  ASSERT_NE(s, kNoSocket);
  ASSERT_TRUE(plat_tcp_connect(s, kLoopback, port));
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);

  EXPECT_EQ(plat_tcp_send(s, "\x01\x00\xff", 3), 3);
  char buf[16];
  ASSERT_EQ(recv(peer, buf, 3, MSG_WAITALL), 3);
  EXPECT_EQ(std::memcmp(buf, "\x01\x00\xff", 3), 0);

  ASSERT_EQ(send(peer, "reply", 5, 0), 5);
  EXPECT_EQ(plat_tcp_recv(s, buf, sizeof buf), 5);
  EXPECT_EQ(std::memcmp(buf, "reply", 5), 0);

  close(peer);
  EXPECT_EQ(plat_tcp_recv(s, buf, sizeof buf), 0);

  // The peer is gone: sends fail with -1 (after the first, which the
  // kernel still accepts) and the process lives on without SIGPIPE.
  long r = 0;
  for (int i = 0; i < 20 && r >= 0; ++i) {
    r = plat_tcp_send(s, "x", 1);
    usleep(10000);
  }
  EXPECT_EQ(r, -1);
  plat_tcp_shutdown(s);
  close(static_cast<int>(s));
  close(listener);
}

TEST(Net, ShutdownEndsThePeersReads) {
  uint16_t port = 0;
  int listener = listen_loopback(&port);
  ASSERT_GE(listener, 0);
  plat_socket s = plat_tcp_socket();
  ASSERT_TRUE(plat_tcp_connect(s, kLoopback, port));
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  plat_tcp_shutdown(s);
  char c;
  EXPECT_EQ(recv(peer, &c, 1, 0), 0);
  close(peer);
  close(static_cast<int>(s));
  close(listener);
}

TEST(Net, ConnectToAClosedPortFails) {
  uint16_t port = 0;
  int listener = listen_loopback(&port);
  ASSERT_GE(listener, 0);
  close(listener);
  plat_socket s = plat_tcp_socket();
  EXPECT_FALSE(plat_tcp_connect(s, kLoopback, port));
  close(static_cast<int>(s));
}

}  // namespace
