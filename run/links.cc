#include "run/links.h"

#include <cstdio>

#include "core/exit.h"
#include "core/messages.h"
#include "core/report.h"
#include "net/box_link.h"
#include "net/framing.h"
#include "net/server_client.h"
#include "serial/port.h"

plat_socket connect_to_peer(const char* host, int tcp_port) {
  std::printf("-->  %s:%i\n", host, tcp_port);
  if (plat_net_start() != 0) {
    report_failure(stderr, kNoCode, {101}, "\n");
    exit_run(1);
  }
  char name[256] = "";
  plat_hostname(name, sizeof name);
  computer_name_message(name);

  uint8_t addr[4];
  if (!plat_resolve_ipv4(host, addr)) {
    report_failure(stderr, kNoCode, {103}, ": %s\n", host);
    exit_run(1);
  }
  plat_socket s = plat_tcp_socket();
  if (s == kNoSocket) {
    report_failure(stderr, kNoCode, {99}, "\n");
    exit_run(1);
  }
  // Only the low 16 bits name the port; the line above shows the number as given.
  if (!plat_tcp_connect(s, addr, static_cast<uint16_t>(tcp_port & 0xFFFF))) {
    // A connect a stop request ended is the stop, not a refusal.
    exit_if_stopped();
    report_failure(stderr, kNoCode, {100}, "\n");
    shut_down_link(s);
    exit_run(1);
  }
  return s;
}

void end_link_run(plat_socket s, plat_port port, bool goodbye, int code) {
  if (goodbye) server_goodbye(s);
  shut_down_link(s);
  if (port != kNoPort) port_close(port);
  exit_run(code);
}
